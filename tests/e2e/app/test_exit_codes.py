"""The process exit code carries the full 32-bit result."""


def test_unknown_switch_is_an_invalid_command_line(wine, workdir):
    (workdir / "updater.ini").write_text("[General]\r\nID=ExitCodes\r\n", encoding="latin-1")
    result = wine.run_exe(workdir / "updater.exe", "/Checknow")
    assert result.code == 0xE0000006, result.stdout + result.stderr


def test_missing_configuration_with_empty_command_line(wine, workdir):
    result = wine.run_exe(workdir / "updater.exe", "")
    assert result.code == 0xE0000002, result.stdout + result.stderr


def test_invalid_command_line_is_logged_where_the_configuration_says(wine, workdir):
    (workdir / "updater.ini").write_text("[General]\r\nID=ExitCodesLog\r\n", encoding="latin-1")
    try:
        assert wine.run_exe(workdir / "updater.exe", "/set loglevel Error").code == 0
        assert wine.run_exe(workdir / "updater.exe", "/silent -nogui").code == 0xE0000006
        from wineenv import read_log
        assert "Invalid command line LastError: 0xE0000006" in read_log(workdir / "updater.log")
    finally:
        wine.reg_delete(r"HKCU\Software\Velmora\Kestrune Updater\ExitCodesLog")
