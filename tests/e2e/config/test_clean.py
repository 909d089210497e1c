"""The silent clean-up an uninstaller runs: it removes the downloads and the application's state, but
only when no other copy of the updater still serves the application, and never a locked update."""
import shutil

from conftest import PRODUCT_ROOT


def downloaded(road):
    """A road whose copy has downloaded (not installed) one update, with the local updates file."""
    road.update("Tool 1.2", "1.2")
    road.publish()
    assert road.run("/silentall -nogui -nofreqcheck -justdownload").code == 0
    road.wait_for_copy_to_end()
    assert road.copy_result() == 0, road.log()[-3000:]
    installer = road.downloads / "Tool 1.2" / "tool-1.2.exe"
    assert installer.exists()
    return installer


def test_clean_with_two_live_updaters_deletes_nothing(road, wine):
    installer = downloaded(road)
    other = wine.new_app_folder(road.folder.name + "-other")
    shutil.copy(road.exe, other / "updater.exe")
    app_key = rf"{PRODUCT_ROOT}\{road.id}"
    wine.reg_add(app_key, road.win(other / "updater.exe"), "0", kind="REG_DWORD")
    try:
        assert road.run("/clean silent").code == 0
        log = road.log()
        assert f"Found valid client: {road.win(other / 'updater.exe')}" in log
        assert "CanRunClean returns: false" in log
        assert "DoErase started." not in log
        assert installer.exists()
        assert wine.reg_query(app_key + r"\Updates", "Tool 1.2")[0] == 0

        # Once the other updater is gone (its file removed), the clean-up may run.
        shutil.rmtree(other)
        assert road.run("/clean").code == 0  # without "silent" it cleans the same way for now
        assert "CanRunClean returns: true" in road.log()
        assert not road.downloads.exists()
        assert wine.reg_query(app_key)[0] != 0
    finally:
        shutil.rmtree(other, ignore_errors=True)


def test_clean_keeps_a_locked_update(road, wine):
    installer = downloaded(road)
    app_key = rf"{PRODUCT_ROOT}\{road.id}"
    wine.reg_add(app_key + r"\Updates\Locks", "Tool 1.2", "1", kind="REG_DWORD")
    assert wine.reg_query(app_key + r"\Settings")[0] == 0
    local_updates = [p for p in road.downloads.iterdir() if p.is_file()]
    assert local_updates, "the local copy of the updates file should be in the downloads folder"

    assert road.run("/clean silent").code == 0
    assert "DoErase started." in road.log()
    assert installer.exists()
    assert all(not p.exists() for p in local_updates)
    rc, out = wine.reg_query(app_key + r"\Updates", "Tool 1.2")
    assert rc == 0 and installer.name in out
    assert wine.reg_query(app_key + r"\Settings")[0] != 0
    assert wine.reg_query(app_key)[0] == 0  # kept above the locked update

    # Unlocked, the next clean-up removes the rest.
    wine.reg_add(app_key + r"\Updates\Locks", "Tool 1.2", "0", kind="REG_DWORD")
    assert road.run("/clean silent").code == 0
    assert not road.downloads.exists()
    assert wine.reg_query(app_key)[0] != 0
