"""/justcheck against a real publisher server and the real state of the machine: the registry values
and files an installer leaves decide what is installed; the exit code says whether updates apply."""
import shutil

UP_TO_DATE = 0xE0000011


def update(app, name, version, extra=""):
    """An update section detected through the registry value its installer writes."""
    return (f"[{name}]\nName={name}\nSize=1000\nURL=http://127.0.0.1:{app.http.port}/files/{name}.exe\n"
            f"RegistryKey={app.state_key}\\Tool\\Version\nVersion={version}\n{extra}")


def test_up_to_date_only_once_the_installed_state_says_so(app):
    app.publish(update(app, "Tool 1.2", "1.2") + update(app, "Tool 1.1", "1.1"))
    assert app.run("/justcheck").code == 0
    assert "Updates needed: 2 (critical: 0)." in app.log()

    app.install_state("Tool", "1.1")
    assert app.run("/justcheck").code == 0
    app.install_state("Tool", "1.2")
    before = len(app.log())
    assert app.run("/justcheck").code == UP_TO_DATE
    tail = app.log()[before:]
    assert "Updates needed: 0 (critical: 0)." in tail
    assert "LastError: 0xE0000011" not in tail  # up to date is quiet: no error line at the end


def test_critical_only(app):
    app.publish(update(app, "Tool 1.2", "1.2") + update(app, "Tool 1.1", "1.1", "Flags=Critical\n"))
    app.install_state("Tool", "1.1")
    assert app.run("/justcheck -critical").code == UP_TO_DATE  # only the non-critical 1.2 is needed
    assert app.run("/justcheck").code == 0
    app.wine.reg_delete(rf"{app.state_key}\Tool")
    assert app.run("/justcheck -critical").code == 0


def test_installed_newest_that_replaces_all(app):
    app.publish(update(app, "Tool 2.0", "2.0", "Replaces=All\n") + update(app, "Tool 1.5", "99.0"))
    app.install_state("Tool", "2.0")
    assert app.run("/justcheck").code == UP_TO_DATE


def test_dump_file_written_once_and_read_back(app, wine):
    app.publish(update(app, "Tool 1.2", "1.2", "Flags=Critical\nDescription=Faster\n") +
                update(app, "Tool 1.1", "1.1"))
    dump = app.folder / "found.ini"
    assert app.run(f'/justcheck -dumpdetected "{wine.windows_path(dump)}"').code == 0
    read = wine.run_exe(wine.build_dir / "tools" / "catalogue.exe",
                        f'--no-header "{wine.windows_path(app.folder / "updater.ini")}" "{wine.windows_path(dump)}"')
    assert "load=0x00000000" in read.stdout
    records = [line for line in read.stdout.splitlines() if line.startswith("record ")]
    assert [r.split("|")[0] for r in records] == ["record Tool 1.2", "record Tool 1.1"]
    assert "flags=0x1|size=1000|selected=1" in records[0]

    # An existing file is left as it is.
    dump.write_bytes(b"keep me")
    assert app.run(f'/justcheck -dumpdetected "{wine.windows_path(dump)}"').code == 0
    assert dump.read_bytes() == b"keep me"

    # Critical only: the dump holds the critical update alone.
    critical = app.folder / "critical.ini"
    assert app.run(f'/justcheck -critical -dumpdetected "{wine.windows_path(critical)}"').code == 0
    text = critical.read_bytes().decode("latin-1")
    assert "[Tool 1.2]" in text and "[Tool 1.1]" not in text

    # Nothing found: no dump.
    app.install_state("Tool", "1.2")
    nothing = app.folder / "nothing.ini"
    assert app.run(f'/justcheck -dumpdetected "{wine.windows_path(nothing)}"').code == UP_TO_DATE
    assert not nothing.exists()


def test_install_ready_counts_only_downloaded_installers(app):
    app.publish(update(app, "Tool 1.2", "1.2"))
    assert app.run("/justcheck -installready").code == UP_TO_DATE  # needed, but nothing downloaded
    folder = app.downloads / "Tool 1.2"
    folder.mkdir(parents=True)
    (folder / "Tool 1.2.exe").write_bytes(b"x" * 999)  # one byte short: not ready, and deleted
    assert app.run("/justcheck -installready").code == UP_TO_DATE
    assert not folder.exists()
    folder.mkdir(parents=True)
    (folder / "Tool 1.2.exe").write_bytes(b"x" * 1000)
    assert app.run("/justcheck -installready").code == 0


def test_file_and_custom_detection(app, wine):
    fixture = wine.build_dir / "fixtures" / "versioned_2_0_0_1.dll"
    shutil.copy2(fixture, app.folder / "tool.dll")
    exitwith = wine.windows_path(wine.build_dir / "tools" / "exitwith.exe")
    common = f"Size=10\nURL=http://127.0.0.1:{app.http.port}/files/x.exe\n"
    app.publish(f"[File]\nName=File\n{common}FilePath=[APPDIR]\\tool.dll\nVersion=2.0\n"
                f"[Custom]\nName=Custom\n{common}CustomDetection={exitwith}\nCustomDetectionParams=1\n"
                "Flags=UnsafeCutomDetection\n")
    assert app.run("/justcheck").code == UP_TO_DATE

    app.publish(f"[File]\nName=File\n{common}FilePath=[APPDIR]\\tool.dll\nVersion=2.1\n")
    assert app.run("/justcheck").code == 0
    app.publish(f"[Custom]\nName=Custom\n{common}CustomDetection={exitwith}\nCustomDetectionParams=0\n"
                "Flags=UnsafeCutomDetection\n")
    assert app.run("/justcheck").code == 0
    # A custom detection program of an unsigned updater's publisher is not trusted: the file is refused.
    app.publish(f"[Custom]\nName=Custom\n{common}CustomDetection={exitwith}\nCustomDetectionParams=1\n")
    assert app.run("/justcheck").code == 0xE0000026


def test_garbage_detection_targets_end_cleanly(app):
    targets = [
        "RegistryKey=HKXX\\Software\\A\\V", "RegistryKey=HKLM", "RegistryKey=HKLM\\NoSecondBackslash",
        "RegistryKey=\\\\\\", "RegistryKey=HKLM\\" + "k\\" * 300 + "v",
        "FilePath=C:\\" + "a" * 100000, "FilePath=relative\\file.exe", "FilePath=%NO_SUCH_VARIABLE_E2E%\\x.exe",
        "FilePath=[NOSUCHTOKEN]\\x.exe", "FilePath=[{00000000-0000-0000-0000-000000000000}X]\\x.exe",
        "FilePath=C:\\*\\*\\*.exe", "FilePath=\\\\?\\C:\\nothing\\here.exe",
        "RegistryKey=HKUD\\" + "\u00e9" * 200 + "\\v\nVersion=>=x.y",
    ]
    sections = "".join(f"[G{i}]\nName=G{i}\nSize=10\nURL=http://127.0.0.1/g{i}.exe\n{t}\n"
                       for i, t in enumerate(targets))
    app.publish(sections)
    result = app.run("/justcheck", timeout=300)
    assert result.code == 0  # nothing detectable is installed, so everything applies
    assert f"Updates needed: {len(targets)} (critical: 0)." in app.log()
