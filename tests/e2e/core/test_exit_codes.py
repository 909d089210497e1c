"""The process exit code carries the full 32-bit result."""


def test_empty_command_line_is_invalid(wine, workdir):
    result = wine.run_exe(workdir / "updater.exe", "")
    assert result.code == 0xE0000006, result.stdout + result.stderr
