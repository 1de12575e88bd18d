import contextlib
import os
import shutil
import subprocess

import pytest

import torvane
from torvane_dev.buses import INTERFACE, SECOND_INTERFACE, can_open, is_virtual
from torvane_dev.canpeer import MARKER, CanPeer
from torvane_dev.protocol import MAX_NODE
from torvane_dev.simfixture import SimulatedODrive


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
    odrv = torvane.ODriveSocket(bus)
    peer.drain()
    yield odrv
    del odrv


@pytest.fixture
def controller(link, peer):
    """make(ids, mode, command, closed_loop=False, start=False) builds a MotorController
    on the test's link: `command` (a MotorCommand, or a dict of its fields) and `mode`
    are given to it, closed loop requested, and the peer has read every frame of that
    setup when the loop starts. Loops still running are stopped at teardown."""
    made = []

    def make(ids, mode=None, command=None, closed_loop=False, start=False):
        ctrl = torvane.MotorController(link, list(ids))
        made.append(ctrl)
        if isinstance(command, dict):
            fields, command = command, torvane.MotorCommand()
            for name, value in fields.items():
                setattr(command, name, value)
        if command is not None:
            ctrl.update_command(command)
        if mode is not None:
            ctrl.set_control_mode(mode)
        if closed_loop:
            ctrl.set_axis_state(torvane.ODriveAxisState.CLOSED_LOOP_CONTROL)
        link.clearErrors(MAX_NODE)
        peer.drain_through(MARKER)
        if start:
            ctrl.initialize_control_thread()
        return ctrl

    yield make
    for ctrl in made:
        try:
            ctrl.stop_control_thread()
        except RuntimeError:
            pass  # the test stopped it, or never started it


@pytest.fixture
def start_sim(bus):
    """start(*options, nodes=(0, 1), interface=bus, ready=True) starts a simulator (see
    SimulatedODrive); at teardown each must exit 0 on SIGTERM with a summary per axis."""
    started = []

    def start(*options, nodes=(0, 1), interface=None, ready=True):
        sim = SimulatedODrive(interface or bus, *options, nodes=nodes, ready=ready)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        assert sim.stop() == 0, sim.stderr
        assert sorted(sim.summaries()) == sorted(sim.nodes)


@pytest.fixture
def unpluggable_bus():
    """(name, unplugged): within `with unplugged():` the second bus's interface is gone,
    as when a USB CAN adapter is unplugged, and it is back after the block."""
    name = SECOND_INTERFACE
    if shutil.which("ip") is None or os.geteuid() != 0:
        pytest.skip("needs root and iproute2 to change interfaces")
    if not can_open(name):
        pytest.skip(f"no second interface {name}")
    if not is_virtual(name):
        pytest.skip(f"deletes and re-creates {name} as vcan: a CAN controller's interface cannot be re-created")

    def ip(*args):
        subprocess.run(["ip", "link", *args], check=True, capture_output=True, timeout=60)

    @contextlib.contextmanager
    def unplugged():
        ip("delete", name)
        try:
            yield
        finally:
            ip("add", "dev", name, "type", "vcan")
            ip("set", name, "up")

    return name, unplugged
