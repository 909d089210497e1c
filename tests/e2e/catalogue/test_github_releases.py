"""Updates from GitHub releases: the publisher's server answers with a release list in the shape of
the releases interface (JSON, UTF-8), the client configuration sets GitHubUpdates, and the check,
the hand-over, the download and the installation work as with an updates configuration file."""
import hashlib
import json
import time

import pytest

import servers
from road import road_on

UP_TO_DATE = 0xE0000011
INVALID_UPDATES_FILE = 0xE0000014


@pytest.fixture
def releases(wine, http):
    for made in road_on(wine, http, "gh-"):
        made.configure(f"Flags=GitHubUpdates\r\nCompanyName={made.id}\r\n")
        made.list = []
        yield made
        wine.reg_delete(rf"HKLM\Software\{made.id}")


def asset(road, name, content):
    path = f"/{road.id}/download/{name}"
    road.http.add(path, servers.Resource(content))
    return {"name": name, "size": len(content), "state": "uploaded", "content_type": "application/octet-stream",
            "browser_download_url": f"http://127.0.0.1:{road.http.port}{path}"}


def release(road, node, tag=None, assets=(), body="", **members):
    item = {"url": f"https://api.github.invalid/releases/{node}", "node_id": node, "name": members.pop("name", ""),
            "draft": False, "prerelease": False, "published_at": "2026-12-01T08:30:00Z", "body": body,
            "assets": list(assets)}
    if tag is not None:
        item["tag_name"] = tag
    item.update(members)
    road.list.append(item)


def publish(road):
    road.published += 1
    road.http.add(road.updates_path, servers.Resource(json.dumps(road.list, ensure_ascii=False).encode("utf-8"),
                                                      last_modified=time.time() - 86400 + road.published * 60))


def dump(road, wine):
    """The records the check found, as its dump file (an updates configuration file) holds them."""
    path = road.folder / f"found-{time.time_ns()}.ini"
    code = road.run(f'/justcheck -dumpdetected "{wine.windows_path(path)}"').code
    sections, current = {}, None
    if path.exists():
        for line in path.read_bytes().decode("latin-1").splitlines():
            if line.startswith("["):
                current = sections.setdefault(line.strip("[]"), {})
            elif "=" in line and current is not None:
                key, value = line.split("=", 1)
                current[key] = value
    return code, sections


def test_published_releases_become_updates(releases, wine, http):
    road = releases
    first, second = b"first installer", b"the second installer, chosen by name"
    release(road, "RE_draft", "v5.0", [asset(road, "t5.msi", b"5")], draft=True)
    release(road, "RE_pre", "v4.0", [asset(road, "t4.msi", b"4")], prerelease=True)
    release(road, "RE_3", "v3.0", [asset(road, "notes.txt", b"n"), asset(road, "tool-3.0.msi", b"msi"),
                                   asset(road, "tool-3.0.exe", b"exe")],
            "Faster start-up.\r\n\r\n## Bug fixes\r\n- fixed a *crash*\r\n\r\n### Bug-Fixes\r\n- still a fix",
            name="Tool 3.0")
    release(road, "RE_2", None, [asset(road, "tool-2.exe", b"two")])
    keys = json.dumps({"ServerFileName": "Second.exe", "SHA256": hashlib.sha256(second).hexdigest().upper()})
    release(road, "RE_1", "v1.0", [asset(road, "first.exe", first), asset(road, "morvask_update.json", keys.encode()),
                                   asset(road, "second.exe", second)])
    publish(road)

    code, found = dump(road, wine)
    assert code == 0, road.log()[-3000:]
    # Drafts and pre-releases never reach users; the others keep the list's order.
    assert list(found) == ["RE_3", "RE_2", "RE_1"]
    newest = found["RE_3"]
    assert newest["Name"] == "Tool 3.0" and newest["Replaces"] == "All"
    assert newest["ServerFileName"] == "tool-3.0.msi" and newest["URL"].endswith("/tool-3.0.msi")
    assert newest["Size"] == "3" and newest["ReleaseDate"] == "01/12/2026"
    assert newest["RegistryKey"] == rf"HKLM\Software\{road.id}\Tool\Version" and newest["Version"] == ">= 3.0"
    assert newest["DescriptionHtml"] == "Faster start-up."
    # "Bug fixes" switches the group; "Bug-Fixes" does not, so its item stays there too.
    assert [newest[k] for k in ("BugFixHtml", "BugFixHtml1")] == ["fixed a <i>crash</i>", "still a fix"]
    # No tag and no asset keys: nothing to detect it by, so it is never installed.
    assert "RegistryKey" not in found["RE_2"] and "Version" not in found["RE_2"]
    assert found["RE_2"]["Name"] == "Tool"  # the application's name and the (missing) tag
    oldest = found["RE_1"]
    assert oldest["URL"].endswith("/second.exe") and oldest["Size"] == str(len(second))
    assert oldest["SHA256"] == hashlib.sha256(second).hexdigest().upper()
    assert len(http.requests_for(f"/{road.id}/download/morvask_update.json")) == 1
    drive = wine.prefix / "drive_c"
    assert not [p for p in drive.rglob("upd*.json") if "Temp" in str(p)], "the asset's temporary file stayed"

    # Once the application wrote the newest tag's version, it replaces all the older releases.
    wine.reg_add(rf"HKLM\Software\{road.id}\Tool", "Version", "3.0")
    code, found = dump(road, wine)
    assert code == UP_TO_DATE and not found


def test_a_malformed_release_hides_all_others(releases, wine):
    road = releases
    release(road, "RE_2", "v2.0", [asset(road, "tool.exe", b"x")])
    release(road, "RE_1", "v1.0", [])  # no installer asset
    publish(road)
    code, found = dump(road, wine)
    assert code == INVALID_UPDATES_FILE and not found
    assert "LastError: 0xE0000014" in road.log()
    # A list that is not JSON at all.
    road.http.add(road.updates_path, servers.Resource(b'[{"node_id": "RE_1", "assets": [', last_modified=time.time()))
    assert road.run("/justcheck").code == 0xE000000E


def test_the_newest_release_is_installed_on_the_whole_road(releases, wine, http):
    road = releases
    order = wine.windows_path(road.order)
    keys = {"SHA256": hashlib.sha256(road.installer).hexdigest().upper(),
            "CommandLine": f'/regkey "HKLM\\Software\\{road.id}\\Tool" /regvalue Version /regdata 2.0.1 '
                           f'/order "{order}" /name Tool_2.0.1'}
    release(road, "RE_201", "v2.0.1", [asset(road, "tool-2.0.1.exe", road.installer),
                                       asset(road, "morvask_update.json", json.dumps(keys).encode())],
            "Release notes \U0001F680 with an emoji.", name="Tool 2.0.1")
    release(road, "RE_100", "v1.0.0", [asset(road, "tool-1.0.0.exe", road.installer)])
    publish(road)

    assert road.run("/justcheck").code == 0
    assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    # Only the newest ran: it replaces the older release.
    assert road.ran() == ["Tool_2.0.1"]
    assert len(http.requests_for(f"/{road.id}/download/tool-2.0.1.exe")) == 1
    assert not http.requests_for(f"/{road.id}/download/tool-1.0.0.exe")
    assert "passed its SHA-256 check" in road.log()
    assert road.run("/justcheck").code == UP_TO_DATE
