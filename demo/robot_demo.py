#!/usr/bin/env python3
"""torvane demo: a two-motor robot program on a CAN bus.

By default it starts a simulated two-axis ODrive (the torvane-sim command) on a virtual
bus; with --no-sim it drives the ODrives already on the given interface (nodes 0 and 1):
real ones, or a torvane-sim started by hand.

  1. opens the interface, waits for both axes' heartbeats and prints their telemetry;
  2. puts both axes into closed loop and runs torvane's native impedance loop in torque
     mode: hold, a position step, then a slow sine on each motor, with a live table;
  3. writes a PNG plot of setpoint, position and torque over time;
  4. shows the emergency stop: a controller process gets SIGINT, prints "Running ESTOP",
     and both axes report IDLE.

Exits 0 when all of that behaved, non-zero with a message saying what did not.
"""

import argparse
import math
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MOTORS = [0, 1]
STATE_NAMES = {0: "UNDEFINED", 1: "IDLE", 8: "CLOSED_LOOP_CONTROL"}

# hold, then a step, then a slow sine (seconds of wall time; the simulator runs on wall time)
HOLD_S, STEP_S, SINE_S = 1.5, 3.0, 6.0
STEP_TURNS = [1.0, -0.5]
SINE_TURNS, SINE_HZ = [0.5, 0.25], 0.2


class DemoFailure(Exception):
    """Something the demo checks did not behave; the message says what."""


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise DemoFailure(f"{what} (waited {timeout:.0f} s)")
        time.sleep(0.01)


# ---------------------------------------------------------------- simulator

class Simulator:
    """The simulated ODrive as a child process."""

    def __init__(self, interface):
        # The one installed with this interpreter's torvane, else the first on PATH.
        command = shutil.which("torvane-sim", path=os.pathsep.join([sysconfig.get_path("scripts"),
                                                                     os.environ.get("PATH", "")]))
        if command is None:
            raise DemoFailure("the simulator command torvane-sim is not installed: run demo/run, or pip install .")
        self.process = subprocess.Popen(
            [command, "--interface", interface, "--nodes", *map(str, MOTORS), "--no-stdin"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()  # "ready" once it broadcasts
        if line.strip() != "ready":
            rest = self.process.stdout.read() if self.process.poll() is not None else ""
            self.process.kill()
            raise DemoFailure(f"the simulator did not start: {(line + rest).strip() or 'no output'}")

    def stop(self):
        """Stops it and returns its one-line summary per axis."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise DemoFailure("the simulator did not stop on SIGTERM") from None
        if self.process.returncode != 0:
            raise DemoFailure(f"the simulator exited with status {self.process.returncode}: {out.strip()}")
        return [line for line in out.splitlines() if line.startswith("axis ")]


# ---------------------------------------------------------------- steps

def print_telemetry(link):
    print(f"{'node':>4} {'state':<20} {'error':>10} {'pos':>8} {'vel':>8} {'Iq set':>7} {'Iq':>7}"
          f" {'FET C':>6} {'mot C':>6} {'bus V':>6} {'bus A':>6}")
    for node in MOTORS:
        state = link.getAxisState(node)
        print(f"{node:>4} {STATE_NAMES.get(state, f'UNKNOWN ({state})'):<20} {link.getAxisError(node):>#10x}"
              f" {link.getPositionEstimate(node):>8.3f} {link.getVelocityEstimate(node):>8.3f}"
              f" {link.getIqSetpoint(node):>7.2f} {link.getIqMeasured(node):>7.2f}"
              f" {link.getFETTemperature(node):>6.1f} {link.getMotorTemperature(node):>6.1f}"
              f" {link.getBusVoltage(node):>6.2f} {link.getBusCurrent(node):>6.2f}")


def wait_for_axes(link, timeout):
    # The cache reads 0 (UNDEFINED, 0 V) until a node's first heartbeat and bus report.
    for node in MOTORS:
        wait_for(lambda node=node: link.getAxisState(node) != 0 and link.getBusVoltage(node) > 0, timeout,
                 f"no heartbeat from node {node}: is the ODrive powered and broadcasting?")


def enter_closed_loop(torvane, ctrl, timeout):
    """Torque mode and closed loop for the controller's axes. Commands are fire and
    forget, and a busy bus may refuse a frame (a real adapter's queue is short), so
    both are sent again until the axes report closed loop."""
    deadline = time.monotonic() + timeout
    while True:
        ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
        ctrl.set_axis_state(torvane.ODriveAxisState.CLOSED_LOOP_CONTROL)
        retry = time.monotonic() + 0.5
        while time.monotonic() < retry:
            if ctrl.get_axis_state() == ["CLOSED_LOOP_CONTROL"] * len(MOTORS):
                return
            time.sleep(0.01)
        if time.monotonic() > deadline:
            raise DemoFailure(f"the axes did not enter closed loop control (waited {timeout:.0f} s)")


def setpoints(t, home):
    """Position and velocity setpoints of both motors at time t of the run."""
    positions, velocities = [], []
    for i in MOTORS:
        if t < HOLD_S:
            p, v = home[i], 0.0
        elif t < HOLD_S + STEP_S:
            p, v = home[i] + STEP_TURNS[i], 0.0
        else:
            w = 2 * math.pi * SINE_HZ
            ts = t - HOLD_S - STEP_S
            p = home[i] + STEP_TURNS[i] + SINE_TURNS[i] * math.sin(w * ts)
            v = SINE_TURNS[i] * w * math.cos(w * ts)
        positions.append(p)
        velocities.append(v)
    return positions, velocities


def run_impedance_control(torvane, link, args):
    """Hold, step and sine under the native loop; returns the recorded trace and the checks."""
    ctrl = torvane.MotorController(link, MOTORS)
    for node in MOTORS:
        link.clearErrors(node)
    enter_closed_loop(torvane, ctrl, 10)

    home = ctrl.get_motor_states().position
    cmd = torvane.MotorCommand()
    cmd.kp = [args.kp] * 2
    cmd.kd = [args.kd] * 2
    cmd.position_setpoint = home
    ctrl.update_command(cmd)
    ctrl.initialize_control_thread()
    print(f"\nimpedance control in torque mode: kp {args.kp} Nm/turn, kd {args.kd} Nm/(turn/s); "
          f"hold {HOLD_S} s, step {STEP_TURNS} turns for {STEP_S} s, sine for {SINE_S} s")
    print(f"{'t s':>5} | {'setpoint 0':>10} {'pos 0':>7} {'torque 0':>8} "
          f"| {'setpoint 1':>10} {'pos 1':>7} {'torque 1':>8}")

    trace = {"t": [], "setpoint": ([], []), "position": ([], []), "torque": ([], [])}
    errors = {}  # phase -> worst tracking error over its last half second
    start = time.monotonic()
    next_print = 0.0
    total = HOLD_S + STEP_S + SINE_S
    while (t := time.monotonic() - start) < total:
        positions, velocities = setpoints(t, home)
        cmd.position_setpoint = positions
        cmd.velocity_setpoint = velocities
        ctrl.update_command(cmd)
        state = ctrl.get_motor_states()
        trace["t"].append(t)
        for i in MOTORS:
            trace["setpoint"][i].append(positions[i])
            trace["position"][i].append(state.position[i])
            trace["torque"][i].append(state.torque_estimate[i])
        for phase, end in (("hold", HOLD_S), ("step", HOLD_S + STEP_S)):
            if end - 0.5 <= t < end:
                worst = max(abs(state.position[i] - positions[i]) for i in MOTORS)
                errors[phase] = max(errors.get(phase, 0.0), worst)
        if t >= next_print:
            next_print += 0.5
            print(f"{t:5.1f} | " + " | ".join(
                f"{positions[i]:10.3f} {state.position[i]:7.3f} {state.torque_estimate[i]:8.3f}" for i in MOTORS))
        time.sleep(0.02)

    ctrl.stop_control_thread()
    del ctrl  # sends IDLE to both motors
    wait_for(lambda: all(link.getAxisState(n) == 1 for n in MOTORS), 10,
             "the axes did not report IDLE after the controller was dropped")
    print("controller dropped: both axes report IDLE")
    return trace, errors


def estop_child(interface):
    """The controller process of the emergency-stop step: runs until a signal ends it."""
    import torvane

    link = torvane.ODriveSocket(interface)
    ctrl = torvane.MotorController(link, MOTORS)
    cmd = torvane.MotorCommand()
    wait_for_axes(link, 30)
    enter_closed_loop(torvane, ctrl, 10)
    cmd.position_setpoint = ctrl.get_motor_states().position
    cmd.kp, cmd.kd = [1.0, 1.0], [0.1, 0.1]
    ctrl.update_command(cmd)
    ctrl.initialize_control_thread()
    print("controller running", flush=True)
    while True:
        time.sleep(0.1)


def demonstrate_estop(link, interface):
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--estop-child", "--interface", interface],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        if child.stdout.readline().strip() != "controller running":
            raise DemoFailure("the emergency-stop process did not start its controller: " + child.stdout.read())
        wait_for(lambda: all(link.getAxisState(n) == 8 for n in MOTORS), 10,
                 "the emergency-stop process did not put the axes into closed loop")
        print("\ncontroller process running, axes in CLOSED_LOOP_CONTROL; sending SIGINT (Ctrl-C)")
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    for line in out.splitlines():
        print(f"  controller process: {line}")
    if "Running ESTOP" not in out:
        raise DemoFailure("the controller process did not print Running ESTOP")
    if child.returncode != signal.SIGINT:
        raise DemoFailure(f"the controller process exited with {child.returncode}, not {int(signal.SIGINT)}")
    wait_for(lambda: all(link.getAxisState(n) == 1 for n in MOTORS), 10,
             "the axes did not report IDLE after the emergency stop")
    print(f"controller process exited with status {child.returncode}; both axes report IDLE")


def write_plot(trace, path):
    # matplotlib and fontconfig (which matplotlib runs to list the fonts) keep their caches under
    # the home folder, which may be read-only, as it is in demo/run's VM; fontconfig then prints
    # errors in the middle of the demo. Both keep them beside the plot instead.
    cache = os.path.join(os.path.dirname(path), "cache")
    os.environ.setdefault("MPLCONFIGDIR", os.path.join(cache, "matplotlib"))
    os.environ.setdefault("XDG_CACHE_HOME", cache)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(11, 6), sharex=True)
    for i in MOTORS:
        top, bottom = axes[0][i], axes[1][i]
        top.plot(trace["t"], trace["setpoint"][i], "--", label="setpoint")
        top.plot(trace["t"], trace["position"][i], label="position")
        top.set_title(f"motor {i}")
        top.set_ylabel("turns")
        top.legend(loc="best")
        bottom.plot(trace["t"], trace["torque"][i], color="tab:red", label="torque estimate")
        bottom.set_ylabel("Nm")
        bottom.set_xlabel("time (s)")
        for ax in (top, bottom):
            ax.axvspan(0, HOLD_S, color="0.93")
            ax.axvspan(HOLD_S + STEP_S, HOLD_S + STEP_S + SINE_S, color="0.97")
            ax.grid(True, alpha=0.3)
    fig.suptitle("torvane: native impedance loop on two motors (hold, step, sine)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-i", "--interface", default="vcan0", help="SocketCAN interface (default: %(default)s)")
    parser.add_argument("--no-sim", action="store_true",
                        help="start no simulator: drive the ODrives on the interface (nodes 0 and 1)")
    parser.add_argument("--out", default=os.path.join(REPO, "build", "demo-out"),
                        help="folder for the plot and the plotting library's caches (default: %(default)s)")
    parser.add_argument("--kp", type=float, default=2.0, help="stiffness, Nm per turn (default: %(default)s)")
    parser.add_argument("--kd", type=float, default=0.2, help="damping, Nm per turn/s (default: %(default)s)")
    parser.add_argument("--wait", type=float, default=30.0,
                        help="seconds to wait for the axes' first heartbeats (default: %(default)s)")
    parser.add_argument("--tolerance", type=float, default=0.1,
                        help="largest tracking error accepted at the end of hold and step, turns "
                             "(default: %(default)s)")
    parser.add_argument("--estop-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.estop_child:
        estop_child(args.interface)
        return 0

    try:
        import torvane
    except ImportError as exc:
        print(f"demo: the torvane module is not built here ({exc}); run demo/run", file=sys.stderr)
        return 2
    try:
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:  # checked now, imported for the plot at the end
            raise ImportError
    except ImportError:
        print("demo: matplotlib is missing; run demo/run, or pip install '.[demo]'", file=sys.stderr)
        return 2

    simulator = None
    try:
        try:
            link = torvane.ODriveSocket(args.interface)
        except RuntimeError as exc:
            raise DemoFailure(f"no CAN bus: {exc}") from None
        if not args.no_sim:
            simulator = Simulator(args.interface)
            print(f"simulated ODrive with axes {MOTORS} running on {args.interface}")
        wait_for_axes(link, args.wait)
        print(f"heartbeats received from nodes {MOTORS}:")
        print_telemetry(link)

        trace, errors = run_impedance_control(torvane, link, args)
        demonstrate_estop(link, args.interface)

        os.makedirs(args.out, exist_ok=True)
        plot = os.path.abspath(os.path.join(args.out, "demo.png"))
        write_plot(trace, plot)
        print(f"\nplot of setpoint, position and torque: {plot}")

        if simulator:
            summary, simulator = simulator.stop(), None
            print("simulator at exit:")
            for line in summary:
                print(f"  {line}")

        samples = len(trace["t"])
        print(f"\ntracking error at the end of hold: {errors.get('hold', float('nan')):.4f} turns, "
              f"of the step: {errors.get('step', float('nan')):.4f} turns ({samples} samples)")
        for phase in ("hold", "step"):
            if not errors.get(phase, math.inf) <= args.tolerance:
                raise DemoFailure(f"the motors did not settle at the end of the {phase}: "
                                  f"error {errors.get(phase, math.nan):.3f} turns > {args.tolerance}")
        print("demo passed")
        return 0
    except DemoFailure as failure:
        print(f"\ndemo FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        if simulator:
            try:
                simulator.stop()
            except DemoFailure:
                pass


if __name__ == "__main__":
    sys.exit(main())
