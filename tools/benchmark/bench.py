"""The benchmark's measurements, run where vcan0 and vcan1 exist.

    python bench.py --out DIR --agent BUSAGENT --alloc-lib ALLOCCOUNT.so [options]

runs every measurement, each in a fresh interpreter (`--phase NAME`), and writes
the raw figures to DIR/raw.json; tools/benchmark/report.py turns them into the
table. torvane and its baselines (tools/benchmark/baseline.py) do the same work
on the same bus in the same run. vcan0 carries the traffic; vcan1 stays silent.
"""

import argparse
import collections
import contextlib
import ctypes
import itertools
import json
import os
import platform
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import bridge_bench

from torvane_dev.busrate import throttled
from torvane_dev.canpeer import MARKER, CanPeer
from torvane_dev.faultcheck import EXPECTED_IDLE, IDLE_NOT_LAST, IDLE_PAYLOAD, LOST_IDLE, PASSES_NOT_OUT, STILL_QUEUED
from torvane_dev.procfs import fd_targets, new_can_socket_fd
from torvane_dev.protocol import (
    CAN_EFF_FLAG,
    CAN_FRAME,
    CAN_RTR_FLAG,
    SET_AXIS_STATE,
    SET_POSITION,
    SET_TORQUE,
    arb_id,
    command_filter,
)

BUSY_IFACE = "vcan0"
SILENT_IFACE = "vcan1"
EXACT_STANDARD_ID = 0x7FF | CAN_EFF_FLAG | CAN_RTR_FLAG  # filter mask: this standard data frame only
SET_POSITION_NODE0 = arb_id(0, SET_POSITION)
SET_TORQUE_NODE0 = arb_id(0, SET_TORQUE)

DEFAULTS = {
    "send_seconds": 2.0,  # per library and round
    "send_rounds": 2,
    "latency_samples": 400,
    "latency_gap_us": "8000:12000",  # encoder estimates at about 100 Hz, an ODrive's default rate
    "loop_seconds": 2.5,  # per window
    "loop_windows": 4,  # windows per library and load, idle and busy alternating
    "telemetry_gap_us": 10000,  # encoder estimates of both motors at 100 Hz while the loops run
    "flood_frames": 100000,  # per repetition, torvane
    "flood_frames_baseline": 6000,  # per repetition, python-can
    "flood_repeats": 3,
    "alloc_frames": 3000,
    "alloc_seconds": 2.0,
    "destroy_samples": 200,
    "destroy_samples_baseline": 40,
    "memory_repeats": 3,
    "stop_runs": 100,  # signals per process kind and bus
    "stop_throttle_fps": 150.0,  # frames/s the throttled bus carries
    "stop_mode": "position",  # the control mode of the signalled program's loops
    "stop_age_seconds": 3.0,  # how long the command's age is watched on the throttled bus, per module
}

QUICK = {
    "send_seconds": 0.5, "send_rounds": 1, "latency_samples": 100, "loop_seconds": 1.0, "loop_windows": 2,
    "flood_frames": 20000, "flood_frames_baseline": 2000, "flood_repeats": 1, "alloc_frames": 600,
    "alloc_seconds": 0.5, "destroy_samples": 30, "destroy_samples_baseline": 10, "memory_repeats": 1,
    "stop_runs": 20,
}
DEFAULTS.update(bridge_bench.DEFAULTS)  # row 8, the bridge
QUICK.update(bridge_bench.QUICK)


# ---------------------------------------------------------------- helpers

def log(message: str) -> None:
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def percentile(values, p: float) -> float:
    """Linear interpolation between closest ranks (numpy's default)."""
    if not values:
        return float("nan")
    ordered = sorted(values)
    rank = (len(ordered) - 1) * p / 100.0
    low = int(rank)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (rank - low)


def summary(values) -> dict:
    return {"n": len(values), "p50": percentile(values, 50), "p99": percentile(values, 99),
            "max": max(values) if values else float("nan"), "min": min(values) if values else float("nan")}


def tids() -> set:
    return {int(name) for name in os.listdir("/proc/self/task")}


def one_new(before: set, after: set, what: str) -> int:
    new = after - before
    if len(new) != 1:
        raise RuntimeError(f"expected one new thread for {what}, found {sorted(new)}")
    return new.pop()


def thread_cpu_ns(tid: int) -> int:
    """CPU time of a thread of this process, from its kernel CPU clock
    (what pthread_getcpuclockid returns: CPUCLOCK_SCHED of the thread id)."""
    return time.clock_gettime_ns(((~tid) << 3) | 6)


def thread_user_system_ticks(tid: int) -> tuple:
    """User and system CPU time of a thread of this process, in clock ticks."""
    with open(f"/proc/self/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]), int(fields[12])  # utime, stime: fields 14 and 15 of stat(5)


class Agent:
    """busagent in a child process."""

    def __init__(self, path: str, *args: str, pass_fds=()):
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        self.proc = subprocess.Popen([path, *args], stdout=subprocess.PIPE, text=True, pass_fds=pass_fds, env=env)
        if args[0] == "listen":
            line = self.proc.stdout.readline()
            if line.strip() != "ready":
                raise RuntimeError(f"busagent listen did not start: {line!r}")

    def stop(self) -> dict:
        if self.proc.poll() is None:
            self.proc.terminate()
        return self.wait()

    def wait(self) -> dict:
        out, _ = self.proc.communicate(timeout=600)
        if self.proc.returncode != 0:
            raise RuntimeError(f"busagent exited with {self.proc.returncode}")
        return json.loads(out.strip().splitlines()[-1])


def read_int64s(path: str) -> list:
    with open(path, "rb") as f:
        data = f.read()
    return list(struct.unpack(f"={len(data) // 8}q", data))


def busy_interpreter(stop: threading.Event) -> None:
    """Pure-Python work that holds the interpreter lock whenever it may."""
    x = 0
    while not stop.is_set():
        for i in range(1000):
            x += i * i


LOOP_COMMAND = {
    "position_setpoint": [0.5, -0.5], "velocity_setpoint": [0.1, -0.1], "torque_feedforward": [0.05, -0.05],
    "damping": [0.2, 0.2], "velocity_integrator": [0.1, 0.1], "stiffness": [20.0, 20.0],
    "kp": [8.0, 8.0], "kd": [0.4, 0.4],
}


def torvane_command():
    import torvane
    cmd = torvane.MotorCommand()
    for key, values in LOOP_COMMAND.items():
        setattr(cmd, key, values)
    return cmd


def start_torvane_controller(odrv):
    import torvane
    ctrl = torvane.MotorController(odrv, [0, 1])
    ctrl.set_control_mode(torvane.ODriveControlMode.POSITION)
    ctrl.update_command(torvane_command())
    before = tids()
    ctrl.initialize_control_thread()
    return ctrl, one_new(before, tids(), "the control loop")


# ---------------------------------------------------------------- phases
# Each returns a JSON-able dict. cfg holds the options plus "agent" and "alloc_lib".

def phase_send(cfg: dict) -> dict:
    """Row 1: frames/s of torque commands from one Python thread, counted on the bus,
    beside a plain C process sending the same frames."""
    import can
    from baseline import ONE_FLOAT, RawSocketSender

    import torvane

    values = [((i % 2001) - 1000) * 0.001 for i in range(128)]
    chunk = len(values)
    seconds = cfg["send_seconds"]

    def send_for_a_while(send_chunk):
        """Calls `send_chunk` (one call per value, inlined by each runner) until the
        time is up; returns the frames sent and the seconds taken."""
        sent, start = 0, time.perf_counter()
        while True:
            send_chunk()
            sent += chunk
            if time.perf_counter() - start >= seconds:
                return sent, time.perf_counter() - start

    def run_torvane():
        odrv = torvane.ODriveSocket(BUSY_IFACE)
        command = odrv.torque_command

        def send_chunk():
            for v in values:
                command(0, v)

        result = send_for_a_while(send_chunk)
        del odrv
        return result

    def run_python_can():
        bus = can.Bus(interface="socketcan", channel=BUSY_IFACE)
        send, Message, pack = bus.send, can.Message, ONE_FLOAT.pack

        def send_chunk():
            for v in values:
                send(Message(arbitration_id=SET_TORQUE_NODE0, data=pack(v), is_extended_id=False))

        result = send_for_a_while(send_chunk)
        bus.shutdown()
        return result

    def run_raw_socket():
        sender = RawSocketSender(BUSY_IFACE)
        send, frame, pack = sender.sock.send, CAN_FRAME.pack, ONE_FLOAT.pack

        def send_chunk():
            for v in values:
                send(frame(SET_TORQUE_NODE0, 4, pack(v)))

        result = send_for_a_while(send_chunk)
        sender.close()
        return result

    def run_plain_c():
        # Not a baseline: the same frames from C, one send() per frame, what a sender
        # that makes one system call per frame gets from this kernel.
        done = Agent(cfg["agent"], "send", "--iface", BUSY_IFACE, "--seconds", str(seconds)).wait()
        return done["sent"], done["seconds"]

    runners = {"torvane": run_torvane, "python-can": run_python_can, "raw socket": run_raw_socket,
               "plain C": run_plain_c}
    rounds = {name: [] for name in runners}
    for _ in range(cfg["send_rounds"]):
        for name, run in runners.items():
            observer = Agent(cfg["agent"], "listen", "--iface", BUSY_IFACE, "--id", hex(SET_TORQUE_NODE0),
                             "--mask", hex(EXACT_STANDARD_ID))
            sent, elapsed = run()
            time.sleep(0.3)
            seen = observer.stop()
            rounds[name].append({"called": sent, "on_bus": seen["frames"], "observer_overflows": seen["overflows"],
                                 "seconds": elapsed, "rate": seen["frames"] / elapsed})
    return {name: {"rounds": r, "rate": percentile([x["rate"] for x in r], 50)} for name, r in rounds.items()}


def _latency_reader(get, count: int, deadline_s: float) -> dict:
    """Spins on `get(0)` and notes when each new value first comes back."""
    mono = time.monotonic_ns
    last = get(0)
    seen = {}
    deadline = mono() + int(deadline_s * 1e9)
    spins = 0
    while True:
        value = get(0)
        if value != last:
            seen[value] = mono()
            last = value
            if value >= count:
                break
        spins += 1
        if spins & 1023 == 0 and mono() > deadline:
            break
    return seen


def phase_latency(cfg: dict) -> dict:
    """Row 2: from a peer's write of an encoder estimate to the getter returning it."""
    from baseline import PythonCanLink

    import torvane

    count = cfg["latency_samples"]
    gap = cfg["latency_gap_us"]
    gap_max_s = int(gap.split(":")[-1]) / 1e6
    results = {}
    for name in ("torvane", "python-can"):
        if name == "torvane":
            link = torvane.ODriveSocket(BUSY_IFACE)
            get = link.getPositionEstimate
        else:
            link = PythonCanLink(BUSY_IFACE)
            get = link.get_position_estimate
        time.sleep(0.2)
        times_path = f"/tmp/latency-{os.getpid()}-{name.replace(' ', '_')}.bin"
        peer = Agent(cfg["agent"], "pulse", "--iface", BUSY_IFACE, "--nodes", "0", "--count", str(count),
                     "--gap-us", gap, "--times", times_path, "--seed", "7")
        seen = _latency_reader(get, count, count * gap_max_s + 30)
        peer.wait()
        written = read_int64s(times_path)
        latencies = []
        missed = 0
        for k, t_write in enumerate(written):
            t_seen = seen.get(float(k + 1))
            if t_seen is None:
                missed += 1
            else:
                latencies.append((t_seen - t_write) / 1e3)  # us
        if name == "torvane":
            del link, get
        else:
            link.close()
        results[name] = {"latency_us": summary(latencies), "written": len(written), "missed": missed}
    return results


def _loop_windows(cfg: dict, control_tid: int) -> dict:
    """Alternates windows with the interpreter idle and busy, so that whatever
    else the machine does falls on both conditions alike, and pools each
    condition's periods. The idle windows, split into odd and even ones, give
    the run's own noise: how much the p99 moves with no change at all."""
    stamps_path = f"/tmp/loop-{os.getpid()}.bin"
    observer = Agent(cfg["agent"], "listen", "--iface", BUSY_IFACE, "--id", hex(SET_POSITION_NODE0),
                     "--mask", hex(EXACT_STANDARD_ID), "--stamps", stamps_path)
    windows = []
    for condition in ["idle", "busy"] * cfg["loop_windows"]:
        stop = threading.Event()
        loader = None
        if condition == "busy":
            loader = threading.Thread(target=busy_interpreter, args=(stop,), daemon=True)
            loader.start()
        time.sleep(0.1)
        wall0, cpu0 = time.time_ns(), thread_cpu_ns(control_tid) if control_tid else 0
        time.sleep(cfg["loop_seconds"])
        cpu1, wall1 = thread_cpu_ns(control_tid) if control_tid else 0, time.time_ns()
        stop.set()
        if loader:
            loader.join()
        windows.append({"condition": condition, "start": wall0, "end": wall1, "cpu_ns": cpu1 - cpu0})
    seen = observer.stop()
    stamps = read_int64s(stamps_path)
    for w in windows:
        inside = [t for t in stamps if w["start"] <= t <= w["end"]]
        w["periods_ms"] = [(b - a) / 1e6 for a, b in itertools.pairwise(inside)]
        w["passes"] = len(inside)

    def pooled(selected):
        periods = [p for w in selected for p in w["periods_ms"]]
        passes = sum(w["passes"] for w in selected)
        cpu = sum(w["cpu_ns"] for w in selected)
        return {"period_ms": summary(periods), "passes": passes, "windows": len(selected),
                "cpu_per_pass_per_motor_us": cpu / 1e3 / max(passes, 1) / 2}

    idle = [w for w in windows if w["condition"] == "idle"]
    busy = [w for w in windows if w["condition"] == "busy"]
    return {"idle": pooled(idle), "busy": pooled(busy),
            "idle_halves_p99_ms": [pooled(idle[0::2])["period_ms"]["p99"], pooled(idle[1::2])["period_ms"]["p99"]],
            "window_p99_ms": [[w["condition"], percentile(w["periods_ms"], 99)] for w in windows],
            "observer_overflows": seen["overflows"]}


def phase_loop(cfg: dict) -> dict:
    """Row 3 (and the per-pass CPU of row 5): the loop's period from kernel receive
    timestamps of motor 0's position setpoints, with the interpreter idle and busy."""
    from baseline import PythonCanLink, PythonControlLoop

    import torvane

    library = cfg["library"]
    telemetry = Agent(cfg["agent"], "pulse", "--iface", BUSY_IFACE, "--nodes", "0,1", "--count", "0",
                      "--gap-us", str(cfg["telemetry_gap_us"]))
    if library == "torvane":
        odrv = torvane.ODriveSocket(BUSY_IFACE)
        ctrl, control_tid = start_torvane_controller(odrv)
    elif library == "plain C":
        # Not a baseline: the same frames and sleep from a C process, what this
        # machine's scheduler and timers give any loop. The busy thread is in this
        # interpreter, competing for the CPUs as it does with torvane's loop.
        reference = Agent(cfg["agent"], "loop", "--iface", BUSY_IFACE, "--nodes", "0,1")
        control_tid = None
    else:
        link = PythonCanLink(BUSY_IFACE)
        loop = PythonControlLoop(link, [0, 1], LOOP_COMMAND)
        control_tid = loop.thread.native_id
    time.sleep(0.5)
    result = _loop_windows(cfg, control_tid)
    if library == "torvane":
        ctrl.stop_control_thread()
        del ctrl, odrv
    elif library == "plain C":
        reference.stop()
    else:
        loop.stop()
        link.close()
    telemetry.stop()
    return result


def _flood(cfg: dict, link_fd: int, node: int, frames: int, rx_tid: int, mix: bool = False) -> dict:
    args = ["flood", "--iface", BUSY_IFACE, "--node", str(node), "--count", str(frames), "--link-fd", str(link_fd)]
    if mix:
        args.append("--mix")
    cpu0, (user0, system0) = thread_cpu_ns(rx_tid), thread_user_system_ticks(rx_tid)
    result = Agent(cfg["agent"], *args, pass_fds=(link_fd,)).wait()
    cpu1, (user1, system1) = thread_cpu_ns(rx_tid), thread_user_system_ticks(rx_tid)
    result["rx_cpu_ns"] = cpu1 - cpu0
    result["rx_user_ticks"], result["rx_system_ticks"] = user1 - user0, system1 - system0
    return result


def phase_capacity(cfg: dict) -> dict:
    """Row 4 (and the per-frame CPU of row 5): encoder estimates written as fast as
    the link drains its socket; every frame must arrive (kernel drop counter of the
    link's socket unchanged) and the last value must be the one read back."""
    from baseline import PythonCanLink

    import torvane

    library = cfg["library"]
    if library == "torvane":
        fds, threads = fd_targets(), tids()
        odrv = torvane.ODriveSocket(BUSY_IFACE)
        link_fd = new_can_socket_fd(fds)
        rx_tid = one_new(threads, tids(), "the receive thread")
        frames = cfg["flood_frames"]

        def read(node):
            return odrv.getPositionEstimate(node), odrv.getVelocityEstimate(node)
    else:
        link = PythonCanLink(BUSY_IFACE)
        link_fd = link.bus.socket.fileno()
        rx_tid = link.rx_thread.native_id
        frames = cfg["flood_frames_baseline"]

        def read(node):
            return link.encoder[node]
    time.sleep(0.2)
    runs = []
    for repeat in range(cfg["flood_repeats"]):
        node = 1 + repeat  # a node nobody has written yet: a stale value cannot pass
        run = _flood(cfg, link_fd, node, frames, rx_tid)
        deadline = time.monotonic() + 2.0
        while read(node) != (float(frames), -float(frames)) and time.monotonic() < deadline:
            time.sleep(0.001)
        position, velocity = read(node)
        run["read_back"] = [position, velocity]
        run["last_value_correct"] = position == float(frames) and velocity == -float(frames)
        run["dropped"] = run["link_drops_after"] - run["link_drops_before"]
        run["rate"] = frames / run["seconds"]
        run["writer_ceiling"] = frames / run["in_write_seconds"]
        run["rx_cpu_per_frame_us"] = run["rx_cpu_ns"] / 1e3 / frames
        runs.append(run)
    if library == "torvane":
        del odrv
    else:
        link.close()
    ok = all(r["last_value_correct"] and r["dropped"] == 0 for r in runs)
    return {"runs": runs, "all_correct": ok, "rate": min(r["rate"] for r in runs),
            "writer_ceiling": percentile([r["writer_ceiling"] for r in runs], 50),
            "rx_cpu_per_frame_us": percentile([r["rx_cpu_per_frame_us"] for r in runs], 50),
            "rx_system_share": sum(r["rx_system_ticks"] for r in runs)
            / max(1, sum(r["rx_user_ticks"] + r["rx_system_ticks"] for r in runs))}


def phase_allocs(cfg: dict) -> dict:
    """Row 5: heap allocations per decoded frame and per control pass, counted per
    thread by the alloccount preload (Python's allocator routed through malloc, so
    the baselines' object allocations are counted too)."""
    from baseline import PythonCanLink, PythonControlLoop

    import torvane

    lib = ctypes.CDLL(cfg["alloc_lib"])
    lib.alloccount_of.restype = ctypes.c_ulong
    lib.alloccount_of.argtypes = [ctypes.c_int]
    count = lib.alloccount_of
    frames = cfg["alloc_frames"]
    out = {}

    def per_frame(link_fd, rx_tid, read):
        _flood(cfg, link_fd, 10, 600, rx_tid, mix=True)  # warm-up
        time.sleep(0.1)
        before = count(rx_tid)
        run = _flood(cfg, link_fd, 11, frames, rx_tid, mix=True)
        deadline = time.monotonic() + 2.0
        while read(11) != float(frames) and time.monotonic() < deadline:
            time.sleep(0.001)
        time.sleep(0.05)
        after = count(rx_tid)
        return {"frames": frames, "allocations": after - before, "per_frame": (after - before) / frames,
                "dropped": run["link_drops_after"] - run["link_drops_before"],
                "decoded_last": read(11) == float(frames)}

    def per_pass(control_tid):
        time.sleep(0.3)
        stamps_path = f"/tmp/alloc-{os.getpid()}-{control_tid}.bin"
        observer = Agent(cfg["agent"], "listen", "--iface", BUSY_IFACE, "--id", hex(SET_POSITION_NODE0),
                         "--mask", hex(EXACT_STANDARD_ID), "--stamps", stamps_path)
        time.sleep(0.1)
        wall0, before = time.time_ns(), count(control_tid)
        time.sleep(cfg["alloc_seconds"])
        after, wall1 = count(control_tid), time.time_ns()
        observer.stop()
        passes = sum(1 for s in read_int64s(stamps_path) if wall0 <= s <= wall1)
        return {"passes": passes, "allocations": after - before, "per_pass": (after - before) / max(passes, 1)}

    # torvane
    fds, threads = fd_targets(), tids()
    odrv = torvane.ODriveSocket(BUSY_IFACE)
    link_fd = new_can_socket_fd(fds)
    rx_tid = one_new(threads, tids(), "the receive thread")
    out["torvane_frame"] = per_frame(link_fd, rx_tid, odrv.getPositionEstimate)
    ctrl, control_tid = start_torvane_controller(odrv)
    out["torvane_pass"] = per_pass(control_tid)
    ctrl.stop_control_thread()
    del ctrl, odrv

    # python-can
    link = PythonCanLink(BUSY_IFACE)
    out["baseline_frame"] = per_frame(link.bus.socket.fileno(), link.rx_thread.native_id,
                                      link.get_position_estimate)
    loop = PythonControlLoop(link, [0, 1], LOOP_COMMAND)
    out["baseline_pass"] = per_pass(loop.thread.native_id)
    loop.stop()
    link.close()

    # The counter is live in this process and sees threads other than the main
    # one: the main thread's and the baseline threads' allocations show.
    out["main_thread_allocations"] = count(threading.get_native_id())
    out["hook_live"] = (out["main_thread_allocations"] > 0 and out["baseline_frame"]["allocations"] > 0
                        and out["baseline_pass"]["allocations"] > 0)
    return out


def phase_destroy(cfg: dict) -> dict:
    """Row 6: time to destroy a link whose receive thread waits on a silent bus."""
    from baseline import PythonCanLink

    import torvane

    ns = time.perf_counter_ns
    torvane_us = []
    for _ in range(cfg["destroy_samples"]):
        odrv = torvane.ODriveSocket(SILENT_IFACE)
        time.sleep(0.005)
        start = ns()
        del odrv
        torvane_us.append((ns() - start) / 1e3)
    baseline_us = []
    for _ in range(cfg["destroy_samples_baseline"]):
        link = PythonCanLink(SILENT_IFACE)
        time.sleep(0.005)
        start = ns()
        link.close()
        baseline_us.append((ns() - start) / 1e3)
        del link
    # Not a baseline: what the same teardown costs in plain C on this machine.
    reference = Agent(cfg["agent"], "teardown", "--iface", SILENT_IFACE, "--count", str(cfg["destroy_samples"]))
    reference_us = reference.wait()["teardown_us"]
    return {"torvane_us": summary(torvane_us), "python-can_us": summary(baseline_us),
            "plain_c_us": summary(reference_us)}


def phase_memory(cfg: dict) -> dict:
    """Row 6: resident size added by one link and then by one running controller
    (position mode, 0.3 s in), in a fresh interpreter after the imports."""
    if cfg["library"] == "torvane":
        import torvane
    else:
        from baseline import PythonCanLink, PythonControlLoop

    # smaps_rollup walks the page tables: exact, unlike the per-thread cached
    # counters behind /proc/self/status and statm.
    rollup = os.open("/proc/self/smaps_rollup", os.O_RDONLY)

    def rss_kib():
        for line in os.pread(rollup, 4096, 0).decode().splitlines():
            if line.startswith("Rss:"):
                return int(line.split()[1])
        raise RuntimeError("no Rss in /proc/self/smaps_rollup")

    # python-can loads its socketcan interface on the first Bus: done here, with
    # no thread, so that only the link itself is counted. (A link made and dropped
    # would leave its thread's stack cached by glibc for the next one to reuse.)
    if cfg["library"] != "torvane":
        import can
        can.Bus(interface="socketcan", channel=SILENT_IFACE).shutdown()
    time.sleep(0.2)
    r0 = rss_kib()
    if cfg["library"] == "torvane":
        link = torvane.ODriveSocket(SILENT_IFACE)
        time.sleep(0.3)
        r1 = rss_kib()
        ctrl, _ = start_torvane_controller(link)
        time.sleep(0.3)
        r2 = rss_kib()
        ctrl.stop_control_thread()
        del ctrl, link
    else:
        link = PythonCanLink(SILENT_IFACE)
        time.sleep(0.3)
        r1 = rss_kib()
        loop = PythonControlLoop(link, [0, 1], LOOP_COMMAND)
        time.sleep(0.3)
        r2 = rss_kib()
        loop.stop()
        link.close()
    return {"link_kib": r1 - r0, "controller_kib": r2 - r1}


# ---------------------------------------------------------------- the stop on the wire

# A vxcan pair: torvane sends on the near end; the far end receives a frame only
# when it leaves the near end's queue, stamped then by the kernel.
STOP_NEAR, STOP_FAR = "vxstopnear", "vxstopfar"
# The signalled program's two running controllers; the stop idles each motor of
# each controller: IDLE for nodes 0, 1 and 1.
STOP_CONTROLLERS = ([0, 1], [1])
STOP_IDLE_NODES = [node for motors in STOP_CONTROLLERS for node in motors]
FRAMES_PER_MOTOR = {"position": 3, "velocity": 2, "torque": 1}  # what a pass of the loop sends per motor
STOP_GUARD_S = 60.0  # only catches a hang, never measures


class LineReader:
    """Lines from a pipe, each awaited with a timeout (a hung child must not hang the bench)."""

    def __init__(self, fd: int):
        self.fd, self.buffer = fd, b""

    def line(self, timeout: float = STOP_GUARD_S) -> str:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError(f"no line within {timeout} s")
            chunk = os.read(self.fd, 4096)
            if not chunk:
                raise EOFError("the pipe closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()


def stop_server(cfg: dict) -> None:
    """A fork server for the stop runs: imports torvane once (whichever build
    PYTHONPATH names), then for each "fork PROGRAM" line on standard input forks
    robot_program or aging_program, which says "running PID ..." once its loops run,
    and reports how and when the child ended ("ended PID STATUS TIME", TIME on the
    clock of time.time(), right after waitpid() returned). A fresh interpreter per
    run would cost seconds in the VM."""
    import torvane

    programs = {"robot": lambda: robot_program(torvane, cfg["iface"], cfg["stop_mode"]),
                "robot-full-stdout": lambda: robot_program(torvane, cfg["iface"], cfg["stop_mode"], full_stdout=True),
                "aging": lambda: aging_program(torvane, cfg["iface"])}
    print(f"serving {torvane.__file__}", flush=True)
    while (request := sys.stdin.readline().split())[:1] == ["fork"]:
        pid = os.fork()
        if pid == 0:
            try:
                programs[request[1]]()
            except BaseException as error:  # noqa: B036 - whatever it was, the child must not return to the server
                os.write(2, f"stop server child: {error!r}\n".encode())
            os._exit(70)
        _, status = os.waitpid(pid, 0)
        print(f"ended {pid} {os.waitstatus_to_exitcode(status)} {time.time()!r}", flush=True)


def robot_program(torvane, interface: str, mode: str, full_stdout: bool = False) -> None:
    """What the signal lands on: two controllers with their loops running, and a
    program that gives them a fresh command about every millisecond. With
    `full_stdout`, its standard output is then a pipe that is full and never read
    (a stalled log collector): the stop's own line cannot be written."""
    link = torvane.ODriveSocket(interface)
    cmd = torvane_command()
    controllers = []
    for motors in STOP_CONTROLLERS:
        ctrl = torvane.MotorController(link, motors)
        ctrl.set_control_mode(getattr(torvane.ODriveControlMode, mode.upper()))
        ctrl.update_command(cmd)
        ctrl.initialize_control_thread()
        controllers.append(ctrl)
    os.write(1, f"running {os.getpid()}\n".encode())
    if full_stdout:
        unread, full = os.pipe()
        os.set_blocking(full, False)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(full, bytes(4096))
        os.set_blocking(full, True)
        os.dup2(full, 1)
    step = 0
    while True:
        step += 1
        cmd.torque_feedforward = [step % 100 * 1e-3, -(step % 100) * 1e-3]
        for ctrl in controllers:
            ctrl.update_command(cmd)
        time.sleep(0.001)


def aging_program(torvane, interface: str) -> None:
    """One torque loop on node 0 whose command carries, as its torque (kp = kd = 0:
    the feed-forward), the moment Python gave it, in seconds since the start that
    the "running" line names: at the far end, a frame's age is its receive time
    minus that start minus its torque."""
    link = torvane.ODriveSocket(interface)
    ctrl = torvane.MotorController(link, [0])
    cmd = torvane.MotorCommand()
    ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
    started = time.time()
    ctrl.update_command(cmd)
    ctrl.initialize_control_thread()
    os.write(1, f"running {os.getpid()} {started!r}\n".encode())
    while True:
        cmd.torque_feedforward = [time.time() - started, 0.0]
        ctrl.update_command(cmd)
        time.sleep(0.001)


class StopServer:
    """stop_server in a child process, with the module of `pythonpath` when given."""

    def __init__(self, cfg: dict, name: str, pythonpath: str | None = None):
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        self.errors_path = f"/tmp/stop-server-{name.replace(' ', '_')}.err"
        with open(self.errors_path, "w") as errors:
            self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--stop-server",
                                          "--config", json.dumps({**cfg, "iface": STOP_NEAR})],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, env=env)
        self.lines = LineReader(self.proc.stdout.fileno())
        first = self.lines.line()
        if not first.startswith("serving "):
            raise RuntimeError(f"the stop server did not start: {first!r}")
        self.module = first.removeprefix("serving ")

    def start(self, program: str = "robot") -> list:
        """Forks a program; once its loops run, returns what it said: its pid, and
        for the aging program when it started."""
        self.proc.stdin.write(f"fork {program}\n".encode())
        self.proc.stdin.flush()
        line = self.lines.line()
        if not line.startswith("running "):
            raise RuntimeError(f"the {program} program did not start: {line!r}; see {self.errors_path}")
        pid, *rest = line.split()[1:]
        return [int(pid), *(float(x) for x in rest)]

    def ended(self, pid: int) -> tuple:
        """How the robot program ended: its exit status, the "Running ESTOP" lines it
        printed, and when it ended (time.time()'s clock)."""
        estop_lines = 0
        while True:
            line = self.lines.line()
            if line.startswith(f"ended {pid} "):
                _, _, status, at = line.split()
                return int(status), estop_lines, float(at)
            estop_lines += line == "Running ESTOP"

    def stderr_tally(self) -> dict:
        with open(self.errors_path) as f:
            lines = f.read().splitlines()
        kinds = {"lost_idle": LOST_IDLE, "idle_not_last": IDLE_NOT_LAST, "idle_still_queued": STILL_QUEUED,
                 "passes_not_out": PASSES_NOT_OUT}
        tally = {key: sum(1 for x in lines if pattern.fullmatch(x)) for key, pattern in kinds.items()}
        tally["other"] = [x for x in lines if not any(pattern.fullmatch(x) for pattern in kinds.values())][-5:]
        return tally

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=STOP_GUARD_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class FarEnd:
    """The far end of the pair, receiving axis-state requests (or, on a bus slow
    enough for this process to keep up, every frame) with the kernel's receive
    time (SO_TIMESTAMPNS: CLOCK_REALTIME, the clock of time.time()), and a marker
    that the near end sends after each run from a socket of the default priority:
    the marker leaves the near end's queue after everything the run left there (a
    higher band goes first, within a band frames keep their order), so once it
    arrives, every frame of the run has."""

    def __init__(self):
        self.peer = CanPeer(STOP_FAR, timestamps=True, buffer_bytes=64 << 20)
        self.receive_everything(False)
        self.peer.drain()
        self.marker = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.marker.bind((STOP_NEAR,))

    def receive_everything(self, everything: bool) -> None:
        self.everything = everything
        exact = struct.pack("=II", MARKER, EXACT_STANDARD_ID)
        self.peer.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                                  struct.pack("=II", 0, 0) if everything else command_filter(SET_AXIS_STATE) + exact)

    def run_frames(self) -> list:
        """The frames received since the last marker, up to a new one."""
        self.marker.send(CAN_FRAME.pack(MARKER, 4, bytes(8)))
        frames = []
        while True:
            stamped = self.peer.recv_stamped(timeout=STOP_GUARD_S)
            if stamped.frame.can_id == MARKER:
                return frames
            frames.append(stamped)

    def close(self) -> None:
        self.marker.close()
        self.peer.close()


def _stop_run(far: FarEnd, signalled: float, exit_status: int, signum: int, estop_lines, ended: float,
              expected_lines=None) -> dict:
    """One run judged from the far end: when the IDLE frames arrived, whether every
    motor got its IDLE and the process ended as a stop does, and when it ended."""
    frames = far.run_frames()
    idle = [(at, f.node) for at, f in frames
            if f.command == SET_AXIS_STATE and f.node in EXPECTED_IDLE and f.payload == IDLE_PAYLOAD]
    per_node = collections.Counter(node for _, node in idle)
    every_motor = all(per_node[node] >= count for node, count in EXPECTED_IDLE.items())
    ended_right = exit_status == signum and estop_lines == expected_lines
    after = [at - signalled for at, _ in idle]
    run = {"signal": signum, "exit_status": exit_status, "estop_lines": estop_lines,
           "idle_frames": {str(node): per_node[node] for node in sorted(EXPECTED_IDLE)},
           "complete": every_motor and ended_right and min(after, default=0) >= 0,
           "first_idle_ms": min(after) * 1e3 if after else None,
           "last_idle_ms": max(after) * 1e3 if after else None,
           "exit_ms": (ended - signalled) * 1e3}
    if far.everything and after:
        # what the bus carried from the signal to the last IDLE frame, that included
        last = signalled + max(after)
        run["frames_to_last_idle"] = sum(1 for at, f in frames if signalled <= at <= last and f.can_id != MARKER)
    return run


def _run_torvane(server: StopServer, far: FarEnd, signum: int, wait_s: float, program: str = "robot") -> dict:
    pid, = server.start(program)
    time.sleep(wait_s)
    signalled = time.time()
    os.kill(pid, signum)
    status, estop_lines, ended = server.ended(pid)
    # With standard output full, the stop's lines cannot be written: it drops them.
    expected_lines = 0 if program == "robot-full-stdout" else len(STOP_CONTROLLERS)
    return _stop_run(far, signalled, status, signum, estop_lines, ended, expected_lines)


def _run_plain_c(cfg: dict, far: FarEnd, signum: int, wait_s: float) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    nodes = ",".join(str(node) for node in STOP_IDLE_NODES)
    proc = subprocess.Popen([cfg["agent"], "idle-on-signal", "--iface", STOP_NEAR, "--nodes", nodes],
                            stdout=subprocess.PIPE, env=env)
    try:
        if LineReader(proc.stdout.fileno()).line() != "ready":
            raise RuntimeError("busagent idle-on-signal did not start")
        time.sleep(wait_s)
        signalled = time.time()
        os.kill(proc.pid, signum)
        status = proc.wait(timeout=STOP_GUARD_S)
        ended = time.time()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
    return _stop_run(far, signalled, status, signum, None, ended)


def _loops_send_rate(server: StopServer, far: FarEnd, agent: str) -> float:
    """Frames/s the two loops put on a healthy bus (one extra run, not counted)."""
    stamps_path = f"/tmp/stop-loops-{os.getpid()}.bin"
    counter = Agent(agent, "listen", "--iface", STOP_FAR, "--stamps", stamps_path)
    pid, = server.start()
    time.sleep(0.3)
    start = time.time_ns()
    time.sleep(1.0)
    end = time.time_ns()
    counter.stop()
    os.kill(pid, signal.SIGTERM)
    server.ended(pid)
    far.run_frames()
    return sum(1 for t in read_int64s(stamps_path) if start <= t < end) / ((end - start) / 1e9)


def _command_ages(server: StopServer, far: FarEnd, seconds: float, warm_up: float) -> dict:
    """How old the command a motor receives is, on the bus as it is shaped now: the
    aging program runs for `warm_up` seconds, time enough for whatever queue it
    fills to be full and draining, then for `seconds`, in which each torque frame
    that reaches the far end counts."""
    torques = CanPeer(STOP_FAR, only_command=SET_TORQUE, timestamps=True)
    pid, started = server.start("aging")
    time.sleep(warm_up)
    counted = time.time()
    time.sleep(seconds)
    stopped = time.time()
    os.kill(pid, signal.SIGTERM)
    server.ended(pid)
    far.run_frames()  # every frame the program left queued has now arrived
    ages = []
    while select.select([torques.sock], [], [], 0)[0]:
        at, frame = torques.recv_stamped()
        if frame.node == 0 and counted <= at < stopped:
            ages.append((at - started - frame.floats()[0]) * 1e3)
    torques.close()
    return summary(ages)


def _ip(*args) -> subprocess.CompletedProcess:
    return subprocess.run(["ip", *args], capture_output=True, text=True, timeout=60)


def phase_stop(cfg: dict) -> dict:
    """Row 7: from the signal to the last IDLE frame at the far end of a vxcan pair,
    for a program with two running controllers, for a plain C process whose signal
    handler writes the same IDLE frames, and (on the throttled bus) for the module
    as it was before, each signalled `stop_runs` times per bus, in turn."""
    if shutil.which("tc") is None:
        return {"skipped": "no tc (iproute2) here to throttle a bus"}
    _ip("link", "del", STOP_NEAR)
    made = _ip("link", "add", STOP_NEAR, "type", "vxcan", "peer", "name", STOP_FAR)
    if made.returncode != 0:
        return {"skipped": f"no vxcan pair here: {made.stderr.strip()}"}
    servers = {}
    far = None
    try:
        for interface in (STOP_NEAR, STOP_FAR):
            _ip("link", "set", interface, "up")
        far = FarEnd()
        servers["torvane"] = StopServer(cfg, "torvane")
        if cfg.get("before_path"):
            servers["before"] = StopServer(cfg, "before", cfg["before_path"])
            if not servers["before"].module.startswith(cfg["before_path"]):
                raise RuntimeError(f"the build before is not the one imported: {servers['before'].module}")
        loops_rate = _loops_send_rate(servers["torvane"], far, cfg["agent"])
        rng = random.Random(15)
        buses, ages, qdiscs = {}, {}, {}
        for bus in ("healthy", "throttled"):
            kinds = ["torvane", "plain C"] + (["before"] if bus == "throttled" and "before" in servers else
                                              ["torvane, stdout full"] if bus == "healthy" else [])
            runs = {kind: [] for kind in kinds}
            shaping = throttled(STOP_NEAR, cfg["stop_throttle_fps"]) if bus == "throttled" else contextlib.nullcontext()
            log(f"stop: {cfg['stop_runs']} runs each of {', '.join(kinds)} on the {bus} bus")
            # 150 frames/s or so: few enough for this process to see every one
            far.receive_everything(bus == "throttled")
            with shaping:
                qdiscs[bus] = subprocess.run(["tc", "qdisc", "show", "dev", STOP_NEAR], capture_output=True,
                                             text=True, timeout=60).stdout.strip().splitlines()
                for i in range(cfg["stop_runs"]):
                    signum = (signal.SIGINT, signal.SIGTERM)[i % 2]
                    for kind in kinds[i % len(kinds):] + kinds[:i % len(kinds)]:
                        if kind == "plain C":
                            run = _run_plain_c(cfg, far, signum, rng.uniform(0.05, 0.1))
                        elif kind == "torvane, stdout full":
                            run = _run_torvane(servers["torvane"], far, signum, rng.uniform(0.3, 0.5),
                                               "robot-full-stdout")
                        else:
                            # long enough for the loops to fill whatever queue they fill
                            run = _run_torvane(servers[kind], far, signum, rng.uniform(0.3, 0.5))
                        runs[kind].append(run)
                if bus == "throttled":
                    # A socket's default send buffer holds some 300 frames: 400 frame
                    # times and a backlog has reached the head of the queue.
                    warm_up = max(1.0, 400 / cfg["stop_throttle_fps"])
                    ages = {kind: _command_ages(servers[kind], far, cfg["stop_age_seconds"], warm_up)
                            for kind in ("torvane", "before") if kind in servers}
            buses[bus] = {}
            for kind, r in runs.items():
                buses[bus][kind] = {"runs": r, "incomplete": sum(1 for x in r if not x["complete"]),
                                    "last_idle_ms": summary([x["last_idle_ms"] for x in r if x["complete"]]),
                                    "first_idle_ms": summary([x["first_idle_ms"] for x in r if x["complete"]]),
                                    "exit_ms": summary([x["exit_ms"] for x in r if x["complete"]])}
                carried = [x["frames_to_last_idle"] for x in r if "frames_to_last_idle" in x]
                if carried:
                    buses[bus][kind]["frames_to_last_idle"] = summary(carried)
        frames_per_pass = sum(FRAMES_PER_MOTOR[cfg["stop_mode"]] * len(motors) for motors in STOP_CONTROLLERS)
        return {"buses": buses, "mode": cfg["stop_mode"], "controllers": [list(m) for m in STOP_CONTROLLERS],
                "frames_per_pass": frames_per_pass, "throttle_fps": cfg["stop_throttle_fps"],
                "loops_frames_per_s": loops_rate, "before_rev": cfg.get("before_rev"), "command_age_ms": ages,
                "age_seconds": cfg["stop_age_seconds"], "qdiscs": qdiscs,
                "modules": {kind: server.module for kind, server in servers.items()},
                "stderr": {kind: server.stderr_tally() for kind, server in servers.items()}}
    finally:
        for server in servers.values():
            server.close()
        if far:
            far.close()
        _ip("link", "del", STOP_NEAR)


PHASES = {"send": phase_send, "latency": phase_latency, "loop": phase_loop, "capacity": phase_capacity,
          "allocs": phase_allocs, "destroy": phase_destroy, "memory": phase_memory, "stop": phase_stop,
          "bridge": bridge_bench.phase_bridge}


# ---------------------------------------------------------------- orchestration

def run_phase(name: str, cfg: dict, extra_env=None) -> dict:
    env = dict(os.environ)
    env.update(extra_env or {})
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--phase", name, "--config", json.dumps(cfg)],
                          stdout=subprocess.PIPE, env=env, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"phase {name} failed with status {proc.returncode}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def loadavg() -> list:
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def _thp() -> str:
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            return f.read().strip()
    except OSError:
        return "unknown"


def orchestrate(args, cfg: dict) -> None:
    import can
    started = time.time()
    raw = {"config": dict(cfg), "environment": {
        "in_emulated_vm": os.path.exists("/run/vm-run"), "cpus": os.cpu_count(), "kernel": platform.release(),
        "python": platform.python_version(), "python_can": can.__version__,
        "guest_load_before": loadavg(), "transparent_hugepages": _thp(), "revision": args.revision},
        "results": {}}
    results = raw["results"]
    steps = [
        ("send", "send", {}, {}),
        ("latency", "latency", {}, {}),
        ("loop_torvane", "loop", {"library": "torvane"}, {}),
        ("loop_python_can", "loop", {"library": "python-can"}, {}),
        ("loop_plain_c", "loop", {"library": "plain C"}, {}),
        ("capacity_torvane", "capacity", {"library": "torvane"}, {}),
        ("capacity_python_can", "capacity", {"library": "python-can"}, {}),
        ("allocs", "allocs", {}, {"LD_PRELOAD": cfg["alloc_lib"], "PYTHONMALLOC": "malloc"}),
        ("destroy", "destroy", {}, {}),
        ("stop", "stop", {}, {}),
        ("bridge", "bridge", {}, {}),
    ]
    for repeat in range(cfg["memory_repeats"]):
        steps.append((f"memory_torvane_{repeat}", "memory", {"library": "torvane"}, {}))
        steps.append((f"memory_python_can_{repeat}", "memory", {"library": "python-can"}, {}))
    only = set(args.only.split(",")) if args.only else None
    for key, phase, extra, env in steps:
        if only and phase not in only:
            continue
        log(f"{key} ...")
        t0 = time.monotonic()
        results[key] = run_phase(phase, {**cfg, **extra}, env)
        log(f"{key} done in {time.monotonic() - t0:.1f} s")
    raw["environment"]["guest_load_after"] = loadavg()
    raw["environment"]["seconds"] = time.time() - started
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "raw.json"), "w") as f:
        json.dump(raw, f, indent=1)
    log(f"raw figures in {os.path.join(args.out, 'raw.json')}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--phase", choices=sorted(PHASES))
    parser.add_argument("--config", help="JSON options of one phase (internal)")
    parser.add_argument("--out")
    parser.add_argument("--agent")
    parser.add_argument("--alloc-lib")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--revision", help="what is measured, as tools/canbus/describe-run names it")
    parser.add_argument("--before-path", help="a folder holding the module as built from an earlier revision")
    parser.add_argument("--before-rev", help="that revision")
    parser.add_argument("--stop-server", action="store_true", help="serve the stop runs (internal)")
    parser.add_argument("--only", help="comma-separated phases to run")
    for key, value in DEFAULTS.items():
        parser.add_argument("--" + key.replace("_", "-"), type=type(value), default=None)
    args = parser.parse_args()
    if args.stop_server:
        stop_server(json.loads(args.config))
        return
    if args.phase:
        result = PHASES[args.phase](json.loads(args.config))
        print(json.dumps(result))
        return
    if not (args.out and args.agent and args.alloc_lib):
        parser.error("--out, --agent and --alloc-lib are required")
    cfg = dict(DEFAULTS)
    if args.quick:
        cfg.update(QUICK)
    for key in DEFAULTS:
        value = getattr(args, key)
        if value is not None:
            cfg[key] = value
    cfg["agent"] = os.path.abspath(args.agent)
    cfg["alloc_lib"] = os.path.abspath(args.alloc_lib)
    if args.before_path:
        cfg["before_path"] = os.path.abspath(args.before_path)
        cfg["before_rev"] = args.before_rev
    orchestrate(args, cfg)


if __name__ == "__main__":
    main()
