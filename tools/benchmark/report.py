"""Turns the benchmark's raw figures into its table.

    python report.py --raw DIR/raw.json --command "tools/benchmark/run ..." \
        [--host-load-before "A B C"] [--host-load-after "A B C"] [--commit REV] [--docs]

prints the table and writes DIR/performance.md (with --docs also
docs/performance.md, the page the README links to) and DIR/performance.json
(the same rows, machine-readable).
"""

import argparse
import json
import math
import os
import statistics
import time

from bridge_bench import bridge_method, bridge_notes, bridge_rows

from torvane_dev.doc_page import write_page

BUS_CEILING = 8000  # frames/s of 8-byte frames on a 1 Mbit/s bus, about
CAPACITY_GOAL = 20 * BUS_CEILING


def fmt_time_us(us: float) -> str:
    if us is None or math.isnan(us):
        return "n/a"
    if us >= 1e6:
        return f"{us / 1e6:.3g} s"
    if us >= 1000:
        return f"{us / 1000:.3g} ms" if us < 10000 else f"{us / 1000:.1f} ms"
    return f"{us:.3g} µs" if us < 100 else f"{us:.0f} µs"


def fmt_ms(ms: float) -> str:
    return fmt_time_us(ms * 1000)


def fmt_rate(rate: float) -> str:
    return f"{rate:,.0f}/s"


def fmt_ratio(value) -> str:
    if value is None or math.isnan(value) or math.isinf(value):
        return "—"
    return f"{value:.3g}×" if value < 100 else f"{value:,.0f}×"


def ratio(numerator: float, denominator: float):
    if denominator in (0, None) or numerator is None:
        return None
    return numerator / denominator


def median(values):
    return statistics.median(values) if values else float("nan")


def build_rows(raw: dict) -> list:
    r = raw["results"]
    rows = []

    def row(number, measure, torvane, baseline, ratio_value=None, goal="", met=None, figures=None):
        rows.append({"row": number, "measure": measure, "torvane": torvane, "baseline": baseline,
                     "ratio": fmt_ratio(ratio_value), "goal": goal,
                     "met": None if met is None else bool(met), "figures": figures or {}})

    # 1. commands from Python
    if "send" in r:
        s = r["send"]
        t, p, raw_socket = s["torvane"]["rate"], s["python-can"]["rate"], s["raw socket"]["rate"]
        lost = {name: sum(x["called"] - x["on_bus"] for x in s[name]["rounds"]) for name in s}
        lost_text = "" if not any(lost.values()) else f" (calls whose frame never reached the bus: {lost})"
        plain_c = s["plain C"]["rate"] if "plain C" in s else None
        limit = (f" (the limit here, plain C with one send() per frame: {fmt_ratio(ratio(plain_c, p))} python-can)"
                 if plain_c else "")
        row(1, "Commands from one Python thread: `torque_command` frames/s reaching the bus" + lost_text,
            fmt_rate(t), f"python-can: {fmt_rate(p)}", ratio(t, p), "≥ 5× python-can" + limit, ratio(t, p) >= 5,
            {"torvane_per_s": t, "python_can_per_s": p, "frames_lost": lost})
        row(1, "… the same frames from a standard-library raw socket", fmt_rate(t),
            f"raw socket: {fmt_rate(raw_socket)}", ratio(t, raw_socket), "", None, {"raw_socket_per_s": raw_socket})
        if plain_c:
            row(1, "… reference, not a baseline: the same frames from a plain C loop, one send() per frame (the most "
                   "a sender making one system call per frame gets from this kernel)",
                f"{fmt_rate(t)} ({t / plain_c:.0%} of plain C)", f"plain C: {fmt_rate(plain_c)}", None,
                "", None, {"plain_c_per_s": plain_c})

    # 2. telemetry latency
    if "latency" in r:
        lt, lp = r["latency"]["torvane"]["latency_us"], r["latency"]["python-can"]["latency_us"]
        figures = {"torvane_us": lt, "python_can_us": lp,
                   "missed": {k: v["missed"] for k, v in r["latency"].items()}}
        written = r["latency"]["torvane"]["written"]
        row(2, f"Telemetry latency, peer's write → `getPositionEstimate` returns it: p50 "
               f"(values seen by the spinning reader: {lt['n']} / {lp['n']} of {written})",
            fmt_time_us(lt["p50"]), f"python-can thread: {fmt_time_us(lp['p50'])}", ratio(lp["p50"], lt["p50"]),
            "", None, figures)
        row(2, "… p99", fmt_time_us(lt["p99"]), f"python-can thread: {fmt_time_us(lp['p99'])}",
            ratio(lp["p99"], lt["p99"]), "p99 below python-can's p50", lt["p99"] < lp["p50"], figures)

    # 3. control loop period
    if "loop_torvane" in r and "loop_python_can" in r:
        nt, nb = r["loop_torvane"], r["loop_python_can"]

        def triple(x):
            p = x["period_ms"]
            return f"{fmt_ms(p['p50'])} / {fmt_ms(p['p99'])} / {fmt_ms(p['max'])}"

        row(3, f"Control-loop period, 2 motors in position mode, interpreter idle: p50 / p99 / max "
               f"(n = {nt['idle']['period_ms']['n']} / {nb['idle']['period_ms']['n']})",
            triple(nt["idle"]), f"Python thread + python-can: {triple(nb['idle'])}",
            ratio(nb["idle"]["period_ms"]["p99"], nt["idle"]["period_ms"]["p99"]), "", None,
            {"torvane_ms": nt["idle"]["period_ms"], "python_can_ms": nb["idle"]["period_ms"]})
        row(3, f"… while another Python thread keeps the interpreter busy "
               f"(n = {nt['busy']['period_ms']['n']} / {nb['busy']['period_ms']['n']})",
            triple(nt["busy"]), f"Python thread + python-can: {triple(nb['busy'])}",
            ratio(nb["busy"]["period_ms"]["p99"], nt["busy"]["period_ms"]["p99"]), "", None,
            {"torvane_ms": nt["busy"]["period_ms"], "python_can_ms": nb["busy"]["period_ms"]})
        if "loop_plain_c" in r:
            nc = r["loop_plain_c"]
            row(3, "… reference, not a baseline: the same frames and 2 ms sleep from a plain C process on this "
                   "machine, p99 idle / busy (what its scheduler and timers give any loop)",
                f"{fmt_ms(nt['idle']['period_ms']['p99'])} / {fmt_ms(nt['busy']['period_ms']['p99'])}",
                f"plain C: {fmt_ms(nc['idle']['period_ms']['p99'])} / {fmt_ms(nc['busy']['period_ms']['p99'])}",
                None, "", None, {"plain_c_ms": {"idle": nc["idle"]["period_ms"], "busy": nc["busy"]["period_ms"]},
                                 "plain_c_windows_p99_ms": nc["window_p99_ms"]})
        change_t = nt["busy"]["period_ms"]["p99"] / nt["idle"]["period_ms"]["p99"] - 1
        change_b = nb["busy"]["period_ms"]["p99"] / nb["idle"]["period_ms"]["p99"] - 1

        def noise(x):
            a, b = x["idle_halves_p99_ms"]
            return abs(a - b) / ((a + b) / 2)

        row(3, f"… change of the p99 period under interpreter load (in brackets the run's own noise: odd against "
               f"even idle windows, {nt['idle']['windows']} idle and {nt['busy']['windows']} busy windows "
               f"alternating)",
            f"{change_t:+.1%} (±{noise(nt):.0%})", f"{change_b:+.1%} (±{noise(nb):.0%})", None,
            "torvane within ±10%, the baseline not", abs(change_t) < 0.10 and abs(change_b) >= 0.10,
            {"torvane_change": change_t, "python_can_change": change_b, "torvane_noise": noise(nt),
             "python_can_noise": noise(nb), "torvane_windows_p99_ms": nt["window_p99_ms"],
             "python_can_windows_p99_ms": nb["window_p99_ms"]})

    # 4. receive capacity
    if "capacity_torvane" in r and "capacity_python_can" in r:
        ct, cb = r["capacity_torvane"], r["capacity_python_can"]

        def capacity(c):
            # When the sender never had to wait for the link, the sender was the limit.
            sender_bound = all(run["paced_waits"] == 0 for run in c["runs"])
            text = ("≥ " if sender_bound else "") + fmt_rate(c["rate"])
            if not c["all_correct"]:
                text += " (frames dropped or last value wrong)"
            return text

        ceiling = ct["writer_ceiling"]
        row(4, f"Receive capacity: encoder frames/s decoded with none dropped and the last value read back right "
               f"(slowest of {len(ct['runs'])} runs; {ct['rate'] / BUS_CEILING:.1f}× a 1 Mbit/s bus)",
            capacity(ct), f"python-can thread: {capacity(cb)}", ratio(ct["rate"], cb["rate"]),
            f"≥ {CAPACITY_GOAL:,}/s (20× a 1 Mbit/s bus, ~{BUS_CEILING:,}/s); the limit here: "
            f"{fmt_rate(ceiling)}, what the native writer alone can put on this bus",
            ct["all_correct"] and ct["rate"] >= CAPACITY_GOAL, {"torvane": ct, "python_can": cb})
        row(4, f"… as a share of that limit: of what the native writer alone, counting only its time inside "
               f"sendmmsg(), can put on this bus ({fmt_rate(ceiling)}, {ceiling / CAPACITY_GOAL:.0%} of the goal)",
            f"{ct['rate'] / ceiling:.0%}", f"python-can thread: {cb['rate'] / cb['writer_ceiling']:.0%}", None,
            "", None, {"torvane_share": ct["rate"] / ceiling, "python_can_share": cb["rate"] / cb["writer_ceiling"]})

    # 5. cost of a pass and of a frame
    if "loop_torvane" in r and "loop_python_can" in r:
        pt = r["loop_torvane"]["idle"]["cpu_per_pass_per_motor_us"]
        pb = r["loop_python_can"]["idle"]["cpu_per_pass_per_motor_us"]
        row(5, "CPU time per control pass per motor (control thread's CPU clock, interpreter idle)",
            fmt_time_us(pt), f"Python thread: {fmt_time_us(pb)}", ratio(pb, pt), "", None,
            {"torvane_us": pt, "python_can_us": pb})
    if "capacity_torvane" in r and "capacity_python_can" in r:
        ft = r["capacity_torvane"]["rx_cpu_per_frame_us"]
        fb = r["capacity_python_can"]["rx_cpu_per_frame_us"]
        row(5, "CPU time per decoded frame (receive thread's CPU clock, during the capacity runs)",
            fmt_time_us(ft), f"python-can thread: {fmt_time_us(fb)}", ratio(fb, ft), "", None,
            {"torvane_us": ft, "python_can_us": fb})
    if "allocs" in r:
        a = r["allocs"]
        live = a["hook_live"]
        row(5, f"Heap allocations per control pass (counted per thread by a malloc-family preload; "
               f"{a['torvane_pass']['passes']} / {a['baseline_pass']['passes']} passes)",
            f"{a['torvane_pass']['per_pass']:.3g} ({a['torvane_pass']['allocations']} in all)",
            f"Python thread: {a['baseline_pass']['per_pass']:.3g}", None, "0",
            live and a["torvane_pass"]["allocations"] == 0 and a["torvane_pass"]["passes"] > 0, a)
        row(5, f"Heap allocations per decoded frame (all six telemetry messages; "
               f"{a['torvane_frame']['frames']} frames each)",
            f"{a['torvane_frame']['per_frame']:.3g} ({a['torvane_frame']['allocations']} in all)",
            f"python-can thread: {a['baseline_frame']['per_frame']:.3g}", None, "0",
            live and a["torvane_frame"]["allocations"] == 0 and a["torvane_frame"]["decoded_last"]
            and a["torvane_frame"]["dropped"] == 0, a)

    # 6. teardown and memory
    if "destroy" in r:
        d = r["destroy"]
        row(6, f"Destroying a link on a silent bus: p99 (n = {d['torvane_us']['n']} / {d['python-can_us']['n']})",
            fmt_time_us(d["torvane_us"]["p99"]),
            f"python-can thread, `recv(timeout=0.1)`: {fmt_time_us(d['python-can_us']['p99'])}",
            ratio(d["python-can_us"]["p99"], d["torvane_us"]["p99"]), "no target", None, d)
        if "plain_c_us" in d:
            row(6, "… reference, not a baseline: a plain C thread waiting in poll() woken through an eventfd, "
                   "joined, its socket closed, on this machine: p50 / p99",
                f"{fmt_time_us(d['torvane_us']['p50'])} / {fmt_time_us(d['torvane_us']['p99'])}",
                f"plain C: {fmt_time_us(d['plain_c_us']['p50'])} / {fmt_time_us(d['plain_c_us']['p99'])}",
                None, "", None, d)
    memory_t = [v for k, v in r.items() if k.startswith("memory_torvane_")]
    memory_b = [v for k, v in r.items() if k.startswith("memory_python_can_")]
    if memory_t and memory_b:
        lt, lb = median([m["link_kib"] for m in memory_t]), median([m["link_kib"] for m in memory_b])
        ct, cb = median([m["controller_kib"] for m in memory_t]), median([m["controller_kib"] for m in memory_b])
        figures = {"torvane": memory_t, "python_can": memory_b}
        row(6, f"Resident memory added by one link (median of {len(memory_t)} fresh processes)",
            f"{lt:g} KiB", f"python-can bus + receive thread: {lb:g} KiB", ratio(lb, lt), "no target", None, figures)
        row(6, "Resident memory added by one running controller (the first: with the emergency-stop watcher)",
            f"{ct:g} KiB", f"Python control thread: {cb:g} KiB", ratio(cb, ct), "no target", None, figures)
    # 7. the emergency stop on the wire
    if "stop" in r:
        rows.extend(stop_rows(r["stop"]))
    # 8. the bridge
    if "bridge" in r:
        bridge_rows(r["bridge"], row, r)
    return rows


# The stop ends the process within half a second of the signal, whatever its
# standard output is doing.
STOP_EXIT_LIMIT_MS = 500.0


def stop_limits(st: dict) -> dict:
    """The goals of the stop, from the run's own figures: healthy p99 within twice
    the plain C process's, in milliseconds; on the throttled bus, where the token
    bucket's own timing wanders, by what the bus carried: from the signal to the
    last IDLE frame, at most two passes of both loops' frames at p99."""
    healthy_c = st["buses"]["healthy"]["plain C"]["last_idle_ms"]["p99"]
    two_passes_ms = 2 * st["frames_per_pass"] / st["throttle_fps"] * 1e3
    return {"healthy": 2 * healthy_c, "two_passes_frames": 2 * st["frames_per_pass"], "two_passes_ms": two_passes_ms,
            "exit": STOP_EXIT_LIMIT_MS}


def stop_rows(st: dict) -> list:
    if "skipped" in st:
        return [{"row": 7, "measure": f"Emergency stop on the wire: not measured ({st['skipped']})", "torvane": "n/a",
                 "baseline": "n/a", "ratio": "—", "goal": "", "met": None, "figures": st}]
    rows = []
    healthy, throttled = st["buses"]["healthy"], st["buses"]["throttled"]
    limits = stop_limits(st)

    def p50_p99(x):
        text = f"{fmt_ms(x['last_idle_ms']['p50'])} / {fmt_ms(x['last_idle_ms']['p99'])}"
        if x["incomplete"]:
            text += f" ({x['incomplete']} of {len(x['runs'])} stops incomplete)"
        return text

    def p99(x):
        return x["last_idle_ms"]["p99"]

    def within(x, limit):
        return x["incomplete"] == 0 and p99(x) <= limit

    def add(measure, torvane, baseline, ratio_value, goal, met, figures):
        rows.append({"row": 7, "measure": measure, "torvane": torvane, "baseline": baseline,
                     "ratio": fmt_ratio(ratio_value), "goal": goal, "met": met, "figures": figures})

    ht, hc = healthy["torvane"], healthy["plain C"]
    runs = len(ht["runs"])
    add(f"Emergency stop on the wire: signal → last IDLE frame received at the far end of a vxcan pair, healthy "
        f"bus, p50 / p99 ({runs} signals each, SIGINT and SIGTERM; two controllers running, {st['mode']} mode)",
        p50_p99(ht), f"plain C process whose handler writes the same 3 IDLE frames: {p50_p99(hc)}",
        ratio(p99(hc), p99(ht)), f"p99 ≤ 2× plain C's = {fmt_ms(limits['healthy'])}",
        within(ht, limits["healthy"]), {"bus": "healthy", "kind": "torvane", "torvane_ms": ht["last_idle_ms"],
                                         "plain_c_ms": hc["last_idle_ms"]})
    if "exit_ms" in ht:
        add("… signal → end of the process, healthy bus, p50 / p99",
            f"{fmt_ms(ht['exit_ms']['p50'])} / {fmt_ms(ht['exit_ms']['p99'])}",
            f"plain C: {fmt_ms(hc['exit_ms']['p50'])} / {fmt_ms(hc['exit_ms']['p99'])}",
            ratio(hc["exit_ms"]["p99"], ht["exit_ms"]["p99"]), f"p99 ≤ {fmt_ms(limits['exit'])}",
            ht["incomplete"] == 0 and ht["exit_ms"]["p99"] <= limits["exit"],
            {"bus": "healthy", "kind": "torvane", "exit_ms": ht["exit_ms"]})
    if "torvane, stdout full" in healthy:
        hf = healthy["torvane, stdout full"]
        add("… the same with the program's standard output a full pipe nobody reads: signal → last IDLE frame, "
            "p50 / p99; signal → end of the process, p50 / p99",
            f"{p50_p99(hf)}; {fmt_ms(hf['exit_ms']['p50'])} / {fmt_ms(hf['exit_ms']['p99'])}",
            f"standard output readable: {p50_p99(ht)}; {fmt_ms(ht['exit_ms']['p50'])} / "
            f"{fmt_ms(ht['exit_ms']['p99'])}", None, f"end p99 ≤ {fmt_ms(limits['exit'])}",
            hf["incomplete"] == 0 and hf["exit_ms"]["p99"] <= limits["exit"],
            {"bus": "healthy", "kind": "torvane, stdout full", "torvane_ms": hf["last_idle_ms"],
             "exit_ms": hf["exit_ms"]})
    tt, tc = throttled["torvane"], throttled["plain C"]
    carried = tt.get("frames_to_last_idle", {})
    add(f"… bus throttled to {st['throttle_fps']:,.0f} frames/s, below the {st['loops_frames_per_s']:,.0f}/s the "
        f"two loops put on the healthy bus: frames the bus carried from the signal to the last IDLE frame, "
        f"p50 / p99 (and the time, p50 / p99)",
        (f"{carried['p50']:.0f} / {carried['p99']:.0f} frames ({p50_p99(tt)})" if carried.get("n")
         else p50_p99(tt)),
        f"plain C: {p50_p99(tc)}", None,
        f"p99 ≤ two passes of both loops = {limits['two_passes_frames']} frames ({fmt_ms(limits['two_passes_ms'])} "
        f"at this bus's rate)",
        tt["incomplete"] == 0 and bool(carried.get("n")) and carried["p99"] <= limits["two_passes_frames"],
        {"bus": "throttled", "kind": "torvane", "torvane_ms": tt["last_idle_ms"], "plain_c_ms": tc["last_idle_ms"],
         "frames": carried, "limits": limits})
    if "before" in throttled:
        tb = throttled["before"]
        behind = tb.get("frames_to_last_idle", {})
        behind_text = (f"; frames on the bus from the signal to the last IDLE frame, p50: {carried['p50']:.0f} now, "
                       f"{behind['p50']:.0f} before" if behind.get("n") and carried.get("n") else "")
        add(f"… the same throttled bus, now against before this change (the module built from {st['before_rev']})"
            + behind_text,
            p50_p99(tt), f"before: {p50_p99(tb)}", ratio(p99(tb), p99(tt)), "", None,
            {"torvane_ms": tt["last_idle_ms"], "before_ms": tb["last_idle_ms"]})
    ages = st.get("command_age_ms", {})
    if "torvane" in ages:
        now = ages["torvane"]
        before = ages.get("before")
        add(f"… age of the command at the far end of the throttled bus (one torque loop, the command renewed from "
            f"Python every millisecond; {st['age_seconds']:g} s of frames once the queue is full): p50 / p99",
            f"{fmt_ms(now['p50'])} / {fmt_ms(now['p99'])}",
            f"before: {fmt_ms(before['p50'])} / {fmt_ms(before['p99'])}" if before else "",
            ratio(before["p99"], now["p99"]) if before else None, "", None, ages)
    return rows


def unmet_notes(raw: dict, rows: list) -> list:
    """Why a goal was not met, in the run's own figures."""
    r, notes = raw["results"], []
    for x in rows:
        f = x["figures"]
        if x["met"] is not False:
            continue
        if x["row"] == 3 and "torvane_change" in f:
            text = (f"Row 3: under interpreter load torvane's p99 period changed {f['torvane_change']:+.0%}, "
                    f"the Python loop's {f['python_can_change']:+.0%}.")
            if f["torvane_noise"] >= 0.10:
                text += (f" A ±10% bound cannot be resolved in this run: its own idle windows disagree by "
                         f"±{f['torvane_noise']:.0%}.")
            if "loop_plain_c" in r:
                c = r["loop_plain_c"]
                moved = c["busy"]["period_ms"]["p99"] / c["idle"]["period_ms"]["p99"] - 1
                if abs(moved) >= 0.10:
                    text += (f" A plain C process sending the same frames with the same 2 ms sleep moved {moved:+.0%} "
                             f"between idle and busy windows: the tail of a 2 ms sleep is set here by the machine's "
                             f"timers and scheduling (an idle emulated CPU wakes late), not by the interpreter.")
            python_grew = f["python_can_change"] > max(0.10, f["python_can_noise"])
            text += (f" Torvane's loop {'did not get slower' if f['torvane_change'] < 0.10 else 'got slower'} with the "
                     f"interpreter busy; the Python loop {'did' if python_grew else 'did not, beyond its own noise'}.")
            notes.append(text)
        if x["row"] == 4 and "torvane" in f:
            c = f["torvane"]
            text = f"Row 4: the link decoded {fmt_rate(c['rate'])} with every frame kept and the last value right."
            if c["writer_ceiling"] < CAPACITY_GOAL:
                text += (f" The goal of {CAPACITY_GOAL:,}/s is above what this machine's kernel could carry at all: "
                         f"the native writer alone, counting only its time inside sendmmsg(), could put "
                         f"{fmt_rate(c['writer_ceiling'])} on the bus, about {1e6 / c['writer_ceiling']:.0f} µs of "
                         f"kernel work per frame.")
            text += f" It kept up with {c['rate'] / c['writer_ceiling']:.0%} of that."
            if "rx_system_share" in c:
                text += (f" The receive thread spent {c['rx_cpu_per_frame_us']:.1f} µs of CPU per frame, "
                         f"{c['rx_system_share']:.0%} of it inside the kernel.")
            notes.append(text)
        if x["row"] == 7 and "stop" in r:
            notes.append(stop_note(r["stop"], f))
        if x["row"] not in (3, 4, 7) and not bridge_notes([x]) and "bridge_us" not in f:
            notes.append(f"Row {x['row']}: {x['measure']}: goal {x['goal']} not met in this run.")
    return notes + bridge_notes(rows)


def stop_note(st: dict, figures: dict) -> str:
    """Why a goal of the stop was not met, in the run's own figures."""
    bus, kind = figures["bus"], figures["kind"]
    throttled_row = bus == "throttled"
    t, c = st["buses"][bus][kind], st["buses"][bus]["plain C"]
    limits = stop_limits(st)
    last, first = t["last_idle_ms"], t["first_idle_ms"]
    sentences = []
    if t["incomplete"]:
        sentences.append(f"{t['incomplete']} of {len(t['runs'])} stops were incomplete (a motor without its IDLE "
                         f"frame, or an exit other than the signal's number or without the \"Running ESTOP\" lines "
                         f"expected).")
    if throttled_row:
        carried = figures["frames"]
        if carried.get("n") and carried["p99"] > limits["two_passes_frames"]:
            sentences.append(f"The bus carried {carried['p99']:.0f} frames from the signal to the last IDLE frame at "
                             f"p99, beyond two passes of both loops ({limits['two_passes_frames']} frames).")
        idle_frames = [sum(run["idle_frames"].values()) for run in t["runs"]]
        sentences.append(f"A stop put {statistics.mean(idle_frames):.1f} IDLE frames on the bus on average: three "
                         f"ahead of what was queued, and one more per motor behind it where this process's frames "
                         f"were still queued.")
    else:
        if last["p99"] > limits["healthy"]:
            sentences.append(f"The last IDLE frame came {fmt_ms(last['p99'])} after the signal at p99, beyond the "
                             f"limit of {fmt_ms(limits['healthy'])} (twice the plain C process's "
                             f"{fmt_ms(c['last_idle_ms']['p99'])}).")
        if t.get("exit_ms", {}).get("p99", 0) > limits["exit"]:
            sentences.append(f"The process ended {fmt_ms(t['exit_ms']['p99'])} after the signal at p99, beyond "
                             f"{fmt_ms(limits['exit'])}.")
        sentences.append("Between the signal and the frames, torvane's stop wakes a watcher thread through a pipe, "
                         "waits for sends in flight, then sends every controller's IDLE frames before any text; the "
                         "plain C handler writes its frames itself.")
    sentences.append(f"The first IDLE frame came at p50 {fmt_ms(first['p50'])} (plain C: "
                     f"{fmt_ms(c['first_idle_ms']['p50'])}), the last at p50 {fmt_ms(last['p50'])}.")
    return f"Row 7, {bus} bus ({kind}): " + " ".join(sentences)


def stop_method(st) -> str:
    if not st or "skipped" in st:
        return ""
    controllers = " and ".join(str(m) for m in st["controllers"])
    text = (f" (7) The signalled process sends on one end of a vxcan pair; a listener on the other end receives a "
            f"frame only once it has left the first end's queue, and the kernel stamps it then (SO_TIMESTAMPNS, "
            f"CLOCK_REALTIME). The bench reads the same clock (time.time()) right before kill(); a figure is the last "
            f"IDLE frame's stamp minus that. The torvane program is forked for each run from a server process that "
            f"imported the module once: it opens its link and two controllers ({controllers}, {st['mode']} mode), "
            f"starts both loops, renews their command from Python every millisecond, and is signalled 0.3–0.5 s "
            f"later, SIGINT and SIGTERM in turn. The plain C process (`busagent idle-on-signal`) has nothing queued; "
            f"its handler writes IDLE for nodes 0, 1, 1 with write() and exits. The processes take turns. "
            f"The throttled bus is a token bucket of {st['throttle_fps']:,.0f} frames/s with a prio qdisc under it "
            f"(pfifo_fast's three bands); there the listener takes every frame, to count what the bus carried up to "
            f"the last IDLE, and the goal is counted in those frames, since the token bucket's own timing "
            f"wanders in the VM. After each run a marker frame sent at the default priority shows when everything "
            f"the run queued has left. The end of the process is when the server's waitpid() returned, on the same "
            f"clock. On the healthy bus the torvane program also runs with its standard output a pipe it filled "
            f"itself and that nobody reads, from right after it started. A run counts when every motor got its "
            f"IDLE frame and the process ended with the signal's number, torvane's after both controllers "
            f"printed \"Running ESTOP\" (none with standard output full: the stop drops what it cannot write).")
    if st.get("before_rev"):
        text += (f" Before: the module built from {st['before_rev']} with the same build tools, run by the same "
                 f"server.")
    if st.get("command_age_ms"):
        text += (" The command's age: a torque loop on node 0 whose command carries, as its torque, the moment "
                 "Python gave it; at the far end, the receive time minus that moment.")
    return text


def markdown(raw: dict, rows: list, meta: dict) -> str:
    env = raw["environment"]
    r = raw["results"]
    lines = ["# Performance", ""]
    lines.append(f"`{meta['command']}` measures torvane against what a user would otherwise write, side by side in "
                 "one run on the same bus: python-can (`bus.send(can.Message(...))` with struct packing, and a "
                 "receive thread decoding with struct) and a standard-library raw CAN socket. "
                 "The baselines are in `tools/benchmark/baseline.py`. A plain C reference, where a row has one, is "
                 "not a baseline: it is what this machine allows any program doing the same work. "
                 "Ratios read as how many times better torvane does (higher is better).")
    lines.append("")
    if env.get("in_emulated_vm"):
        lines.append("**This run took place in a software-emulated VM** (qemu without hardware acceleration, "
                     f"{env['cpus']} vCPUs), because this machine's kernel has no CAN support: absolute times "
                     "there are inflated (Python runs about 20 times slower than on the host, system calls "
                     "too) and the **ratios are the figures to read**. On a machine whose kernel has SocketCAN "
                     "the same command runs on its own vcan and reports native figures.")
        lines.append("")
    lines.append("| # | measure | torvane | baseline | ratio | goal | |")
    lines.append("|---|---|---|---|---|---|---|")
    for x in rows:
        met = "" if x["met"] is None else ("met" if x["met"] else "**not met**")
        lines.append(f"| {x['row']} | {x['measure']} | {x['torvane']} | {x['baseline']} | {x['ratio']} | "
                     f"{x['goal']} | {met} |")
    lines.append("")
    notes = unmet_notes(raw, rows)
    if notes:
        lines.append("Where a goal is not met:")
        lines.append("")
        lines.extend(f"- {note}" for note in notes)
        lines.append("")
    load = (f"host load average {meta['host_load_before']} before and {meta['host_load_after']} after "
            f"(1, 5, 15 min; {meta['host_cpus']} host CPUs)" if meta.get("host_load_before") else "")
    lines.append(f"Run of {meta['date']} at commit {meta['commit']}, {env['seconds']:.0f} s of measurement; "
                 f"Linux {env['kernel']}, Python {env['python']}, python-can {env['python_can']}"
                 + (f"; {load}." if load else "."))
    lines.append("")
    lines.append("How each row is taken. (1) One thread sends for a fixed time; a separate native listener counts "
                 "the frames that reached the bus; the plain C reference sends the same frames, one send() per "
                 "frame. (2) A native peer writes an encoder estimate every 8–12 ms and "
                 "notes the time just before each write; the reading thread spins on the getter, as a control "
                 "program's main loop keeps the interpreter busy. The baseline's getter reads the cache its "
                 "python-can receive thread fills, and that thread has to win the interpreter lock from the "
                 "reader first (switch interval 5 ms). (3) A native listener stamps motor 0's position setpoints "
                 "with the kernel's receive time (SO_TIMESTAMPNS) while encoder estimates arrive at 100 Hz per "
                 "motor; the baseline is the same law on a Python thread that sends with python-can and sleeps "
                 "2 ms, fed by a python-can receive thread; the busy thread runs a pure-Python loop. (4) A native "
                 "writer sends encoder estimates, 32 per sendmmsg(), only while the receiver's socket queue is "
                 "below half full, so the rate is the receiver's, and the kernel's drop counter on that socket "
                 "must not move; the writer's time inside sendmmsg() gives what it alone could put on the bus, the "
                 "limit of the row. "
                 "(5) Thread CPU clocks over the runs of (3) and (4); an LD_PRELOAD counter of malloc-family calls "
                 "per thread, with Python's allocator routed through malloc. (6) `del` of the only reference (the "
                 "baseline's receive thread waits in `recv(timeout=0.1)` to see its stop flag); exact resident "
                 "size from /proc/self/smaps_rollup." + stop_method(r.get("stop")) + bridge_method(r.get("bridge")))
    lines.append("")
    return "\n".join(lines)


def plain_table(rows: list) -> str:
    headers = ["#", "measure", "torvane", "baseline", "ratio", "goal", ""]
    body = [[str(x["row"]), x["measure"].replace("`", ""), x["torvane"], x["baseline"], x["ratio"], x["goal"],
             "" if x["met"] is None else ("met" if x["met"] else "NOT MET")] for x in rows]
    widths = [max(len(h), *(len(b[i]) for b in body)) for i, h in enumerate(headers)]
    widths[1] = min(widths[1], 60)

    def wrap(text, width):
        words, out, line = text.split(), [], ""
        for w in words:
            if line and len(line) + 1 + len(w) > width:
                out.append(line)
                line = w
            else:
                line = f"{line} {w}" if line else w
        out.append(line)
        return out

    lines = ["  ".join(h.ljust(widths[i]) for i, h in enumerate(headers)), "  ".join("-" * w for w in widths)]
    for b in body:
        measure = wrap(b[1], widths[1])
        for j, part in enumerate(measure):
            cells = b if j == 0 else [""] * len(b)
            cells = list(cells)
            cells[1] = part
            lines.append("  ".join(c.ljust(widths[i]) for i, c in enumerate(cells)).rstrip())
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--raw", required=True)
    parser.add_argument("--command", default="tools/benchmark/run")
    parser.add_argument("--host-load-before", default="")
    parser.add_argument("--host-load-after", default="")
    parser.add_argument("--commit", default="unknown", help="the revision, when the raw figures do not name it")
    parser.add_argument("--docs", action="store_true", help="also write the report to docs/performance.md")
    args = parser.parse_args()
    with open(args.raw) as f:
        raw = json.load(f)
    rows = build_rows(raw)
    # The revision the run measured, as it named it when it started; --commit only
    # for figures from a run that did not record it.
    commit = raw["environment"].get("revision") or args.commit
    meta = {"command": args.command, "host_load_before": args.host_load_before, "host_load_after": args.host_load_after,
            "host_cpus": os.cpu_count(), "commit": commit, "date": time.strftime("%Y-%m-%d %H:%M %Z")}
    out_dir = os.path.dirname(os.path.abspath(args.raw))
    text = markdown(raw, rows, meta)
    with open(os.path.join(out_dir, "performance.md"), "w") as f:
        f.write(text)
    with open(os.path.join(out_dir, "performance.json"), "w") as f:
        json.dump({"meta": meta, "environment": raw["environment"], "config": raw["config"], "rows": rows}, f, indent=1)
    if args.docs:
        write_page("performance", text, "tools/benchmark/run --docs")
    print(plain_table(rows))
    print()
    if raw["environment"].get("in_emulated_vm"):
        print("Measured in a software-emulated VM: absolute times are inflated; the ratios are the figures to read.")
    if args.host_load_before:
        print(f"Host load average (1, 5, 15 min) before: {args.host_load_before}; after: {args.host_load_after}; "
              f"{os.cpu_count()} host CPUs.")
    for note in unmet_notes(raw, rows):
        print(note)
    goals = [x for x in rows if x["met"] is not None]
    print(f"Goals met: {sum(x['met'] for x in goals)} of {len(goals)}. "
          f"Markdown: {os.path.join(out_dir, 'performance.md')}; JSON: {os.path.join(out_dir, 'performance.json')}")


if __name__ == "__main__":
    main()
