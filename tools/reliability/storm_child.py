"""A robot program for the signal storm: builds one to three controllers with
running loops, drops them in random order, and does it again, until a signal
ends it. Every step goes to standard error as a line starting with "@", written
with one system call before (B, D) and after (C, X) the step, so that whoever
reads it knows which controllers existed whenever the process ended:

    @ start | @ imported | @ link
    @ B n ids     building controller n on motors ids
    @ C n         controller n exists
    @ D n         dropping controller n
    @ X n         controller n is gone

Usage: storm_child.py INTERFACE SEED
"""

import os
import random
import sys
import time


def log(text: str) -> None:
    os.write(2, f"@ {text}\n".encode())


log("start")
import torvane  # noqa: E402  (the moment of the import is part of what is logged)

log("imported")
MODES = [torvane.ODriveControlMode.TORQUE, torvane.ODriveControlMode.VELOCITY, torvane.ODriveControlMode.POSITION]
interface, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)


def build(number: int, ids: list) -> "torvane.MotorController":
    log(f"B {number} {''.join(map(str, ids))}")
    ctrl = torvane.MotorController(link, ids)
    log(f"C {number}")
    ctrl.set_control_mode(rng.choice(MODES))
    ctrl.initialize_control_thread()
    return ctrl


link = torvane.ODriveSocket(interface)
log("link")
alive = {}
number = 0
while True:
    for _ in range(rng.randint(1, 3)):
        alive[number] = build(number, rng.choice([[0], [1], [0, 1], [1, 0]]))
        number += 1
    time.sleep(rng.uniform(0.0, 0.02))
    for victim in rng.sample(sorted(alive), len(alive)):
        ctrl = alive.pop(victim)
        if rng.random() < 0.5:
            ctrl.stop_control_thread()  # otherwise the destructor stops it
        log(f"D {victim}")
        del ctrl
        log(f"X {victim}")
    if rng.random() < 0.3:  # now and then a new link too
        del link
        link = torvane.ODriveSocket(interface)
        log("link")
