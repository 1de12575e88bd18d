"""A robot program for the emergency-stop tests: builds controllers, then waits
for a signal from the test. Usage: estop_child.py INTERFACE SCENARIO

In the scenario "one-running" it drives motor 0 in torque mode and reads its
standard input: "drop" drops the controller and answers "dropped"; the end of the
input ends the program."""

import os
import select
import sys
import time

import torvane

interface, scenario = sys.argv[1], sys.argv[2]
link = torvane.ODriveSocket(interface)
keep = []

if scenario == "two-running":
    for ids in ([0, 1], [1]):
        ctrl = torvane.MotorController(link, ids)
        ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
        ctrl.initialize_control_thread()
        keep.append(ctrl)
elif scenario == "one-running":
    keep.append(torvane.MotorController(link, [0]))
    keep[0].set_control_mode(torvane.ODriveControlMode.TORQUE)
    keep[0].initialize_control_thread()
elif scenario == "one-dropped":
    dropped = torvane.MotorController(link, [0])
    keep.append(torvane.MotorController(link, [1]))
    del dropped
elif scenario == "all-dropped":
    dropped = torvane.MotorController(link, [0])
    del dropped
elif scenario == "failed-construction":
    try:
        torvane.MotorController(link, [0, 5])
    except ValueError:
        pass
elif scenario != "none":
    raise SystemExit(f"unknown scenario {scenario}")

print("ready", flush=True)
if scenario == "one-running":
    # Waits in short selects rather than one read: ThreadSanitizer delivers a signal
    # only when the thread that took it next calls a function it intercepts.
    while True:
        if select.select([0], [], [], 0.05)[0]:
            command = os.read(0, 100)
            if not command:
                sys.exit(0)
            if command == b"drop\n":
                keep.clear()
                print("dropped", flush=True)
while True:
    time.sleep(0.05)
