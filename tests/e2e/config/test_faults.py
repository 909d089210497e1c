"""The main job when things go wrong around it: a killed parent, a killed copy, and server credentials
that the copy needs as much as the check did."""
import base64
import subprocess
import threading
import time

import servers
from conftest import kill_windows_processes, windows_processes_alive


def wait_until(condition, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def test_the_copy_finishes_when_its_parent_is_killed(road):
    road.update("Tool 1.2", "1.2")
    road.publish()
    parent = threading.Thread(target=road.run, args=("/silentall -nogui -nofreqcheck",))
    parent.start()
    # After starting the copy the parent looks for the copy's window for up to two seconds (a copy
    # without a window has none): that is when it is killed.
    wait_until(lambda: "Running temp updater from path: " in road.log(), 120, "the hand-over")
    # (Not before the copy runs: a Wine program killed inside CreateProcess leaves its child stuck
    # before the child's first instruction, where on Windows process creation cannot be cut in half.)
    wait_until(lambda: "Running updater. Mode: 8" in road.log(), 60, "the copy to run")
    assert kill_windows_processes(road.win(road.exe)) >= 1
    parent.join(timeout=60)
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.installed("Tool 1.2") == "1.2"


def test_a_copy_killed_during_the_download_is_resumed_by_the_next_check(road):
    half = len(road.installer) // 2
    path = road.installer_path("Tool 1.2")
    road.update("Tool 1.2", "1.2", resource=servers.Resource(road.installer, mode="stall", stall_after=half))
    road.publish()
    assert road.run("/silentall -nogui -nofreqcheck").code == 0
    part = road.downloads / "Tool 1.2" / "tool-1.2.exe.part"
    wait_until(lambda: part.exists() and part.stat().st_size >= half, 60, "half of the installer")
    copy_name = road.copy_folders()[0].name
    assert kill_windows_processes(copy_name) >= 1
    wait_until(lambda: not windows_processes_alive(copy_name), 30, "the copy to die")
    assert part.stat().st_size >= half  # what was downloaded is kept
    assert road.ran() == []

    road.http.add(path, servers.Resource(road.installer))
    assert road.run("/silentall -nogui -nofreqcheck").code == 0
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.installed("Tool 1.2") == "1.2"
    resumed = road.http.requests_for(path)[-1]
    start = int(resumed.headers["Range"].split("=")[1].split("-")[0])
    assert start >= half
    assert resumed.body_bytes == len(road.installer) - start


def test_credentials_with_a_blank_reach_the_copy(road, wine):
    """A pair handed over to the check (as another instance of the updater does) is the only way the
    check knows it; the copy gets it on its command line, protected, and downloads with it."""
    user, password = "Jane Doe", "pa:ss word"
    road.update("Tool 1.2", "1.2", resource=servers.Resource(road.installer, mode="auth", user=user,
                                                             password=password))
    road.publish(mode="auth", user=user, password=password)

    def utf16_hex(text):
        return text.encode("utf-16-le").hex().upper()

    credtool = wine.build_dir / "tools" / "credtool.exe"
    sender = subprocess.Popen([str(wine.wine_run), str(credtool), "handover", road.win(road.exe), "60000",
                               utf16_hex(user), utf16_hex(password)],
                              env=wine.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert sender.stdout.readline().decode().strip() == "ready"
        assert road.run("/silentall -nogui -nofreqcheck").code == 0, road.log()[-3000:]
        assert sender.wait(timeout=60) == 0  # the check received the pair
    finally:
        if sender.poll() is None:
            sender.kill()
            sender.wait()
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    assert road.installed("Tool 1.2") == "1.2"
    expected = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
    downloads = road.http.requests_for(road.installer_path("Tool 1.2"))
    assert downloads and downloads[-1].headers.get("Authorization") == expected
    assert password not in road.log()
