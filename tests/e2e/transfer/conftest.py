"""Fixtures shared by the transfer suites: a real HTTP server and a scratch folder in the prefix."""
import shutil
import uuid

import pytest



@pytest.fixture
def folder(wine):
    path = wine.apps_root / ("transfer-" + uuid.uuid4().hex[:10])
    path.mkdir(parents=True)
    yield path
    shutil.rmtree(path, ignore_errors=True)
