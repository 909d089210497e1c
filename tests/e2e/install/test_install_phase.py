"""The installation phase with real installers: the fake installer (writes the registry value the
update is detected by, appends its name to an order file, exits with the code it is told), real
Windows Installer packages through msiexec, app packages through the stand-in PowerShell, and
Authenticode-signed copies. Re-detection after the installer ends is the judge."""
import subprocess
import time

import pytest

from conftest import build_msi
from signing import SigningMaterial, trusted_root_of

INSTALL_FAILED = 0xE000000C
DEPENDENCY = 0xE000000D
PACKAGE_SCRIPT = 0xE000002C


def test_oldest_first_so_that_the_dependency_is_in_place(phase):
    phase.add("A", keys="Depends=B\n")
    phase.add("B")
    outcome = phase.run()
    assert outcome.result == 0, outcome
    assert phase.ran() == ["B", "A"]
    assert outcome.status == {"A": 0, "B": 0}
    assert outcome.events == ["begin 103 2 -", "begin 2 0 B", "end 2 0x0", "begin 2 0 A", "end 2 0x0",
                              "end 103 0x0"]


def test_failed_dependency_stops_the_update_that_needs_it(phase):
    phase.add("A", keys="Depends=B\n")
    phase.add("B", command_line=phase.installer_args("B", exit_code=1603))
    outcome = phase.run()
    assert outcome.status == {"A": DEPENDENCY, "B": INSTALL_FAILED}
    assert outcome.result == DEPENDENCY  # the last failure met
    assert phase.ran() == ["B"]  # A's installer never started


@pytest.mark.parametrize("exit_code,keys,expected,installed", [
    (0, "", 0, "1.0"),
    (1603, "", INSTALL_FAILED, None),        # the installer failed and left nothing: not detected
    (1603, "Flags=NoRedetect\n", 0, None),   # without re-detection the run counts as success
    (1602, "", 1602, None),                  # the user left the installer
    (1223, "", 1223, None),
    (3010, "", 0, "1.0"),                     # a reboot-required success is detected like any other
])
def test_outcomes_are_judged_by_detection(phase, exit_code, keys, expected, installed):
    phase.add("A", command_line=phase.installer_args("A", exit_code=exit_code), keys=keys)
    outcome = phase.run()
    assert outcome.status == {"A": expected}, outcome
    assert outcome.result == expected
    assert phase.ran() == ["A"]
    assert phase.installed_value("A") == installed
    if expected:
        assert f"error 0x{expected:X}" in outcome.events
    log = (phase.folder / "phase.log").read_bytes().decode("utf-16-le", errors="replace")
    assert f'Update "A" installer runned. Exit code: {exit_code}.' in log


def test_windows_installer_package_through_msiexec(phase, wine):
    package, product = build_msi(phase.folder, phase.state_key, "1.2")
    phase.add("Tool 1.2", installer=package, file_name="tool-1.2.msi", command_line="/qn", version="1.2",
              detect_as="Tool")
    try:
        outcome = phase.run()
        assert outcome.result == 0, outcome
        assert phase.installed_value("Tool") == "1.2"
    finally:
        wine.wine(["msiexec", "/x", product, "/qn"], timeout=120)


def test_no_cache_removes_installer_folder_and_record(phase, wine):
    installer = phase.add("A", keys="Flags=NoCache\n")
    outcome = phase.run()
    assert outcome.result == 0, outcome
    assert not installer.exists() and not installer.with_name(installer.name + ".part").exists()
    assert not installer.parent.exists()
    rc, out = wine.reg_query(rf"HKCU\Software\Velmora\Kestrune Updater\{phase.id}\Updates", "A")
    assert "A" not in out.split("\n", 2)[-1] or rc != 0
    # Without NoCache the verified installer stays for a later run, recorded under Updates.
    kept = phase.add("B")
    phase.run("--select", "B")
    assert kept.exists()
    rc, out = wine.reg_query(rf"HKCU\Software\Velmora\Kestrune Updater\{phase.id}\Updates", "B")
    assert rc == 0 and wine.windows_path(kept) in out


def test_announced_extra_step_and_locks_removed(phase, wine):
    phase.flags = "NoUpdaterInstallGUI"
    phase.add("A")
    outcome = phase.run()
    assert outcome.events[:2] == ["begin 103 1 -", "begin 3 0 -"]
    rc, _ = wine.reg_query(rf"HKCU\Software\Velmora\Kestrune Updater\{phase.id}\Updates\Locks")
    assert rc != 0  # the key goes with its values


def test_killed_during_an_installer_leaves_the_lock_for_the_next_run(phase, wine):
    marker = phase.folder / "running.txt"
    phase.add("A", command_line=phase.installer_args("A", extra=f'/touch "{phase.win(marker)}" /sleep 60000'))
    phase.write()
    tool = wine.build_dir / "tools" / "installphase.exe"
    runner = subprocess.Popen([str(wine.wine_run), str(tool), phase.win(phase.folder / "updater.ini"),
                               phase.win(phase.folder / "updates.ini")], env=wine.env(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    locks = rf"HKCU\Software\Velmora\Kestrune Updater\{phase.id}\Updates\Locks"
    try:
        for _ in range(300):
            if marker.exists():
                break
            time.sleep(0.1)
        assert marker.exists(), "the installer did not start"
        rc, out = wine.reg_query(locks, "A")
        assert rc == 0 and "0x1" in out
        wine.wine(["taskkill", "/f", "/im", "installphase.exe"])
        wine.wine(["taskkill", "/f", "/im", "A.exe"])
        runner.wait(timeout=60)
    finally:
        if runner.poll() is None:
            runner.kill()
    rc, out = wine.reg_query(locks, "A")
    assert rc == 0 and "0x1" in out  # a run that died keeps the lock
    # The next run takes the update again, installs it and releases the lock.
    phase.sections[-1] = phase.sections[-1].replace(f' /touch "{phase.win(marker)}" /sleep 60000', "")
    outcome = phase.run()
    assert outcome.result == 0, outcome
    assert phase.ran() == ["A"]
    assert wine.reg_query(locks)[0] != 0


def test_app_package_through_the_script_runner(phase, wine, powershell_standin):
    control = phase.folder / "standin.ini"
    record = phase.folder / "record.txt"
    env = {"UPDATER_PS_STANDIN": phase.win(control)}
    package = phase.add("Pkg", file_name="tool.msix", command_line="", keys="Flags=NoRedetect\n")
    control.write_text(f"[Run]\r\nRecordFile={phase.win(record)}\r\nExitCode=0\r\n", encoding="latin-1")
    outcome = phase.run(env=env)
    assert outcome.result == 0, outcome
    text = record.read_text(encoding="utf-8")
    assert "shape app-package" in text
    assert f"argument {phase.win(package)}" in text

    control.write_text(f"[Run]\r\nRecordFile={phase.win(record)}\r\nExitCode=2\r\n"
                       "ErrorText=Deployment failed with HRESULT: 0x80073CF3\r\n", encoding="latin-1")
    outcome = phase.run(env=env)
    assert outcome.status == {"Pkg": PACKAGE_SCRIPT}, outcome
    log = (phase.folder / "phase.log").read_bytes().decode("utf-16-le", errors="replace")
    assert 'Update "Pkg" installer runned. Exit code: 0. Return code: 0xE000002C' in log
    # The script's error output became the code's message.
    assert "message Pkg Deployment failed with HRESULT: 0x80073CF3" in outcome.out


def test_privileged_server_command_lines(phase):
    args = phase.folder / "args.txt"
    phase.add("Exe", command_line=phase.installer_args("Exe") + f' /args "{phase.win(args)}"',
              keys="NoGUICommandLineSwitch=/exenoui\n")
    phase.add("Plain", command_line="A=1", keys="NoGUICommandLineSwitch=/S\n", detect=False)
    outcome = phase.run("--server", "Exe")
    assert outcome.result == 0, outcome
    assert phase.ran() == ["Exe"]
    written = args.read_text(encoding="utf-8")
    assert written.startswith(f'"{phase.win(phase.downloads / "Exe" / "Exe.exe")}" /exenoui /regkey')
    assert written.endswith(" /qn")
    assert phase.run("--server", "Missing").result == 0xE0000020
    log = (phase.folder / "phase.log").read_bytes().decode("utf-16-le", errors="replace")
    assert "Unable to find update: Missing LastError: 0xE0000020" in log


class TestSignatures:
    @pytest.fixture(scope="class")
    def material(self, wine, tmp_path_factory):
        made = SigningMaterial(tmp_path_factory.mktemp("install-signing"))
        installer = wine.build_dir / "tools" / "testinstaller.exe"
        made.tool_signed = made.sign(wine.build_dir / "tools" / "installphase.exe", "publisher", "installphase.exe")
        made.by_publisher = made.sign(installer, "publisher", "by-publisher.exe")
        made.by_other = made.sign(installer, "other", "by-other.exe")
        made.unsigned = made.copy(installer, "unsigned.exe")
        with trusted_root_of(wine, made):
            yield made

    def test_only_the_updaters_own_publisher_runs(self, phase, material):
        phase.flags = "VerifyDigitalSignature"
        phase.add("Same", installer=material.by_publisher)
        phase.add("Other", installer=material.by_other)
        phase.add("Unsigned", installer=material.unsigned)
        outcome = phase.run(tool=material.tool_signed)
        assert outcome.status == {"Same": 0, "Other": 0xE000002A, "Unsigned": 0x800B0100}, outcome
        assert phase.ran() == ["Same"]  # no other installer ever started

    def test_without_the_flag_signatures_are_not_asked(self, phase, material):
        phase.add("Other", installer=material.by_other)
        outcome = phase.run(tool=material.tool_signed)
        assert outcome.result == 0, outcome
        assert phase.ran() == ["Other"]
