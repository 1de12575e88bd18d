"""The simulated ODrive (the installed torvane-sim command) as a subprocess on the test
bus, driven through its standard input and read through its standard output."""

import os
import queue
import re
import signal
import subprocess
import sysconfig
import threading

# The commands that tools/build installs beside the interpreter running the tests.
SCRIPTS = sysconfig.get_path("scripts")
SIM = os.path.join(SCRIPTS, "torvane-sim")
CHECK = os.path.join(SCRIPTS, "torvane-check")
HANG_GUARD = 60.0  # seconds; only catches a hang, never measures speed
SUMMARY = re.compile(r"axis (\d+): state (UNDEFINED|IDLE|CLOSED_LOOP_CONTROL), error (0x[0-9a-f]+), "
                     r"position (-?\d+\.\d{4}), commands (\d+)")


def _value(text):
    for convert in (lambda t: int(t, 0), float):
        try:
            return convert(text)
        except ValueError:
            pass
    return text


def parse_axis_line(line):
    """'axis 0: state IDLE, position 0.5, ...' -> (0, {'state': 'IDLE', 'position': 0.5, ...})."""
    match = re.fullmatch(r"axis (\d+): (.*)", line)
    assert match, f"not an axis line: {line!r}"
    fields = {}
    for item in match.group(2).split(", "):
        key, _, text = item.partition(" ")
        fields[key] = _value(text)
    return int(match.group(1)), fields


class SimulatedODrive:
    """`ready=False` returns at once, before the simulator has said "ready" (which
    `readline` then reads), for a start that waits for its interface."""

    def __init__(self, bus, *options, nodes=(0, 1), ready=True):
        self.nodes = list(nodes)
        self.proc = subprocess.Popen(
            [SIM, "--interface", bus, "--nodes", *map(str, nodes), *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self._lines = queue.Queue()
        self._stderr = []
        self._pumps = [threading.Thread(target=self._pump, args=(self.proc.stdout, self._lines.put), daemon=True),
                       threading.Thread(target=self._pump, args=(self.proc.stderr, self._stderr.append), daemon=True)]
        for pump in self._pumps:
            pump.start()
        self.returncode = None
        self.final_lines = []
        if not ready:
            return
        first = self.readline()
        if first != "ready":
            self.stop()
            raise AssertionError(f"the simulator did not start: {first!r}, stderr: {self.stderr}")

    @staticmethod
    def _pump(stream, put):
        for line in stream:
            put(line.rstrip("\n"))
        put(None)

    @property
    def stderr(self):
        return "\n".join(line for line in self._stderr if line is not None)

    def readline(self):
        try:
            return self._lines.get(timeout=HANG_GUARD)
        except queue.Empty:
            raise AssertionError("the simulator printed nothing") from None

    def command(self, line, replies=1):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return [self.readline() for _ in range(replies)]

    def ok(self, line):
        assert self.command(line) == ["ok"], line

    def _axes(self, word):
        return dict(parse_axis_line(line) for line in self.command(word, len(self.nodes)))

    def status(self):
        """node -> the axis' live state, as its `status` line reports it."""
        return self._axes("status")

    def telemetry(self):
        """node -> the values the axis last broadcast."""
        return self._axes("telemetry")

    def stop(self, how=signal.SIGTERM):
        """Stops the simulator (a signal, or "quit" on its input) and returns its exit
        status; the lines it printed from then on are kept in `final_lines`."""
        if self.returncode is None:
            if how == "quit":
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
            else:
                self.proc.send_signal(how)
            try:
                self.returncode = self.proc.wait(timeout=HANG_GUARD)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("the simulator did not stop") from None
            while (line := self.readline()) is not None:
                self.final_lines.append(line)
            for pump in self._pumps:  # both reach the end of their pipe once the process is gone
                pump.join(HANG_GUARD)
            for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                stream.close()
        return self.returncode

    def summaries(self):
        """node -> (state, error, position, commands) from the summary printed on exit."""
        found = {}
        for line in self.final_lines:
            match = SUMMARY.fullmatch(line)
            assert match, f"unexpected line on exit: {line!r}"
            node, state, error, position, commands = match.groups()
            found[int(node)] = (state, int(error, 16), float(position), int(commands))
        return found
