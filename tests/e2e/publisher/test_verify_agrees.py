"""kestrune-publish verify against the updater itself: for each way a signed updates file can be
right or wrong, the tool's verdict and reason are the ones a check with UpdatesFileSignature=Required
gives on a user's machine."""
import datetime
import shutil

import pytest

import servers
from road import road_on
from signing import SigningMaterial, trusted_root_of

UP_TO_DATE = 0xE0000011


@pytest.fixture(scope="module")
def material(wine, tmp_path_factory):
    made = SigningMaterial(tmp_path_factory.mktemp("publish-signing"))
    made.updater_signed = made.sign(wine.updater, "publisher", "updater-signed.exe")
    return made


@pytest.fixture
def road(wine, http, material):
    with trusted_root_of(wine, material):
        for made in road_on(wine, http, "verify-"):
            shutil.copy2(material.updater_signed, made.exe)
            made.configure("UpdatesFileSignature=Required\r\n")
            yield made


def day(offset):
    return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=offset)).strftime("%d/%m/%Y")


def flip_one_byte(body):
    changed = bytearray(body)
    changed[body.index(b"Serial")] ^= 0x20
    return bytes(changed)


CASES = [
    # (what, Serial, days of validity, signer (None: no signature), change after signing, updater signed)
    ("signed and fresh", 10, 14, "publisher", None, True),
    ("no signature", 11, 14, None, None, True),
    ("another publisher", 12, 14, "other", None, True),
    ("an untrusted root", 13, 14, "impostor", None, True),
    ("one byte changed", 14, 14, "publisher", flip_one_byte, True),
    ("an unsigned updater", 15, 14, "publisher", None, False),
    ("past ValidUntil", 16, -1, "publisher", None, True),
    ("no Serial", "", 14, "publisher", None, True),
]


def test_verify_says_what_the_updater_says(road, material, wine):
    unsigned = road.folder / "updater-unsigned.exe"
    shutil.copy2(wine.updater, unsigned)
    published = road.folder / "published"
    published.mkdir()
    for what, serial, days, signer, change, updater_signed in CASES:
        body = road.publish(f"Serial={serial}\nValidUntil={day(days)}\n")
        served = change(body) if change else body
        road.http.add(road.updates_path, servers.Resource(served, last_modified=road.http.resources[
            road.updates_path].last_modified))
        signature = material.sign_detached(body, signer) if signer else None
        if signature:
            road.http.add(road.updates_path + ".p7s", servers.Resource(signature))
        else:
            road.http.resources.pop(road.updates_path + ".p7s", None)
        updater = material.updater_signed if updater_signed else unsigned
        road.exe.write_bytes(updater.read_bytes())

        (published / "updates.ini").write_bytes(served)
        (published / "updates.ini.p7s").unlink(missing_ok=True)
        if signature:
            (published / "updates.ini.p7s").write_bytes(signature)
        proc = wine.wine([str(wine.build_dir / "kestrune-publish.exe"), "verify",
                          wine.windows_path(published / "updates.ini"), "--updater", wine.windows_path(updater)])
        said = proc.stdout.decode("utf-8", errors="replace").strip()

        before = len(road.log())
        result = road.run("/justcheck")
        log = road.log()[before:]
        if result.code == UP_TO_DATE:
            assert proc.returncode == 0 and f"Serial {serial}, valid until {day(days)}" in said, (what, said, log)
            continue
        assert proc.returncode == 2, (what, said)
        assert f"({result.code:#010X} ".replace("0X", "0x") in said, (what, said, hex(result.code), log[-2000:])
        # The same reason, but for the path of the updater each of them was given.
        reason = said.split(": refused: ", 1)[1].rsplit(" (0x", 1)[0].replace(wine.windows_path(updater), "<updater>")
        log = log.replace(wine.windows_path(road.exe), "<updater>")
        if signer:  # without a signature the updater could not download one, the tool could not read one
            assert f"The updates configuration file is refused: {reason} LastError" in log, (what, said, log[-2000:])
