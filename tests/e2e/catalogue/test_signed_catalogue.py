"""The signed updates configuration file on the whole road: the publisher signs the file's exact
bytes with its code-signing certificate (a detached CMS signature served beside it as ".p7s"), and the
file's own Serial and ValidUntil keys keep it fresh. The updater is signed by the same publisher,
whose test root is trusted in the prefix while these tests run."""
import datetime
import hashlib
import re
import shutil

import pytest

import servers
from road import PRODUCT_ROOT, road_on
from signing import SigningMaterial, trusted_root_of

UP_TO_DATE = 0xE0000011
CLIENT_CONFIG = 0xE0000007
UNSIGNED = 0xE0000034
EXPIRED = 0xE0000035
REPLAYED = 0xE0000036


@pytest.fixture(scope="module")
def material(wine, tmp_path_factory):
    made = SigningMaterial(tmp_path_factory.mktemp("catalogue-signing"))
    made.updater_signed = made.sign(wine.updater, "publisher", "updater-signed.exe")
    return made


@pytest.fixture(scope="module")
def trusted(wine, material):
    with trusted_root_of(wine, material):
        yield


@pytest.fixture
def road(wine, http, material, trusted):
    """A road whose updater is signed by the publisher and requires a signed updates file."""
    for made in road_on(wine, http, "signed-"):
        shutil.copy2(material.updater_signed, made.exe)
        made.configure("UpdatesFileSignature=Required\r\n")
        yield made


def day(offset):
    return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=offset)).strftime("%d/%m/%Y")


def publish(road, material, serial, days=14, signer="publisher", general="", signed=True, served=None):
    """Serves the file with Serial and ValidUntil and its signature; `served` changes the bytes
    served after they were signed. Returns the bytes that were signed."""
    body = road.publish(f"Serial={serial}\nValidUntil={day(days)}\n{general}")
    if served is not None:
        road.http.add(road.updates_path, servers.Resource(served(body), last_modified=road.http.resources[
            road.updates_path].last_modified))
    signature_path = road.updates_path + ".p7s"
    if signed:
        road.http.add(signature_path, servers.Resource(material.sign_detached(body, signer)))
    else:
        road.http.resources.pop(signature_path, None)
    return body


def remembered(road):
    """UpdatesFileSerial and UpdatesFileDigest of the application (Wine's `reg query` cannot show a
    REG_QWORD, so the key is exported)."""
    export = road.folder / "settings.reg"
    export.unlink(missing_ok=True)
    road.wine.wine(["reg", "export", rf"{PRODUCT_ROOT}\{road.id}\Settings", road.wine.windows_path(export), "/y"])
    text = export.read_bytes().decode("utf-16") if export.exists() else ""
    serial = re.search(r'^"UpdatesFileSerial"=hex\(b\):([0-9a-f,]+)', text, re.M)
    digest = re.search(r'^"UpdatesFileDigest"="([0-9A-F]+)"', text, re.M)
    return (int.from_bytes(bytes.fromhex(serial.group(1).replace(",", "")), "little") if serial else None,
            digest.group(1) if digest else None)


def requested(road, since):
    return [request.path for request in road.http.requests[since:]]


def test_a_signed_fresh_file_checks_and_installs_as_before(road, material):
    body = publish(road, material, 100)
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UP_TO_DATE, road.log()[-3000:]
    assert requested(road, since) == [road.updates_path, road.updates_path + ".p7s"]
    assert remembered(road) == (100, hashlib.sha256(body).hexdigest().upper())
    assert (road.downloads / "updates.ini").read_bytes() == body
    assert (road.downloads / "updates.ini.p7s").exists()

    road.update("Tool 1.2", "1.2")
    body = publish(road, material, 101)
    assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.installed("Tool 1.2") == "1.2"
    assert remembered(road) == (101, hashlib.sha256(body).hexdigest().upper())

    # The server has not changed the file: its stored copy and signature are checked again.
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UP_TO_DATE
    assert requested(road, since) == [road.updates_path]
    log = road.log()
    assert "The updates configuration file is not modified; using the local copy." in log
    assert log.count("The updates configuration file is signed by the publisher (Serial 101") == 2


def test_refused_files_leave_nothing_behind(road, material, wine):
    road.update("Tool 1.2", "1.2")
    accepted = publish(road, material, 500)
    road.order.unlink(missing_ok=True)
    assert road.run("/justcheck").code == 0, road.log()[-3000:]
    digest = hashlib.sha256(accepted).hexdigest().upper()
    assert remembered(road) == (500, digest)

    image = f"/{road.id}/banner.png"
    road.http.add(image, servers.Resource(b"\x89PNG not really"))
    message = (f"MessageTitle=Phishing\nMessageBody=Sign in again\nMessageExpirationDate={day(30)}\n"
               f"MessageImageURL=http://127.0.0.1:{road.http.port}{image}\n")

    def flip_one_byte(body):
        changed = bytearray(body)
        changed[body.index(b"Tool 1.2")] ^= 0x20  # "tool 1.2": one byte, still a readable file
        return bytes(changed)

    unsigned_updater = road.folder / "updater-unsigned.exe"
    shutil.copy2(wine.updater, unsigned_updater)
    cases = [
        # (what, publish arguments, exit code, the log's reason)
        ("no signature", dict(serial=501, signed=False), UNSIGNED, "could not be downloaded"),
        ("another publisher", dict(serial=501, signer="other"), UNSIGNED, "not by the updater's publisher"),
        ("an untrusted root", dict(serial=501, signer="impostor"), UNSIGNED, "not trusted for code signing"),
        ("one byte changed", dict(serial=501, served=flip_one_byte), UNSIGNED, "made over other content"),
        ("an unsigned updater", dict(serial=501), UNSIGNED, "carries no signature"),
        ("past ValidUntil", dict(serial=501, days=-1), EXPIRED, f"it was valid until {day(-1)} (UTC)."),
        ("no Serial", dict(serial=""), EXPIRED, 'its Serial "" is not a number'),
        ("a lower serial", dict(serial=499), REPLAYED, "Serial 499, remembered 500: an older file"),
        ("the same serial, other bytes", dict(serial=500, general="Note=other\n"), REPLAYED,
         "Serial 500, remembered 500: the same serial with other content."),
    ]
    for what, arguments, code, reason in cases:
        road.exe.write_bytes((unsigned_updater if what == "an unsigned updater" else material.updater_signed)
                             .read_bytes())
        publish(road, material, general=arguments.pop("general", "") + message, **arguments)
        since = len(road.http.requests)
        before = len(road.log())
        result = road.run("/silentall -nogui -nofreqcheck")
        log = road.log()[before:]
        assert result.code == code, (what, log[-3000:])
        assert "The updates configuration file is refused: " in log and reason in log, (what, log[-3000:])
        assert f"LastError: 0x{code:X}" in log, what
        assert set(requested(road, since)) <= {road.updates_path, road.updates_path + ".p7s"}, what
        assert "Running temp updater" not in log and road.ran() == [], what
        assert remembered(road) == (500, digest), what
        assert (road.downloads / "updates.ini").read_bytes() == accepted, what
        assert not list(road.downloads.glob("*.part")), what
        rc, _ = wine.reg_query(rf"{PRODUCT_ROOT}\{road.id}\Messages")
        assert rc != 0, what

    # The next fresh file with a higher serial is accepted again, message and update alike.
    road.exe.write_bytes(material.updater_signed.read_bytes())
    publish(road, material, 502, general=message)
    since = len(road.http.requests)
    assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert image in requested(road, since)
    assert road.installed("Tool 1.2") == "1.2"
    assert remembered(road)[0] == 502


def test_a_stored_copy_changed_on_disk_is_refused_after_not_modified(road, material):
    body = publish(road, material, 7)
    assert road.run("/justcheck").code == UP_TO_DATE
    stored = road.downloads / "updates.ini"
    stored.write_bytes(body.replace(b"Serial=7", b"Serial=9"))
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UNSIGNED
    assert requested(road, since) == [road.updates_path]  # answered "not modified"
    assert "The updates configuration file is refused: the signature was made over other content." in road.log()
    # The copy that failed is gone, so the next check fetches the file in full and accepts it.
    assert not stored.exists()
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UP_TO_DATE
    assert requested(road, since) == [road.updates_path, road.updates_path + ".p7s"]
    assert stored.read_bytes() == body


def test_the_key_is_opt_in_and_never_mistyped(road, material):
    # Without the key an unsigned file works as it always did, and no signature is asked for.
    road.configure("")
    road.publish("")
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UP_TO_DATE
    assert requested(road, since) == [road.updates_path]

    for value in ("required", "REQUIRED", "Yes", "Optional"):
        road.configure(f"UpdatesFileSignature={value}\r\n")
        since = len(road.http.requests)
        before = len(road.log())
        assert road.run("/justcheck").code == CLIENT_CONFIG, value
        assert requested(road, since) == [], value
        assert "UpdatesFileSignature is neither empty nor Required" in road.log()[before:]

    # A release list has no signature: requiring one refuses the check before the server is asked.
    road.configure("UpdatesFileSignature=Required\r\nFlags=GitHubUpdates\r\n")
    since = len(road.http.requests)
    assert road.run("/justcheck").code == UNSIGNED
    assert requested(road, since) == []
    assert "cannot be met by a GitHub release list" in road.log()


def test_a_signed_file_from_a_folder(road, material):
    """A file:// updates URL: the signature is read from beside the file just the same."""
    share = road.folder / "share"
    share.mkdir()
    body = (f";kxw;\r\n[General]\r\nSerial=3\r\nValidUntil={day(3)}\r\n").encode("latin-1")
    (share / "updates.ini").write_bytes(body)
    url = "file:///" + road.wine.windows_path(share / "updates.ini").replace("\\", "/")
    config = road.folder / "updater.ini"
    text = config.read_text(encoding="latin-1")
    config.write_text(re.sub(r"^URL=.*$", lambda _: f"URL={url}", text, flags=re.M), encoding="latin-1")
    assert road.run("/justcheck").code == UNSIGNED
    (share / "updates.ini.p7s").write_bytes(material.sign_detached(body))
    assert road.run("/justcheck").code == UP_TO_DATE, road.log()[-3000:]
    assert remembered(road)[0] == 3
