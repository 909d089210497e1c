"""Staged rollouts a static updates file steers, and checks that spare a busy server: the machine's
bucket (written by the test) against each update's share, a person asking, a halt, a dependency
offered with the update that needs it; 429/5xx answers with Retry-After, mirrors of installers past
a busy one, and the updates file's ETag."""
import time

import pytest

import servers
from road import PRODUCT_ROOT, road_on

UP_TO_DATE = 0xE0000011
NOT_DUE = 0xE000001A
BUSY = 0xE0000037


@pytest.fixture
def road(wine, http):
    yield from road_on(wine, http, "rollout-")


def settings_key(road):
    return rf"{PRODUCT_ROOT}\{road.id}\Settings"


def requests_since(road, since):
    return [request.path for request in road.http.requests[since:]]


def test_a_release_is_held_back_outside_its_share_and_offered_once_widened(road, wine):
    wine.reg_add(settings_key(road), "RolloutBucket", "5000", kind="REG_DWORD")
    road.update("Tool 1.2", "1.2", "RolloutPercent=10\nDepends=Tool 1.1\n")
    road.update("Tool 1.1", "1.1", "RolloutPercent=0\n")
    road.update("Tool Halted", "1.0", "RolloutPercent=0\n")
    road.publish()

    # Scheduled, silent and just-check runs keep to the share: nothing is needed on this machine.
    for args in ("/justcheck", "/silentall -nogui -nofreqcheck"):
        before = len(road.log())
        assert road.run(args).code == UP_TO_DATE, road.log()[-3000:]
        log = road.log()[before:]
        assert 'Update "Tool 1.2": held back by the staged rollout (bucket 5000, share 10.00 %).' in log
        assert 'Update "Tool Halted": held back by the staged rollout (bucket 5000, share 0.00 %).' in log
        assert "Updates needed: 0 (critical: 0)." in log and "Running temp updater" not in log
    assert road.ran() == []

    # A person asking is offered what has a share at all, with its dependency; a halt holds for everyone.
    before = len(road.log())
    assert road.run("/checknow -minuseractions").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    log = road.log()[before:]
    assert 'Update "Tool 1.2": needed.' in log, log[-3000:]
    assert "The saved selection lists 2 updates." in log  # with its dependency
    assert 'Update "Tool Halted": held back by the staged rollout' in log
    assert 'Update "Tool 1.2": held back' not in log

    # The publisher widens the share past this machine's bucket: the scheduled run installs it.
    road.sections[0] = road.sections[0].replace("RolloutPercent=10", "RolloutPercent=60")
    road.publish()
    assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.ran() == ["Tool_1.1", "Tool_1.2"]
    assert road.installed("Tool Halted") is None
    # The bucket the test wrote is the one the updater keeps.
    assert int(wine.reg_query(settings_key(road), "RolloutBucket")[1].split()[-1], 16) == 5000


def test_a_machine_draws_its_bucket_once(road, wine):
    road.update("Tool 1.2", "1.2", "RolloutPercent=100\n")
    road.publish()
    assert road.run("/justcheck").code == 0
    rc, out = wine.reg_query(settings_key(road), "RolloutBucket")
    assert rc == 0 and "REG_DWORD" in out, out
    bucket = int(out.split()[-1], 16)
    assert 0 <= bucket <= 9999
    assert road.run("/justcheck").code == 0
    assert int(wine.reg_query(settings_key(road), "RolloutBucket")[1].split()[-1], 16) == bucket


def test_a_busy_server_is_left_alone_until_the_time_it_asked_for(road, wine):
    road.http.add(road.updates_path, servers.Resource(mode="status", status=503, headers={"Retry-After": "120"}))
    since = len(road.http.requests)
    started = time.time()
    assert road.run("/justcheck").code == BUSY, road.log()[-3000:]
    assert requests_since(road, since) == [road.updates_path]  # one server is not asked again at once
    assert 'Retry-After "120"' in road.log()
    rc, out = wine.reg_query(settings_key(road), "NotBefore")
    assert rc == 0 and "REG_BINARY" in out, out
    not_before = int.from_bytes(bytes.fromhex(out.split()[-1]), "little") / 10_000_000 - 11644473600
    assert started + 110 < not_before < time.time() + 130

    # Within the two minutes no check but a person's asks the server.
    for args in ("/silentall -nofreqcheck -nogui", "/justcheck", "/silent"):
        since = len(road.http.requests)
        assert road.run(args).code == NOT_DUE, (args, road.log()[-2000:])
        assert requests_since(road, since) == [], args
    assert "The update server asked for no check before " in road.log()
    since = len(road.http.requests)
    assert road.run("/checknow -minuseractions").code == BUSY
    assert requests_since(road, since) == [road.updates_path]

    # The busy answer's body was never kept as the updates file.
    for path in road.downloads.rglob("*") if road.downloads.exists() else []:
        assert b"<html>503</html>" not in path.read_bytes(), path


def test_installer_mirrors_pass_a_busy_server_and_an_etag_makes_the_next_check_conditional(road, wine):
    busy = f"/{road.id}/busy/tool-1.2.exe"
    road.http.add(busy, servers.Resource(mode="status", status=429, headers={"Retry-After": "5"}))
    road.update("Tool 1.2", "1.2", f"URL1=http://127.0.0.1:{road.http.port}{road.installer_path('Tool 1.2')}\n")
    road.sections[0] = road.sections[0].replace(
        f"URL=http://127.0.0.1:{road.http.port}{road.installer_path('Tool 1.2')}\n",
        f"URL=http://127.0.0.1:{road.http.port}{busy}\n", 1)
    body = (";kxw;\n" + "".join(road.sections)).replace("\n", "\r\n").encode("latin-1")
    # A server that gives only an entity tag, no modification time.
    road.http.add(road.updates_path, servers.Resource(body, last_modified=False, etag='"catalogue-1"'))
    assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.installed("Tool 1.2") == "1.2"
    assert len(road.http.requests_for(busy)) == 1
    assert len(road.http.requests_for(road.installer_path("Tool 1.2"))) == 1
    # An installer's busy mirror does not hold the next check back.
    assert wine.reg_query(settings_key(road), "NotBefore")[0] != 0

    since = len(road.http.requests)
    assert road.run("/justcheck").code == UP_TO_DATE
    check = road.http.requests[since]
    assert check.path == road.updates_path and check.headers.get("If-None-Match") == '"catalogue-1"'
    assert "The updates configuration file is not modified; using the local copy." in road.log()
