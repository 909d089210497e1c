"""Fixtures of the main-job suites: a publisher's HTTP server serving an updates configuration file
and real installers (the fake installer, with SHA-256 values), an application folder with
updater.exe and its client configuration, and the temporary copy's folder in the prefix."""
import pytest

from road import PRODUCT_ROOT, Road, kill_windows_processes, road_on, windows_processes_alive  # noqa: F401


@pytest.fixture
def road(wine, http):
    yield from road_on(wine, http, "road-")
