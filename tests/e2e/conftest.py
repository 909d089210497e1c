"""Shared fixtures: run updater.exe under Wine in the build tree's own prefix and read its results."""
import pathlib
import shutil
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import servers  # noqa: E402
from wineenv import WineEnv  # noqa: E402


@pytest.fixture(scope="session")
def wine():
    env = WineEnv.from_environment()
    env.ensure_prefix()
    yield env


@pytest.fixture
def workdir(wine, tmp_path):
    """A throwaway folder inside the prefix's drive with a copy of updater.exe."""
    folder = wine.new_app_folder(tmp_path.name)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def http():
    """The publisher's HTTP server on 127.0.0.1, one per test module (the core suites start one per test)."""
    server = servers.HttpServer().start()
    yield server
    server.stop()
