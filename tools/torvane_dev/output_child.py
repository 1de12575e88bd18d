"""A robot program for the tests of what the emergency stop leaves of a program's
output, and of a signal handler installed after the first controller. It says
"ready" on standard error (unbuffered, os.write), then waits for the test.

Usage: output_child.py INTERFACE SCENARIO

    print        prints LINES numbered lines without flushing, builds a controller
                 with a running loop, and sleeps
    print-busy   the same, then holds the interpreter's lock in one long native call
    handler-SIGNAL / ignore-SIGNAL / default-SIGNAL
                 builds a controller, then gives SIGINT or SIGTERM a Python handler
                 of its own, SIG_IGN or SIG_DFL, and sleeps
    keep         builds a controller and sleeps, its handlers left alone
"""

import os
import signal
import sys
import time

import torvane

LINES = 200
interface, scenario = sys.argv[1], sys.argv[2]

if scenario.startswith("print"):
    for number in range(LINES):
        print(f"line {number}")  # no flush: block-buffered to a file or a pipe

link = torvane.ODriveSocket(interface)
ctrl = torvane.MotorController(link, [0])
ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
ctrl.initialize_control_thread()

action, _, name = scenario.partition("-")
if action in ("handler", "ignore", "default"):
    replacement = {"handler": lambda signum, frame: None, "ignore": signal.SIG_IGN, "default": signal.SIG_DFL}[action]
    signal.signal(getattr(signal, name), replacement)

os.write(2, b"ready\n")
if scenario == "print-busy":
    sum(range(10**13))  # hours in one native call that never lets the interpreter's lock go
while True:
    time.sleep(0.05)
