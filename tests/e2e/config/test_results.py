"""What a run leaves on the machine for an administrator: the "Results" key of the application (the
last check, the last installing run and each update it touched), the next automatic check brought
forward after a failed installation, and the Debug lines a publisher needs to fix a failure."""
import re
import time

import pytest

import servers
from conftest import PRODUCT_ROOT
from wineenv import FILE_TIME_EPOCH, unix_time

UP_TO_DATE = 0xE0000011
INSTALL_FAILED = 0xE000000C
BAD_SHA256 = 0xE0000030
NOT_FOUND = 0xE0000018
NOT_DUE = 0xE000001A
DAY = 86400

def results_of(road):
    return road.wine.reg_tree(rf"{PRODUCT_ROOT}\{road.id}\Results")


def next_check(road):
    rc, out = road.wine.reg_query(rf"{PRODUCT_ROOT}\{road.id}\Settings", "NextUpdateCheck")
    assert rc == 0, out
    return unix_time(out.split()[-1])


# name, how the update is published, its expected result, the Debug lines that explain it (regular
# expressions), and whether the next automatic check comes within a day.
CASES = [
    ("installed", dict(version="1.2"), 0, [], False),
    ("undetected", dict(version="1.2", installer_args="/regdata 0.9"), INSTALL_FAILED,
     [r'is not detected after its installer ended\.',
      r'Detection of "Tool": RegistryKey HKCU\\Software\\KestruneE2E\\\w+\\Tool\\Version \(32-bit view\): '
      r'"0\.9"; criterion >= 1\.2; not installed\.'], True),
    ("wrong SHA-256", dict(version="1.2", sha256="AB" * 32), BAD_SHA256,
     [r"SHA-256 of .*tool\.exe\.part: expected (AB){32}, actual [0-9A-F]{64}\."], True),
    ("404 behind a password", dict(version="1.2", resource=servers.Resource(mode="status", status=404),
                                   credentials="pub:s3cret@"), NOT_FOUND,
     [r"Download attempt failed: http://127\.0\.0\.1:\d+/\w+/files/tool\.exe \(HTTP status 404\)\."], True),
]


@pytest.mark.parametrize("name,published,expected,explanations,brought_forward", CASES,
                         ids=[case[0] for case in CASES])
def test_an_installing_run_is_recorded_and_explained(road, name, published, expected, explanations,
                                                     brought_forward):
    credentials = published.pop("credentials", "")
    road.update("Tool", **published)
    if credentials:
        road.sections[-1] = road.sections[-1].replace("URL=http://", "URL=http://" + credentials)
    road.publish()
    started = time.time()
    # A scheduled check (no -nofreqcheck) ends with 0 once the copy has started, whatever follows.
    assert road.run("/silentall -nogui").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert road.copy_result() == expected, road.log()[-3000:]

    results = results_of(road)
    top = results[""]
    assert top["LastCheckResult"] == 0
    assert top["LastInstallResult"] == expected
    # (The copy may end before the check that started it has returned.)
    assert started - 5 < top["LastCheckTime"] < time.time() + 5
    assert started - 5 < top["LastInstallTime"] < time.time() + 5
    assert results["Tool"] == {"Result": expected, "Time": top["LastInstallTime"], "Version": "1.2"}

    # The check scheduled the next one a frequency ahead; a failure brings it within a day.
    upcoming = next_check(road)
    if brought_forward:
        assert started + DAY - 5 < upcoming < time.time() + DAY + 5
    else:
        assert upcoming > time.time() + 2 * DAY

    log = road.log()
    for pattern in explanations:
        assert re.search(pattern, log), (pattern, log[-4000:])
    assert "s3cret" not in log
    assert f"Result: 0x{expected:08X} (" in log


def test_checks_record_their_result_and_the_clean_up_removes_the_record(road, wine):
    settings = rf"{PRODUCT_ROOT}\{road.id}\Settings"
    road.update("Tool", version="1.2")
    road.publish()
    assert road.run("/justcheck").code == 0
    assert results_of(road)[""]["LastCheckResult"] == 0
    assert "Detection of \"Tool\": RegistryKey" in road.log()  # with Trace, on every check

    wine.reg_add(rf"{road.state_key}\Tool", "Version", "1.2")
    assert road.run("/justcheck").code == UP_TO_DATE
    first = results_of(road)[""]
    assert first["LastCheckResult"] == UP_TO_DATE and "LastInstallResult" not in first
    log = road.log()
    result_line = log.index(f"Result: 0x{UP_TO_DATE:08X} (Your software is up to date)")
    assert log.index(f"Updater finished. Mode: 11. Return code: {UP_TO_DATE}", result_line) > result_line

    # A scheduled run that is not due says until when, and does not count as a check.
    due = int((time.time() + 3 * DAY + FILE_TIME_EPOCH) * 10_000_000)
    wine.reg_add(settings, "NextUpdateCheck", due.to_bytes(8, "little").hex(), kind="REG_BINARY")
    assert road.run("/silentall -nogui").code == NOT_DUE
    expected_due = time.strftime("%Y-%m-%d %H:%M", time.gmtime(due / 10_000_000 - FILE_TIME_EPOCH))
    assert re.search(rf"The check is not due before {expected_due}:\d\d UTC; -nofreqcheck checks now\.",
                     road.log()), road.log()[-2000:]
    assert results_of(road)[""] == first

    assert road.run("/clean silent").code == 0
    assert results_of(road) is None
