"""kestrune-publish.exe, the publisher's tool, on files made by each test: hash agrees with Python's
SHA-256, add edits only its own lines whatever the encoding, stamp raises the serial, lint finds each
rule's mistake in a file that makes only that mistake (and nothing in the guide's examples), verify
says what the updater says of a signed file, and bad input ends with one line and exit code 2."""
import datetime
import hashlib
import pathlib
import re
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
EXAMPLES = ROOT / "docs" / "examples"
INSTALLER = b"MZ" + bytes(range(256)) * 40
SHA = hashlib.sha256(INSTALLER).hexdigest().upper()


def run_tool(wine, *args):
    proc = wine.wine([str(wine.build_dir / "kestrune-publish.exe"), *[str(a) for a in args]])
    return (proc.returncode, proc.stdout.decode("utf-8", errors="replace").replace("\r\n", "\n"),
            proc.stderr.decode("utf-8", errors="replace").replace("\r\n", "\n"))


@pytest.fixture
def folder(workdir):
    (workdir / "tool-1.2.exe").write_bytes(INSTALLER)
    return workdir


def section(name="Tool 1.2", extra="", size=len(INSTALLER), sha=SHA, url="https://downloads.example.com/tool-1.2.exe",
            detection="RegistryKey=HKLM\\Software\\Acme\\Tool\\Version"):
    return (f"[{name}]\nName={name}\nSize={size}\nSHA256={sha}\nURL={url}\n{detection}\nVersion=1.2\n{extra}")


def updates_file(*sections, general=""):
    return (";kxw;\n" + (f"[General]\n{general}" if general else "") + "".join(sections)).replace("\n", "\r\n")


def test_hash_prints_the_lines_to_paste(wine, folder):
    other = folder / "other.msi"
    other.write_bytes(b"\0" * 5_000_001)
    code, out, _ = run_tool(wine, "hash", wine.windows_path(folder / "tool-1.2.exe"), wine.windows_path(other), "--md5")
    assert code == 0
    assert out == (f"; tool-1.2.exe\nSize={len(INSTALLER)}\nSHA256={SHA}\nMD5={hashlib.md5(INSTALLER).hexdigest()}\n\n"
                   f"; other.msi\nSize=5000001\nSHA256={hashlib.sha256(other.read_bytes()).hexdigest().upper()}\n"
                   f"MD5={hashlib.md5(other.read_bytes()).hexdigest()}\n")


def encode(text, encoding):
    return b"\xff\xfe" + text.encode("utf-16-le") if encoding == "utf-16" else text.encode("cp1252")


@pytest.mark.parametrize("encoding,line_end", [("utf-16", "\r\n"), ("ansi", "\r\n"), ("ansi", "\n")])
def test_add_changes_only_its_own_lines(wine, folder, encoding, line_end):
    before = (";kxw; Acme updates\n; café: the comment stays byte for byte\n[General]\nConfigFileVersion=1.0\n\n"
              "[Tool 1.2]\nName=Tool 1.2\n  sha256 = 00\nSize=1\nURL=https://old.example.com/a.exe\n; note\n"
              "RegistryKey=HKLM\\Software\\Acme\\Tool\\Version\nVersion=1.2\n\n[Tool 1.1]\nName=Tool 1.1\n")
    path = folder / "updates.ini"
    path.write_bytes(encode(before.replace("\n", line_end), encoding))
    installer = wine.windows_path(folder / "tool-1.2.exe")
    code, out, err = run_tool(wine, "add", wine.windows_path(path), "tool 1.2", installer,
                              "--url", "https://downloads.example.com/tool-1.2.exe")
    assert code == 0, err
    expected = (before.replace("  sha256 = 00", f"  sha256 = {SHA}").replace("Size=1\n", f"Size={len(INSTALLER)}\n")
                .replace("https://old.example.com/a.exe", "https://downloads.example.com/tool-1.2.exe"))
    assert path.read_bytes() == encode(expected.replace("\n", line_end), encoding)
    assert f"[tool 1.2] Size={len(INSTALLER)}, SHA256={SHA}" in out

    # A section without the keys gets them after its last key; a new section comes at the end.
    code, out, err = run_tool(wine, "add", wine.windows_path(path), "Tool 1.1", installer)
    assert code == 0, err
    code, out, err = run_tool(wine, "add", wine.windows_path(path), "Tool 1.3", installer)
    assert code == 0, err
    assert "Give it a URL, a detection key" in out
    expected += (f"Size={len(INSTALLER)}\nSHA256={SHA}\n\n[Tool 1.3]\nName=Tool 1.3\nSize={len(INSTALLER)}\nSHA256={SHA}\n")
    assert path.read_bytes() == encode(expected.replace("\n", line_end), encoding)


def test_stamp_raises_the_serial_and_sets_the_last_day(wine, folder):
    path = folder / "updates.ini"
    now = int(time.time())
    last_day = (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=14)).strftime("%d/%m/%Y")
    cases = [
        # (file before, the Serial after at least, at most)
        (updates_file(section()), now - 5, now + 60),                            # no General: added after ;kxw;
        (updates_file(section(), general="Serial=5\nValidUntil=1/1/2020\n"), now - 5, now + 60),
        (updates_file(section(), general="Serial=99999999999\n"), 100000000000, 100000000000),  # never lower
    ]
    for before, low, high in cases:
        path.write_bytes(before.encode("latin-1"))
        code, out, err = run_tool(wine, "stamp", wine.windows_path(path), "--valid-days", "14")
        assert code == 0, err
        text = path.read_bytes().decode("latin-1")
        serial = int(re.search(r"^Serial=(\d+)\r$", text, re.M).group(1))
        assert low <= serial <= high, (before, text)
        assert f"ValidUntil={last_day}\r\n" in text and text.startswith(";kxw;\r\n[General]\r\n")
        assert text.count("[General]") == 1 and "openssl cms -sign -binary" in out and "signtool sign" in out
    for days in ("0", "3651", "x", "-1"):
        assert run_tool(wine, "stamp", wine.windows_path(path), "--valid-days", days)[0] == 2


def signed_client(folder):
    client = folder / "client.ini"
    client.write_text("[General]\r\nID=LintClient\r\nURL=https://downloads.example.com/updates.ini\r\n"
                      "AppDir=C:\\App\r\nDownloadsFolder=C:\\Updates\r\nUpdatesFileSignature=Required\r\n")
    return client


def day(offset):
    return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=offset)).strftime("%d/%m/%Y")


LINT_CASES = [
    # (rule, the file, options, the expected finding: line, severity, words of its message)
    ("a dependency above its update", updates_file(section("B"), section("A", "Depends=B\n")), [],
     (16, "error", "Depends names [B], which stands above [A]")),
    ("a loop of dependencies", updates_file(section("A", "Depends=B\n"), section("B", "Depends=A\n")), [],
     (9, "error", "Depends closes a loop [A] -> [B] -> [A]")),
    ("Depends names nothing", updates_file(section(extra="Depends=Tool 1.0\n")), [],
     (9, "warning", "Depends names [Tool 1.0], which is no update of this file")),
    ("Replaces names nothing", updates_file(section(extra="Replaces=Tool 1.0\n")), [],
     (9, "warning", "Replaces names [Tool 1.0], which is no section")),
    ("NextDeprecated names nothing", updates_file(section(extra="NextDeprecated=Tool 1.3\n")), [],
     (9, "warning", "NextDeprecated names [Tool 1.3]")),
    ("a key in other case", updates_file(section().replace("SHA256=", "Sha256=")), [],
     (5, "warning", 'key "Sha256" is read as "SHA256"')),
    ("a key one letter off", updates_file(section().replace("Version=", "Verison=")), [],
     (8, "warning", 'unknown key "Verison" is ignored; did you mean "Version"?')),
    ("a numbered key one letter off", updates_file(section(extra="Feture2=PDF\n")), [],
     (9, "warning", 'did you mean "Feature"?')),
    ("a 32-bit view for a 64-bit update", updates_file(section(extra="Flags=Critical|Os64\n")), [],
     (7, "warning", "looks 64-bit (it is marked Os64)")),
    ("a 32-bit view for an x64 installer",
     updates_file(section(url="https://downloads.example.com/tool-1.2-x64.msi")), [],
     (7, "warning", "its installer tool-1.2-x64.msi is named so")),
    ("a relative detection path", updates_file(section(detection="FilePath=bin\\tool.exe")), [],
     (7, "error", 'FilePath "bin\\tool.exe" is not an absolute path')),
    ("plain HTTP", updates_file(section(url="http://downloads.example.com/tool-1.2.exe")), [],
     (6, "warning", "is plain HTTP: prefer HTTPS")),
    ("no hash", updates_file(section().replace(f"SHA256={SHA}\n", "")), [],
     (2, "warning", "has no SHA256")),
    ("a size that is not the installer's", updates_file(section(size=len(INSTALLER) + 1)), ["--installers"],
     (4, "error", f"but tool-1.2.exe has {len(INSTALLER)} bytes")),
    ("a hash that is not the installer's", updates_file(section(sha="AB" * 32)), ["--installers"],
     (5, "error", f"SHA256 is not that of tool-1.2.exe ({SHA})")),
    ("two sections of one name", updates_file(section("A").replace("Name=A", "Name=Tool"),
                                              section("B").replace("Name=B", "Name=Tool")), [],
     (10, "warning", 'Name "Tool" is also that of [A] (line 2)')),
    ("no Serial for a client that requires signatures", updates_file(section(), general=f"ValidUntil={day(10)}\n"),
     ["--client"], (2, "error", "no Serial")),
    ("a past ValidUntil", updates_file(section(), general=f"Serial=7\nValidUntil={day(-1)}\n"), ["--client"],
     (4, "error", f"ValidUntil {day(-1)} has passed")),
    ("a rollout share out of range", updates_file(section(extra="RolloutPercent=150\n")), [],
     (9, "error", "RolloutPercent=150 is out of range 0-100 (the updater refuses the whole file: 0xE0000014")),
    ("a section the updater refuses", updates_file(section().replace("Name=Tool 1.2\n", "")), [],
     (2, "error", "[Tool 1.2]: it has no Name (the updater refuses the whole file: 0xE0000014")),
    ("an unknown Flags word", updates_file(section(extra="Flags=critical|Sys64\n")), [],
     (9, "warning", 'Flags word "critical" is unknown: the updater reads no word from it on (did you mean "Critical"?)')),
    ("no marker", updates_file(section())[len(";kxw;\r\n"):], [],
     (1, "error", "does not start with ;kxw;")),
]


@pytest.mark.parametrize("rule,text,options,expected", LINT_CASES, ids=[case[0] for case in LINT_CASES])
def test_lint_finds_each_mistake_alone(wine, folder, rule, text, options, expected):
    path = folder / "updates.ini"
    path.write_bytes(text.encode("latin-1"))
    arguments = ["lint", wine.windows_path(path)]
    if "--installers" in options:
        arguments += ["--installers", wine.windows_path(folder)]
    if "--client" in options:
        arguments += ["--client", wine.windows_path(signed_client(folder))]
    code, out, err = run_tool(wine, *arguments)
    line, severity, words = expected
    findings = [entry for entry in out.splitlines() if ": error: " in entry or ": warning: " in entry]
    wanted = f"{wine.windows_path(path)}:{line}: {severity}: "
    assert any(entry.startswith(wanted) and words in entry for entry in findings), (rule, out, err)
    # Only this rule speaks (a loop also stands one update above the other).
    assert len(findings) == (2 if rule == "a loop of dependencies" else 1), (rule, out)
    assert code == (2 if any(": error: " in entry for entry in findings) else 1), (rule, out)


def test_lint_is_silent_on_a_clean_file_and_the_guides_examples(wine, folder):
    path = folder / "updates.ini"
    path.write_bytes(updates_file(section(), general=f"Serial=7\nValidUntil={day(30)}\n").encode("latin-1"))
    code, out, _ = run_tool(wine, "lint", wine.windows_path(path), "--installers", wine.windows_path(folder),
                            "--client", wine.windows_path(signed_client(folder)))
    assert (code, out.splitlines()[-1]) == (0, f"{wine.windows_path(path)}: 0 error(s), 0 warning(s)"), out
    for example in sorted(EXAMPLES.glob("updates-*.ini")):
        code, out, _ = run_tool(wine, "lint", wine.windows_path(example))
        assert code == 0, out


def test_bad_input_gives_one_line_and_exit_code_2(wine, folder):
    binary = folder / "binary.ini"
    binary.write_bytes(b";kxw;\r\n\0\0\x01\x02")
    huge = folder / "huge.ini"
    with huge.open("wb") as made:
        made.write(b";kxw;\r\n")
        made.truncate(100 << 20)
    missing = wine.windows_path(folder / "missing.ini")
    cases = [
        ([], "usage: kestrune-publish hash"),
        (["frobnicate"], "unknown command frobnicate"),
        (["lint"], "lint needs one <updates.ini>"),
        (["lint", missing], "cannot read"),
        (["lint", wine.windows_path(folder)], "is a folder"),
        (["lint", wine.windows_path(binary)], "is not a text file"),
        (["lint", wine.windows_path(huge)], "is larger than the 32 MiB the updater reads"),
        (["lint", wine.windows_path(binary), "--installers"], "--installers needs a value"),
        (["lint", wine.windows_path(binary), "--bogus", "1"], "unknown option --bogus"),
        (["hash", missing], "cannot read"),
        (["hash", wine.windows_path(folder / "empty.exe")], "cannot read"),
        (["add", wine.windows_path(huge), "Tool", wine.windows_path(folder / "tool-1.2.exe")], "is larger than"),
        (["add", missing, "..", wine.windows_path(folder / "tool-1.2.exe")], "cannot name an update section"),
        (["verify", missing, "--updater", missing], "cannot read"),
        (["stamp", wine.windows_path(binary)], "stamp needs <updates.ini> --valid-days <n>"),
    ]
    for arguments, words in cases:
        code, out, err = run_tool(wine, *arguments)
        assert code == 2, (arguments, out, err)
        lines = err.strip().splitlines()
        assert words in lines[0] and (len(lines) == 1 or not arguments), (arguments, err)
    assert huge.stat().st_size == 100 << 20 and binary.read_bytes() == b";kxw;\r\n\0\0\x01\x02"
