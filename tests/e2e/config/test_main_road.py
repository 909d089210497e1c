"""The whole road, as a publisher's application drives it: a silent check finds an update, hands it
to a temporary copy of the updater, which downloads it, verifies its SHA-256, runs the real
installer and removes itself; the next check finds the software up to date."""
import time

UP_TO_DATE = 0xE0000011


def test_silent_check_installs_through_the_temporary_copy(road):
    road.update("Tool 1.2", "1.2")
    road.publish()
    result = road.run("/silentall -nogui -nofreqcheck")
    assert result.code == 0, road.log()[-3000:]  # the copy was started
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.ran() == ["Tool_1.2"]
    assert road.installed("Tool 1.2") == "1.2"
    log = road.log()
    assert "Running temp updater from path: " in log
    assert "Running updater. Mode: 8" in log
    # The verified installer stays recorded for a later run; nothing half-downloaded is left.
    installer = road.downloads / "Tool 1.2" / "tool-1.2.exe"
    assert installer.exists() and not installer.with_name(installer.name + ".part").exists()
    assert road.run("/justcheck").code == UP_TO_DATE


def test_critical_only_runs_take_the_dependencies_of_critical_updates(road, wine):
    road.update("A", "1.0", "Flags=Critical\nDepends=B\n")
    road.update("B", "1.0")
    road.update("C", "1.0")
    road.publish()
    assert road.run("/silentcritical -nogui -nofreqcheck").code == 0
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.ran() == ["B", "A"]  # the dependency first; C is not critical

    # "/silent" hands everything over; the copy follows the user's AutoCritical policy.
    road.order.unlink()
    road.update("D", "1.0", "Flags=Critical\n")
    road.publish()
    wine.reg_add(rf"HKCU\Software\Velmora\Kestrune Updater\{road.id}\Settings", "AutoUpdatePolicy", "3",
                 kind="REG_DWORD")
    assert road.run("/silent").code == 0
    road.wait_for_copy_to_end()
    assert road.ran() == ["D"], road.log()[-3000:]
    assert road.installed("C") is None


def test_sha256_mismatch_never_runs_the_installer(road):
    road.update("Tool 1.2", "1.2", sha256="00" * 32)
    road.publish()
    assert road.run("/silentall -nogui -nofreqcheck").code == 0
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0xE0000030
    assert road.ran() == []
    assert not (road.downloads / "Tool 1.2").exists()  # nothing unverified stays
    assert "LastError: 0xE0000030" in road.log()


def test_copy_settings_selection_and_a_second_copy(road, wine):
    marker = road.folder / "installing.txt"
    road.update("Tool 1.2", "1.2", installer_args=f'/touch "{road.win(marker)}" /sleep 15000')
    road.update("Tool 1.1", "1.1", "Flags=Critical\n")
    road.publish()
    leftover = road.copy_folders()[0]
    assert road.run("/silentall -nogui -nofreqcheck -justdownload").code == 0
    road.wait_for_copy_to_end()
    assert road.ran() == []  # downloaded only
    assert (road.downloads / "Tool 1.2" / "tool-1.2.exe").exists()
    del leftover

    # The next hand-over installs; while its installer runs, the copy's files can be read.
    assert road.run("/silentall -nogui -nofreqcheck").code == 0
    deadline = time.time() + 60
    while not marker.exists() and time.time() < deadline:
        time.sleep(0.2)
    assert marker.exists(), road.log()[-3000:]
    folder = road.copy_folder()
    assert folder is not None
    settings = (folder / "updater.ini").read_bytes()
    assert settings[:2] == b"\xff\xfe"
    text = settings[2:].decode("utf-16-le")
    assert f"RealUpdaterPath={road.win(road.exe)}" in text
    assert f"ClientConfigPath={road.win(road.folder / 'updater.ini')}" in text
    assert f"ServerConfigPath={road.win(folder / 'updater.dat')}" in text
    assert "NoGUI=true" in text and "JustDownloadUpdates" not in text
    assert f"URL=http://127.0.0.1:{road.http.port}{road.updates_path}" in text
    assert "UninstallFilePath=" in text
    read = wine.run_exe(wine.build_dir / "tools" / "catalogue.exe",
                        f'--no-header "{road.win(road.folder / "updater.ini")}" "{road.win(folder / "updater.dat")}"')
    records = [line.split("|")[0] for line in read.stdout.splitlines() if line.startswith("record ")]
    assert records == ["record Tool 1.2", "record Tool 1.1"]

    # A second copy of the same updater while this one runs is turned away.
    second = wine.run_exe(folder / "updater.exe", f'/install silentall "{road.win(folder / "updater.ini")}"')
    assert second.code == 0xE0000027
    road.wait_for_copy_to_end()
    assert road.ran() == ["Tool_1.1", "Tool_1.2"]  # the older update first
    assert road.run("/justcheck").code == UP_TO_DATE


def test_copy_folder_left_behind_is_reused(road):
    folder = road.copy_folders()[0]
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "updater.exe").write_bytes(b"an old copy")
    road.update("Tool 1.2", "1.2")
    road.publish()
    assert road.run("/silentall -nogui -nofreqcheck").code == 0
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0
    assert road.installed("Tool 1.2") == "1.2"
