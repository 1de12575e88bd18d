"""Opening, sharing and closing ODriveSocket links on the bus."""

import os
import shutil
import subprocess
import threading

import pytest

import torvane
from torvane_dev.buses import SECOND_INTERFACE
from torvane_dev.canpeer import CanPeer, f32, wait_until
from torvane_dev.procfs import cpu_share
from torvane_dev.protocol import arb_id

HANG_GUARD = 60.0  # seconds; only catches a hang, never measures speed


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


def run_guarded(action):
    """Runs `action` on a helper thread and fails if it does not return in time."""
    error = []

    def body():
        try:
            action()
        except BaseException as exc:  # surfaced below
            error.append(exc)

    worker = threading.Thread(target=body, daemon=True)
    worker.start()
    worker.join(HANG_GUARD)
    assert not worker.is_alive(), "hung"
    if error:
        raise error[0]


def test_open_by_position_keyword_or_bytes(bus, peer):
    for link in (torvane.ODriveSocket(bus), torvane.ODriveSocket(if_name=bus), torvane.ODriveSocket(bus.encode())):
        link.clearErrors(1)
        assert peer.recv().can_id == 0x38
    with pytest.raises(TypeError):
        torvane.ODriveSocket()
    with pytest.raises(TypeError):
        torvane.ODriveSocket(None)


@pytest.mark.parametrize("name", [
    "", "nosuchcan0", "x" * 15, "x" * 16, "vcan0" + "x" * 40, "vcan0\0junk", "lo",
], ids=["empty", "unknown", "15-unknown", "16-bytes", "long", "embedded-nul", "not-can"])
def test_failed_open_names_the_interface_and_leaks_nothing(bus, name):
    fds, tasks = open_fds(), threads()
    for _ in range(20):
        with pytest.raises(RuntimeError) as caught:
            torvane.ODriveSocket(name)
        # the message crosses into Python as a C string: it ends at an embedded NUL
        assert str(caught.value) == "Failed to bind socket on interface " + name.split("\0")[0]
    assert open_fds() == fds and threads() == tasks


def test_each_link_starts_one_thread_and_gives_back_thread_and_descriptors(bus):
    fds, tasks = open_fds(), threads()
    links = [torvane.ODriveSocket(bus) for _ in range(5)]
    assert threads() == tasks + 5
    assert open_fds() == fds + 10  # the socket and its wake-up descriptor
    del links
    assert open_fds() == fds
    # A joined thread can stay listed in /proc for a moment while the kernel reaps it.
    wait_until(lambda: threads() == tasks, timeout=5.0)


def test_destroying_a_link_on_a_silent_bus_returns(bus):
    def cycle():
        for _ in range(20):
            link = torvane.ODriveSocket(bus)
            del link

    run_guarded(cycle)


def test_destroying_a_link_while_frames_pour_in(bus):
    stop = threading.Event()
    sent = [0]

    def flood():
        p = CanPeer(bus)
        while not stop.is_set():
            p.send(arb_id(sent[0] % 64, 9), f32(1.0, 2.0))
            sent[0] += 1
        p.close()

    flooder = threading.Thread(target=flood, daemon=True)
    flooder.start()
    try:
        def cycle():
            for _ in range(20):
                link = torvane.ODriveSocket(bus)
                wait_until(lambda link=link: link.getPositionEstimate(0) == 1.0 or sent[0] > 5000)
                del link

        run_guarded(cycle)
    finally:
        stop.set()
        flooder.join(HANG_GUARD)


def test_a_stray_wake_up_neither_spins_nor_stops_the_receive_thread(bus, peer):
    # The wake-up eventfd is shared with every child forked after the link was
    # opened; whatever arrives there, the thread must read it back and go on.
    def eventfds():
        found = set()
        for name in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{name}") == "anon_inode:[eventfd]":
                    found.add(int(name))
            except OSError:
                pass  # the descriptor of the listing itself, closed by now
        return found

    before = eventfds()
    link = torvane.ODriveSocket(bus)
    wake = sorted(eventfds() - before)
    assert len(wake) == 1
    os.write(wake[0], (1).to_bytes(8, "little"))
    assert cpu_share(0.5) < 0.5
    peer.send(arb_id(7, 9), f32(2.5, 3.5))
    wait_until(lambda: link.getPositionEstimate(7) == 2.5)


def test_two_links_on_one_interface_both_receive(bus, peer):
    a, b = torvane.ODriveSocket(bus), torvane.ODriveSocket(bus)
    peer.send(arb_id(4, 23), f32(48.0, 2.0))
    wait_until(lambda: a.getBusVoltage(4) == 48.0 and b.getBusVoltage(4) == 48.0)
    # each link also sees what the other sends, as an ODrive would
    a.clearErrors(5)
    b.setAxisState(6, 8)
    assert [f.can_id for f in peer.recv_n(2)] == [0xB8, 0xC7]


@pytest.fixture
def second_bus():
    try:
        p = CanPeer(SECOND_INTERFACE)
    except OSError:
        pytest.skip(f"no second interface {SECOND_INTERFACE}")
    yield SECOND_INTERFACE, p
    p.close()


def test_link_is_bound_to_its_own_interface_only(bus, peer, second_bus):
    name, other = second_bus
    link = torvane.ODriveSocket(name)
    peer.send(arb_id(8, 9), f32(5.0, 5.0))    # on the first bus: not for this link
    other.send(arb_id(8, 28), f32(6.0, 0.0))  # on its own bus
    wait_until(lambda: link.getTorqueEstimate(8) == 6.0)
    assert link.getPositionEstimate(8) == 0.0
    link.setAxisState(8, 1)
    assert other.recv().can_id == arb_id(8, 7)
    peer.assert_silent()


def ip(*args):
    subprocess.run(["ip", "link", *args], check=True, capture_output=True, timeout=60)


needs_ip = pytest.mark.skipif(shutil.which("ip") is None or os.geteuid() != 0,
                              reason="needs root and iproute2 to change interfaces")


@needs_ip
def test_interface_down_and_up_under_an_open_link(second_bus):
    name, _ = second_bus
    link = torvane.ODriveSocket(name)
    try:
        ip("set", name, "down")
        assert cpu_share(0.5) < 0.5  # the receive thread does not spin on the error
        link.clearErrors(0)  # the write fails; the call still returns quietly
    finally:
        ip("set", name, "up")
    fresh = CanPeer(name)  # the old socket still holds its one ENETDOWN report
    fresh.send(arb_id(2, 9), f32(3.0, 4.0))
    fresh.close()
    wait_until(lambda link=link: link.getPositionEstimate(2) == 3.0)
    holder = [link]
    del link
    run_guarded(holder.clear)


@needs_ip
def test_link_binds_again_when_a_removed_interface_returns(unpluggable_bus):
    name, unplugged = unpluggable_bus
    link = torvane.ODriveSocket(name)
    with unplugged():
        assert cpu_share(0.5) < 0.5  # looking for the interface does not spin
        link.setAxisState(0, 1)  # lost, without an exception
    returned = CanPeer(name)
    try:
        # telemetry resumes once the link has found the interface again
        wait_until(lambda link=link: returned.send(arb_id(5, 9), f32(6.0, 7.0)) or link.getPositionEstimate(5) == 6.0,
                   interval=0.05)
        assert link.getVelocityEstimate(5) == 7.0
        returned.drain()
        link.clearErrors(5)  # and commands reach the bus again
        assert returned.recv().can_id == arb_id(5, 24)
    finally:
        returned.close()
    holder = [link]
    del link
    run_guarded(holder.clear)


@needs_ip
def test_a_controller_sends_again_when_a_removed_interface_returns(unpluggable_bus):
    # The loop and the IDLE frames leave from sockets of the controller's own: they
    # too find the interface again, and a controller can be built while it is gone.
    name, unplugged = unpluggable_bus
    link = torvane.ODriveSocket(name)
    running = torvane.MotorController(link, [0])
    running.set_control_mode(torvane.ODriveControlMode.TORQUE)
    running.initialize_control_thread()
    with unplugged():
        built_while_gone = torvane.MotorController(link, [1])
    returned = CanPeer(name)
    try:
        wait_until(lambda: returned.recv().can_id == arb_id(0, 14))  # the loop's torque frames
        running.stop_control_thread()
        returned.drain()
        del built_while_gone
        assert returned.recv().payload == bytes([1, 0, 0, 0])  # its IDLE for node 1
        del running
        assert [(f.can_id, f.payload) for f in returned.collect()] == [(arb_id(0, 7), bytes([1, 0, 0, 0]))]
    finally:
        returned.close()
