"""A robot program that forks, for the fork tests. The parent owns a link and a
controller on motor 0; a child made by fork() (or by multiprocessing's fork start
method) does what SCENARIO says. The parent reports what it saw afterwards as
"key value" lines, prints "ready" and waits for the test's signal, which its own
emergency stop must still answer.

Usage: fork_child.py INTERFACE SCENARIO
"""

import multiprocessing
import os
import signal
import sys
import time
import traceback
import warnings

import torvane
from torvane_dev.canpeer import CanPeer, f32, wait_until
from torvane_dev.procfs import cpu_share
from torvane_dev.protocol import GET_ENCODER_ESTIMATES, SET_TORQUE, arb_id

# Forking a process with threads is what this program is about.
warnings.filterwarnings("ignore", message=r".*multi-threaded.*fork", category=DeprecationWarning)

interface, scenario = sys.argv[1], sys.argv[2]
link = torvane.ODriveSocket(interface)
ctrl = torvane.MotorController(link, [0])


def report(key, value):
    print(f"{key} {value}", flush=True)


def raises(call):
    try:
        call()
    except RuntimeError as error:
        return f"RuntimeError: {error}"
    return "nothing"


def fork(child_body):
    """Runs child_body in a forked child. It ends the child itself: with os._exit,
    or with sys.exit, whose SystemExit unwinds through this program as it would
    through any other and ends the interpreter normally."""
    pid = os.fork()
    if pid == 0:
        try:
            child_body()
        except Exception:
            traceback.print_exc()
            os._exit(98)
        os._exit(99)
    return pid


def wait_child(pid):
    report("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))


def exits_normally():
    sys.stdout.flush()
    sys.exit(0)  # finalization drops the inherited objects and runs static destructors


def drops_everything():
    global ctrl, link
    started = time.monotonic()
    del ctrl, link
    os.write(1, f"child-drop-seconds {time.monotonic() - started:.3f}\n".encode())
    os._exit(0)


def builds_its_own_stop(ready_write):
    own_link = torvane.ODriveSocket(interface)
    own = torvane.MotorController(own_link, [1])
    own.set_control_mode(torvane.ODriveControlMode.TORQUE)
    own.initialize_control_thread()
    os.write(ready_write, b"x")
    while True:
        time.sleep(0.05)


def waits():
    while True:
        time.sleep(0.05)


def tries_the_inherited_loop():
    # An inherited controller has no thread here and must not start one on a
    # telemetry cache that nobody updates in this process.
    lines = [f"child-start {raises(ctrl.initialize_control_thread)}",
             f"child-stop {raises(ctrl.stop_control_thread)}"]
    on_inherited_link = torvane.MotorController(link, [1])
    lines.append(f"child-new-on-inherited-link {raises(on_inherited_link.initialize_control_thread)}")
    ctrl.update_command(torvane.MotorCommand())
    ctrl.get_motor_states()
    started = time.monotonic()
    del on_inherited_link
    lines.append(f"child-drop-seconds {time.monotonic() - started:.3f}")
    os.write(1, ("\n".join(lines) + "\n").encode())
    os._exit(0)


def loop_frames(seconds=0.5):
    """Torque frames for motor 0 seen on the bus within `seconds`."""
    peer = CanPeer(interface, only_command=SET_TORQUE)
    count, deadline = 0, time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            try:
                count += peer.recv(timeout=0.05).node == 0
            except TimeoutError:
                pass
    finally:
        peer.close()
    return count


def fresh_telemetry_arrives():
    peer = CanPeer(interface)
    peer.send(arb_id(0, GET_ENCODER_ESTIMATES), f32(4.25, -1.5))
    peer.close()
    try:
        wait_until(lambda: link.getPositionEstimate(0) == 4.25 and link.getVelocityEstimate(0) == -1.5, timeout=30)
    except AssertionError:
        return False
    return True


def worker_reads_inherited_link():
    link.getAxisState(0)  # an inherited link still answers from the cache it had


def square(n):
    return n * n


if scenario == "child-exits":
    wait_child(fork(exits_normally))
elif scenario == "child-drops-everything":
    wait_child(fork(drops_everything))
    report("telemetry", fresh_telemetry_arrives())
elif scenario == "child-builds-its-own-stop":
    ready_read, ready_write = os.pipe()
    pid = fork(lambda: builds_its_own_stop(ready_write))
    os.read(ready_read, 1)
    os.kill(pid, signal.SIGTERM)
    wait_child(pid)
elif scenario in ("child-gets-SIGINT", "child-gets-SIGTERM"):
    pid = fork(waits)
    os.kill(pid, getattr(signal, scenario.rsplit("-", 1)[1]))
    wait_child(pid)
elif scenario == "child-tries-the-inherited-loop":
    ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
    ctrl.initialize_control_thread()
    wait_child(fork(tries_the_inherited_loop))
    report("loop-frames-after", loop_frames() > 0)
elif scenario == "multiprocessing":
    context = multiprocessing.get_context("fork")
    process = context.Process(target=worker_reads_inherited_link)
    process.start()
    process.join()
    report("child", process.exitcode)
    with context.Pool(2) as pool:
        report("pool", pool.map(square, range(8)) == [n * n for n in range(8)])
    # leaving the block terminated the workers with SIGTERM
else:
    raise SystemExit(f"unknown scenario {scenario}")

if scenario != "child-tries-the-inherited-loop":
    report("cpu", f"{cpu_share():.2f}")  # a receive thread woken for ever would use a whole CPU
print("ready", flush=True)
while True:
    time.sleep(0.05)
