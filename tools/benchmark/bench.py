"""The benchmark's measurements, run where vcan0 and vcan1 exist.

    python bench.py --out DIR --agent BUSAGENT --alloc-lib ALLOCCOUNT.so [options]

runs every measurement, each in a fresh interpreter (`--phase NAME`), and writes
the raw figures to DIR/raw.json; tools/benchmark/report.py turns them into the
table. torvane and its baselines (tools/benchmark/baseline.py) do the same work
on the same bus in the same run. vcan0 carries the traffic; vcan1 stays silent.
"""

import argparse
import ctypes
import itertools
import json
import os
import platform
import struct
import subprocess
import sys
import threading
import time

from torvane_dev.procfs import fd_targets, new_can_socket_fd
from torvane_dev.protocol import CAN_EFF_FLAG, CAN_FRAME, CAN_RTR_FLAG, SET_POSITION, SET_TORQUE, arb_id

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
}

QUICK = {
    "send_seconds": 0.5, "send_rounds": 1, "latency_samples": 100, "loop_seconds": 1.0, "loop_windows": 2,
    "flood_frames": 20000, "flood_frames_baseline": 2000, "flood_repeats": 1, "alloc_frames": 600,
    "alloc_seconds": 0.5, "destroy_samples": 30, "destroy_samples_baseline": 10, "memory_repeats": 1,
}


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
    """Row 1: frames/s of torque commands from one Python thread, counted on the bus."""
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

    runners = {"torvane": run_torvane, "python-can": run_python_can, "raw socket": run_raw_socket}
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


PHASES = {"send": phase_send, "latency": phase_latency, "loop": phase_loop, "capacity": phase_capacity,
          "allocs": phase_allocs, "destroy": phase_destroy, "memory": phase_memory}


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
        "guest_load_before": loadavg(), "transparent_hugepages": _thp()}, "results": {}}
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
    parser.add_argument("--only", help="comma-separated phases to run")
    for key, value in DEFAULTS.items():
        parser.add_argument("--" + key.replace("_", "-"), type=type(value), default=None)
    args = parser.parse_args()
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
    orchestrate(args, cfg)


if __name__ == "__main__":
    main()
