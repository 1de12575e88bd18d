"""Row 8 of the benchmark: torvane-bridge, measured from a remote Zenoh subscriber.

phase_bridge runs in bench.py's phase process, which plays the remote side: a Zenoh
peer on TCP loopback (multicast scouting off) beside a bridge on vcan0 (motors 0 and 1,
position mode, its loop running). Windows of four kinds take turns:
  idle   the loop runs; no telemetry, no commands: the loop's period and the bridge's CPU
         with nothing to carry;
  busy   a native peer sends encoder estimates of both nodes at 100 Hz, the bridge
         publishes each, and this process puts a command at 50 Hz: frame arrival ->
         subscriber callback, command put -> its frame on the bus, the bridge's CPU,
         the loop's period;
  plain  a plain Zenoh publisher process puts the same JSON at the same rate to a
         subscriber in this process: put -> callback, the limit of the first figure;
  full   estimates of both nodes at 200 Hz, no commands: samples lost, the bridge's CPU.
bridge_rows, bridge_notes and bridge_method turn the result into the report's rows.
"""

import itertools
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

DEFAULTS = {
    "bridge_seconds": 4.0,  # per window
    "bridge_windows": 2,  # rounds of idle, busy, plain and full windows
}
QUICK = {"bridge_seconds": 2.0, "bridge_windows": 1}

BUS = "vcan0"
RATE_HZ = 100  # encoder estimates per node and second in the busy and plain windows: an ODrive's default
FULL_HZ = 200  # ... in the full windows
COMMAND_HZ = 50
NODES = (0, 1)
SET_POSITION = 0x0C
FRAME = struct.Struct("=IB3x8s")
TIMESPEC = struct.Struct("=qq")
SO_TIMESTAMPNS = 35
SO_RCVBUFFORCE = 33
EXACT_STANDARD_ID = 0x7FF | 0x80000000 | 0x40000000
GUARD_S = 60.0  # only catches a hang

# The plain pair's publisher: the same JSON as the bridge's telemetry, its stamp taken
# right before the JSON is made, as the bridge's is the frame's arrival.
PLAIN_PUBLISHER = r"""
import json, sys, time
from torvane_dev.zenohpeer import open_session
session = open_session(listen=[sys.argv[1]])
publishers = [session.declare_publisher(f"plain/{node}/telemetry") for node in (0, 1)]
print("ready", flush=True)
for line in sys.stdin:
    rounds, gap = int(line.split()[0]), float(line.split()[1])
    start = time.monotonic()
    for k in range(rounds):
        time.sleep(max(0.0, start + k * gap - time.monotonic()))
        for node, publisher in enumerate(publishers):
            stamp = time.time()
            publisher.put(json.dumps({
                "position": float(k + 1), "velocity": -float(k + 1), "torque_estimate": 0.0, "iq_setpoint": 0.0,
                "iq_measured": 0.0, "fet_temperature": 25.0, "motor_temperature": 25.0, "bus_voltage": 24.0,
                "bus_current": 0.08, "axis_state": "CLOSED_LOOP_CONTROL", "axis_error": 0, "stamp": stamp,
            }, separators=(",", ":")))
    print("done", flush=True)
session.close()
"""


def _percentiles(values):
    from bench import summary
    return summary(values)


def _cpu_ticks(pid: int) -> int:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, every thread of the process


class Stamped:
    """A raw CAN socket that keeps every SET_POSITION of node 0 in the kernel's queue,
    each with its receive time, to be read at the end (reading it meanwhile would compete
    with the subscriber for this interpreter)."""

    def __init__(self, interface):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER,
                             struct.pack("=II", SET_POSITION, EXACT_STANDARD_ID))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
        self.sock.bind((interface,))
        self.sock.setblocking(False)

    def frames(self):
        """(receive time, position setpoint) of everything queued."""
        out = []
        while True:
            try:
                data, ancillary, _, _ = self.sock.recvmsg(FRAME.size, socket.CMSG_SPACE(TIMESPEC.size))
            except BlockingIOError:
                return out
            seconds, nanoseconds = TIMESPEC.unpack(ancillary[0][2][:TIMESPEC.size])
            out.append((seconds + nanoseconds * 1e-9, struct.unpack_from("<f", FRAME.unpack(data)[2])[0]))

    def dropped(self) -> int:
        return struct.unpack("=9I", self.sock.getsockopt(socket.SOL_SOCKET, 55, 36))[8]  # SO_MEMINFO drops


def phase_bridge(cfg: dict) -> dict:
    from bench import Agent, log

    from torvane_dev.zenohpeer import BridgeProcess, Client, free_port, open_session, write_config

    work = tempfile.mkdtemp(prefix="bridge-bench-")
    bridge_endpoint = f"tcp/127.0.0.1:{free_port()}"
    plain_endpoint = f"tcp/127.0.0.1:{free_port()}"
    config = write_config(os.path.join(work, "bridge.json5"), listen=[bridge_endpoint])
    loop_frames = Stamped(BUS)
    bridge = BridgeProcess(BUS, config, "bench", "--command-timeout-ms", "600000", mode="position")
    plain = subprocess.Popen([sys.executable, "-c", PLAIN_PUBLISHER, plain_endpoint], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, bufsize=1)
    client = None
    plain_session = None
    try:
        if plain.stdout.readline().strip() != "ready":
            raise RuntimeError("the plain publisher did not start")
        client = Client("bench", name="bench", connect=[bridge_endpoint])
        client.wait_alive(GUARD_S)
        tree = [bridge.proc.pid]  # the bridge and its standard-error tee
        with open(f"/proc/{bridge.proc.pid}/task/{bridge.proc.pid}/children") as f:
            tree += [int(child) for child in f.read().split()]

        received = []  # (callback time, key, sample) of both subscriptions, appended by Zenoh's threads
        lock = threading.Lock()

        def on_sample(sample):
            now = time.time()
            with lock:
                received.append((now, str(sample.key_expr), sample.payload.to_string()))

        client.session.declare_subscriber("bench/*/telemetry", on_sample)
        plain_session = open_session(connect=[plain_endpoint])
        plain_session.declare_subscriber("plain/*/telemetry", on_sample)
        time.sleep(1.0)  # both subscriptions known on the publishing side

        client.command(position_setpoint=[0.0, 0.0])
        for node in NODES:
            client.state(node, "CLOSED_LOOP_CONTROL")
        time.sleep(0.5)
        windows, puts = [], {}
        value = itertools.count(1)
        for w in range(cfg["bridge_windows"]):
            for kind in ("idle", "busy", "plain", "full"):
                rate = FULL_HZ if kind == "full" else RATE_HZ
                rounds, gap = int(cfg["bridge_seconds"] * rate), 1.0 / rate
                with lock:
                    received.clear()
                log(f"bridge: window {w + 1} of {cfg['bridge_windows']}, {kind}")
                ticks0, wall0 = sum(map(_cpu_ticks, tree)), time.time()
                if kind == "idle":
                    time.sleep(cfg["bridge_seconds"])
                elif kind in ("busy", "full"):
                    pulse = Agent(cfg["agent"], "pulse", "--iface", BUS, "--nodes", "0,1", "--count", str(rounds),
                                  "--gap-us", f"{int(gap * 1e6)}:{int(gap * 1e6)}")
                    while pulse.proc.poll() is None:
                        if kind == "busy":
                            v = float(next(value))
                            puts[v] = time.time()
                            client.command(position_setpoint=[v, v])
                        time.sleep(1.0 / COMMAND_HZ)
                    sent_rounds = pulse.wait()["rounds"]
                else:
                    plain.stdin.write(f"{rounds} {gap}\n")
                    if plain.stdout.readline().strip() != "done":
                        raise RuntimeError("the plain publisher stopped")
                    sent_rounds = rounds
                wall1, ticks1 = time.time(), sum(map(_cpu_ticks, tree))
                # The last samples on their way: until none has come for a second.
                count, quiet_since = -1, time.monotonic()
                while time.monotonic() - quiet_since < 1.0 and time.monotonic() - wall1 < GUARD_S:
                    time.sleep(0.1)
                    with lock:
                        if len(received) != count:
                            count, quiet_since = len(received), time.monotonic()
                with lock:
                    got = list(received)
                window = {"kind": kind, "start": wall0, "end": wall1,
                          "cpu_share": (ticks1 - ticks0) / os.sysconf("SC_CLK_TCK") / (wall1 - wall0)}
                if kind != "idle":
                    prefix = "plain/" if kind == "plain" else "bench/"
                    samples = [(now, key, json.loads(text)) for now, key, text in got if key.startswith(prefix)]
                    window["latency_us"] = [(now - s["stamp"]) * 1e6 for now, _, s in samples]
                    seen = {(key.split("/")[1], s["position"]) for _, key, s in samples}
                    window["sent"] = sent_rounds * len(NODES)
                    window["lost"] = window["sent"] - len({(n, p) for n, p in seen if 1 <= p <= sent_rounds})
                    window["samples"] = len(samples)
                windows.append(window)

        frames = loop_frames.frames()
        dropped = loop_frames.dropped()
    finally:
        if client:
            client.close()
        if plain_session:
            plain_session.close()
        plain.stdin.close()
        plain.wait(timeout=GUARD_S)
        status = bridge.stop()
    # A command's frame: the first SET_POSITION of node 0 carrying its value.
    first_seen = {}
    for stamp, setpoint in frames:
        first_seen.setdefault(setpoint, stamp)
    command_us = [(first_seen[v] - put) * 1e6 for v, put in puts.items() if v in first_seen]

    def periods(kind):
        out = []
        for w in windows:
            if w["kind"] == kind:
                inside = [stamp for stamp, _ in frames if w["start"] <= stamp <= w["end"]]
                out += [(b - a) * 1e3 for a, b in itertools.pairwise(inside)]
        return out

    def pooled(kind, key):
        return [x for w in windows if w["kind"] == kind for x in w.get(key, [])]

    def cpu(kind):
        shares = [w["cpu_share"] for w in windows if w["kind"] == kind]
        return sum(shares) / len(shares)

    def total(kind, key):
        return sum(w[key] for w in windows if w["kind"] == kind)

    def per_sample_us(kind):
        seconds = sum(w["end"] - w["start"] for w in windows if w["kind"] == kind)
        return (cpu(kind) - cpu("idle")) * seconds / max(total(kind, "samples"), 1) * 1e6

    return {
        "telemetry_us": _percentiles(pooled("busy", "latency_us")),
        "plain_us": _percentiles(pooled("plain", "latency_us")),
        "full_us": _percentiles(pooled("full", "latency_us")),
        "command_us": _percentiles(command_us),
        "commands": {"put": len(puts), "seen": len(command_us)},
        "lost": {kind: {"lost": total(kind, "lost"), "sent": total(kind, "sent")}
                 for kind in ("busy", "plain", "full")},
        "cpu": {"idle": cpu("idle"), "busy": cpu("busy"), "full": cpu("full"),
                "per_sample_us": per_sample_us("busy"), "full_per_sample_us": per_sample_us("full")},
        "period_ms": {"idle": _percentiles(periods("idle")), "busy": _percentiles(periods("busy"))},
        "rate_hz": RATE_HZ, "full_hz": FULL_HZ, "command_hz": COMMAND_HZ, "window_s": cfg["bridge_seconds"],
        "windows": cfg["bridge_windows"], "loop_frames_dropped": dropped, "bridge_status": status,
    }


# ---------------------------------------------------------------- the report's side

def bridge_rows(b: dict, row, r: dict) -> None:
    """Adds row 8 through report.py's row(); `r` is every result, for row 3's figure."""
    from report import fmt_ms, fmt_time_us, ratio

    t, p, f = b["telemetry_us"], b["plain_us"], b["full_us"]
    lost = b["lost"]
    busy, plain, full = lost["busy"], lost["plain"], lost["full"]
    row(8, f"Bridge telemetry, a CAN frame's arrival → a remote Zenoh subscriber's callback: p50 (encoder "
           f"estimates of both nodes at {b['rate_hz']} Hz, an ODrive's default, and a command at {b['command_hz']} "
           f"Hz; samples: {busy['sent'] - busy['lost']} of {busy['sent']})",
        fmt_time_us(t["p50"]), f"plain Zenoh pair, the same JSON put → callback: {fmt_time_us(p['p50'])} "
                               f"({plain['sent'] - plain['lost']} of {plain['sent']})",
        ratio(p["p50"], t["p50"]), "≤ 1.5× the plain pair", t["p50"] <= 1.5 * p["p50"],
        {"bridge_us": t, "plain_us": p, "lost": lost})
    row(8, "… p99", fmt_time_us(t["p99"]), f"plain Zenoh pair: {fmt_time_us(p['p99'])}", ratio(p["p99"], t["p99"]),
        "≤ 1.5× the plain pair", t["p99"] <= 1.5 * p["p99"], {"bridge_us": t, "plain_us": p})
    row(8, f"… both nodes at {b['full_hz']} Hz: telemetry samples received of the estimates sent; arrival → "
           f"callback p50 / p99",
        f"{full['sent'] - full['lost']:,} of {full['sent']:,}; {fmt_time_us(f['p50'])} / {fmt_time_us(f['p99'])}",
        "", None, "none lost", full["lost"] == 0, {"lost": full, "full_us": f})
    c = b["command_us"]
    row(8, f"… a remote `PREFIX/command` put → its frame on the bus (the loop's next pass), p50 / p99 "
           f"({b['commands']['seen']} of {b['commands']['put']} commands seen, {b['command_hz']} Hz)",
        f"{fmt_time_us(c['p50'])} / {fmt_time_us(c['p99'])}", "", None, "", None, {"command_us": c})
    cpu = b["cpu"]
    row(8, f"… the bridge's CPU (all its threads and its standard-error tee), share of one CPU: at {b['rate_hz']} Hz "
           f"with commands / at {b['full_hz']} Hz / idle with its loop running",
        f"{cpu['busy']:.0%} / {cpu['full']:.0%} / {cpu['idle']:.0%}",
        f"per telemetry sample: {fmt_time_us(cpu['per_sample_us'])} / {fmt_time_us(cpu['full_per_sample_us'])}",
        None, "", None, {"cpu": cpu})
    pi, pb = b["period_ms"]["idle"], b["period_ms"]["busy"]
    change = pb["p99"] / pi["p99"] - 1
    row3 = ""
    if "loop_torvane" in r:
        row3 = f"; row 3, interpreter idle: {fmt_ms(r['loop_torvane']['idle']['period_ms']['p99'])}"
    row(8, "… the bridge's control loop, 2 motors in position mode: period p99 with the bridge busy / idle "
           f"(n = {pb['n']} / {pi['n']})",
        f"{fmt_ms(pb['p99'])} / {fmt_ms(pi['p99'])} ({change:+.0%})", f"p50: {fmt_ms(pb['p50'])} / "
        f"{fmt_ms(pi['p50'])}{row3}", None, "p99 unchanged (within ±10%)", abs(change) <= 0.10,
        {"period_ms": b["period_ms"], "change": change})


def bridge_notes(rows: list) -> list:
    notes = []
    cpu = next((x["figures"]["cpu"] for x in rows if x["row"] == 8 and "cpu" in x["figures"]), None)
    for x in rows:
        if x["row"] != 8 or x["met"] is not False:
            continue
        f = x["figures"]
        if "change" in f:
            notes.append(f"Row 8: the bridge's loop p99 period moved {f['change']:+.0%} between busy and idle "
                         f"windows: the loop is native and takes no interpreter lock, so what it lost is CPU time, "
                         f"on a machine whose two CPUs the bridge's interpreter, the subscriber and the peers share.")
        elif "bridge_us" in f and cpu and not any(note.startswith("Row 8: a telemetry") for note in notes):
            notes.append(f"Row 8: a telemetry sample took {fmt_us(cpu['per_sample_us'])} of the bridge's CPU here "
                         f"(reading the frame, the link's getters, the JSON and Zenoh's put, all from Python), and "
                         f"the bridge used {cpu['busy']:.0%} of one CPU at 100 Hz per node: its samples wait "
                         f"behind each other, where the plain pair's publisher does only the JSON and the put.")
    return notes


def fmt_us(us: float) -> str:
    return f"{us / 1000:.3g} ms" if us >= 1000 else f"{us:.3g} µs"


def bridge_method(b) -> str:
    if not b:
        return ""
    return (f" (8) torvane-bridge on vcan0 (motors 0 and 1, position mode, its loop running) and, in the bench's "
            f"phase process, a remote Zenoh peer on TCP loopback with multicast scouting off. Windows of "
            f"{b['window_s']:g} s take turns, {b['windows']} of each: idle (the loop alone), busy (a native peer "
            f"sends encoder estimates of both nodes at {b['rate_hz']} Hz, the bridge publishes each, the peer puts "
            f"a command at {b['command_hz']} Hz), plain (a plain Zenoh publisher process puts the same JSON at the "
            f"same rate), full (estimates at {b['full_hz']} Hz, no commands); after each, the samples still on "
            f"their way are awaited until none has come for a second. "
            f"Telemetry: the callback's time.time() minus the sample's stamp, the kernel's receive time "
            f"of the frame (for the plain pair, time.time() right before the JSON was made). Lost: the estimates "
            f"the peer sent against the distinct ones that arrived. A command: its position setpoint is unique; the "
            f"first SET_POSITION of node 0 carrying it, stamped by the kernel at a listener on the same vcan, minus "
            f"time.time() right before the put. CPU: utime and stime of the bridge's processes over each window. "
            f"Period: that listener's stamps of node 0's SET_POSITION, as in (3).")
