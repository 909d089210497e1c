"""Fixtures of the main-job suites: a publisher's HTTP server serving an updates configuration file
and real installers (the fake installer, with SHA-256 values), an application folder with
updater.exe and its client configuration, and the temporary copy's folder in the prefix."""
import shutil
import uuid

import pytest

from road import PRODUCT_ROOT, Road, kill_windows_processes, windows_processes_alive  # noqa: F401


@pytest.fixture
def road(wine, http):
    # Wine's background programs (services, the desktop) start with the first program that needs
    # them and keep its current folder; started by a temporary copy, they would hold the copy's
    # folder for ever. They are started here, from a neutral folder, before each road.
    wine.ensure_prefix()
    folder = wine.new_app_folder("road-" + uuid.uuid4().hex[:10])
    made = Road(wine, folder, http)
    made.configure()
    yield made
    wine.reg_delete(f"{PRODUCT_ROOT}\\{made.id}")
    wine.reg_delete(made.state_key)
    for candidate in made.copy_folders():
        shutil.rmtree(candidate, ignore_errors=True)
    shutil.rmtree(folder, ignore_errors=True)
