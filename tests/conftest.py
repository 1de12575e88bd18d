import os
import socket

import pytest

from canpeer import CanPeer

INTERFACE = os.environ.get("TORVANE_TEST_IFACE", "vcan0")
SECOND_INTERFACE = os.environ.get("TORVANE_TEST_IFACE2", "vcan1")
# Two controllers at the two ends of one bus, where the bench has them (real CAN
# controllers): what one sends crosses the wire to the other. None on vcan.
WIRE = tuple(os.environ.get("TORVANE_TEST_WIRE", "").split()) or None


def is_virtual(interface: str) -> bool:
    """vcan has no device behind it; a CAN controller's driver has."""
    return not os.path.exists(f"/sys/class/net/{interface}/device")


def _can_available(interface: str) -> bool:
    try:
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
            s.bind((interface,))
        return True
    except OSError:
        return False


def pytest_collection_modifyitems(config, items):
    if _can_available(INTERFACE):
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
