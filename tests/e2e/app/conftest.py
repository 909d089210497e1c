"""Fixtures shared by the core suites: a real HTTP server of the publisher, one per test."""
import pytest

import servers


@pytest.fixture
def http():
    server = servers.HttpServer().start()
    yield server
    server.stop()
