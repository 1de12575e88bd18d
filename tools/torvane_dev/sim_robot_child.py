"""A robot program for the simulator tests: holds both axes in closed loop with the
native control loop running, prints "ready", then drops its controller when it reads
"drop" (and prints "dropped"), or waits for a signal. Usage: sim_robot_child.py INTERFACE"""

import sys

import torvane

link = torvane.ODriveSocket(sys.argv[1])
ctrl = torvane.MotorController(link, [0, 1])
cmd = torvane.MotorCommand()
cmd.kp = [8.0, 8.0]
cmd.kd = [0.4, 0.4]
ctrl.update_command(cmd)
ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
ctrl.set_axis_state(torvane.ODriveAxisState.CLOSED_LOOP_CONTROL)
ctrl.initialize_control_thread()
print("ready", flush=True)
for line in sys.stdin:
    if line.strip() == "drop":
        del ctrl  # with its loop still running
        print("dropped", flush=True)
