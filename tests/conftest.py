import os

import pytest

from torvane_dev.buses import INTERFACE, can_open
from torvane_dev.canpeer import CanPeer

def pytest_collection_modifyitems(config, items):
    if can_open(INTERFACE):
        return
    if os.environ.get("TORVANE_REQUIRE_BUS"):
        raise pytest.UsageError(f"SocketCAN interface {INTERFACE} is required but cannot be opened")
    skip = pytest.mark.skip(reason=f"no SocketCAN interface {INTERFACE} here; run the suite through tests/run")
    for item in items:
        if "bus" in item.fixturenames:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def bus() -> str:
    return INTERFACE


@pytest.fixture
def peer(bus):
    p = CanPeer(bus)
    yield p
    p.close()


@pytest.fixture
def link(bus, peer):
    import torvane

    odrv = torvane.ODriveSocket(bus)
    peer.drain()
    yield odrv
    del odrv
