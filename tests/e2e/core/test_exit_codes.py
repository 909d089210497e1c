"""The process exit code carries the full 32-bit result."""


def test_unknown_switch_is_an_invalid_command_line(wine, workdir):
    (workdir / "updater.ini").write_text("[General]\r\nID=ExitCodes\r\n", encoding="latin-1")
    result = wine.run_exe(workdir / "updater.exe", "/Checknow")
    assert result.code == 0xE0000006, result.stdout + result.stderr


def test_missing_configuration_with_empty_command_line(wine, workdir):
    result = wine.run_exe(workdir / "updater.exe", "")
    assert result.code == 0xE0000002, result.stdout + result.stderr
