"""A robot program for the faulty-bus tests: two controllers ([0, 1], then [1])
run their loops in MODE while the interpreter keeps calling into the module, until
a signal from the test ends the process.

Usage: fault_child.py INTERFACE MODE [--fill] [--backlog N [--second-link]]

--fill first puts 10,000 torque commands for node 5 to the link, so that on a
stalled bus the link's socket queue is full before the controllers start.
--backlog N puts N setLimits frames for node 5 to the link just before "ready",
then a CLOSED_LOOP_CONTROL request for nodes 0 and 1: on a slow bus they are
still queued when the signal comes. --second-link queues them on a second
ODriveSocket of the program's, used only from Python, instead of the link.
Prints "calls N" (how many update_command + get_motor_states + getter rounds
returned in the first second) and then "ready"; standard error gets nothing of
ours until the stop.
"""

import sys
import time

import torvane

interface, mode = sys.argv[1], getattr(torvane.ODriveControlMode, sys.argv[2].upper())
link = torvane.ODriveSocket(interface)
if "--fill" in sys.argv[3:]:
    for _ in range(10_000):
        link.torque_command(5, 0.0)

cmd = torvane.MotorCommand()
cmd.kp = [1.0, 1.0]
controllers = []
for ids in ([0, 1], [1]):
    ctrl = torvane.MotorController(link, ids)
    ctrl.update_command(cmd)
    ctrl.set_control_mode(mode)
    ctrl.initialize_control_thread()
    controllers.append(ctrl)


def one_round(step):
    cmd.position_setpoint = [step * 1e-3, -step * 1e-3]
    for ctrl in controllers:
        ctrl.update_command(cmd)
        ctrl.get_motor_states()
    link.getPositionEstimate(0)
    link.getAxisState(1)


calls, started = 0, time.monotonic()
while time.monotonic() - started < 1.0:
    one_round(calls)
    calls += 1
print(f"calls {calls}", flush=True)
if "--backlog" in sys.argv:
    sender = torvane.ODriveSocket(interface) if "--second-link" in sys.argv else link
    for _ in range(int(sys.argv[sys.argv.index("--backlog") + 1])):
        sender.setLimits(5, 1.0, 2.0)
    sender.setAxisState(0, torvane.ODriveAxisState.CLOSED_LOOP_CONTROL)
    sender.setAxisState(1, torvane.ODriveAxisState.CLOSED_LOOP_CONTROL)
print("ready", flush=True)
while True:  # the signal lands while the interpreter is busy in the module
    one_round(calls)
    calls += 1
