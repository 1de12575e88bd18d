"""torvane-bridge as a subprocess, and Zenoh sessions that talk to it, for the tests and
the benchmark: every session is a peer on TCP (or TLS) loopback with multicast and gossip
scouting off, so that nothing leaves this machine and a session talks only to the ones it
was given, never to a bridge of another test found by chance."""

import json
import os
import queue
import signal
import socket
import subprocess
import threading
import time

import zenoh

from torvane_dev.simfixture import SCRIPTS

BRIDGE = os.path.join(SCRIPTS, "torvane-bridge")
HANG_GUARD = 60.0  # seconds; only catches a hang, never measures speed


def free_port() -> int:
    """A TCP port of the loopback address that nothing listens on now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def config_dict(listen=(), connect=(), tls=None) -> dict:
    """A peer's Zenoh configuration: only the given endpoints, no multicast scouting; `tls`
    is the transport/link/tls section (file paths of certificates and keys)."""
    config = {"mode": "peer", "scouting": {"multicast": {"enabled": False}, "gossip": {"enabled": False}},
              "listen": {"endpoints": list(listen)}, "connect": {"endpoints": list(connect)}}
    if tls:
        config["transport"] = {"link": {"tls": dict(tls)}}
    return config


def write_config(path, **options) -> str:
    """config_dict(**options) as a JSON5 file (JSON is JSON5) for --zenoh-config."""
    with open(path, "w") as f:
        json.dump(config_dict(**options), f, indent=2)
    return str(path)


def open_session(**options) -> zenoh.Session:
    config = zenoh.Config()
    for key, value in config_dict(**options).items():
        config.insert_json5(key, json.dumps(value))
    return zenoh.open(config)


class BridgeProcess:
    """torvane-bridge on a CAN interface, listening where `config` says; its standard
    output and error are collected line by line (until the stderr tee, which outlives
    the bridge, has closed it too); `stderr`, a file descriptor, replaces the collected
    standard error."""

    def __init__(self, interface, config, prefix, *options, motors=(0, 1), mode="torque", env=None, stderr=None):
        self.prefix = prefix
        self.proc = subprocess.Popen(
            [BRIDGE, interface, "--motors", *map(str, motors), "--mode", mode, "--prefix", prefix,
             "--zenoh-config", config, *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE if stderr is None else stderr,
            text=True, env=env)
        self.stdout, self.stderr = [], []
        streams = [(self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)]
        self._pumps = [threading.Thread(target=self._pump, args=(stream, lines), daemon=True)
                       for stream, lines in streams if stream is not None]
        for pump in self._pumps:
            pump.start()
        self.returncode = None

    @staticmethod
    def _pump(stream, lines):
        for line in stream:
            lines.append(line.rstrip("\n"))

    def output(self) -> str:
        return "\n".join(["stdout:", *self.stdout, "stderr:", *self.stderr])

    def stop(self, signum=signal.SIGTERM) -> int:
        """Signals the bridge (its emergency stop) and returns its exit status, once its
        output has been read to the end."""
        if self.returncode is None:
            if self.proc.poll() is None:
                self.proc.send_signal(signum)
            try:
                self.returncode = self.proc.wait(timeout=HANG_GUARD)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("the bridge did not end:\n" + self.output()) from None
            for pump in self._pumps:
                pump.join(HANG_GUARD)
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream is not None:
                    stream.close()
        return self.returncode


class Client:
    """A Zenoh session beside a bridge: what it publishes under `prefix` arrives in queues,
    and it puts commands, state requests and stops. `name` declares the liveliness token of
    a commanding client and goes with its commands as their attachment; `telemetry` subscribes
    to the telemetry of every node."""

    def __init__(self, prefix, name=None, telemetry=False, **options):
        self.prefix = prefix
        self.name = name
        self.session = open_session(**options)
        self.events = queue.Queue()
        self.telemetry = queue.Queue()  # (node, sample dict)
        self.alive = threading.Event()
        self.gone = threading.Event()
        self._declared = [
            self.session.declare_subscriber(f"{prefix}/events", lambda s: self.events.put(self._json(s))),
            self.session.liveliness().declare_subscriber(f"{prefix}/alive", self._on_alive, history=True),
        ]
        if telemetry:
            self._declared.append(self.session.declare_subscriber(f"{prefix}/*/telemetry", self._on_telemetry))
        if name:
            self._declared.append(self.session.liveliness().declare_token(f"{prefix}/clients/{name}"))

    @staticmethod
    def _json(sample):
        return json.loads(sample.payload.to_string())

    def _on_telemetry(self, sample):
        node = int(str(sample.key_expr).split("/")[-2])
        self.telemetry.put((node, self._json(sample)))

    def _on_alive(self, sample):
        if sample.kind == zenoh.SampleKind.DELETE:
            self.gone.set()
        else:
            self.alive.set()

    def wait_alive(self, timeout=HANG_GUARD) -> None:
        if not self.alive.wait(timeout):
            raise AssertionError(f"no bridge alive on {self.prefix}")

    def put(self, key, payload) -> None:
        """`payload`: bytes as they are, anything else as JSON."""
        data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
        self.session.put(f"{self.prefix}/{key}", data, attachment=self.name)

    def command(self, **fields) -> None:
        self.put("command", fields)

    def state(self, node, state) -> None:
        self.put(f"{node}/state", state)

    def stop(self) -> None:
        self.put("stop", "")

    def next_event(self, kind, timeout=HANG_GUARD) -> dict:
        """The next event of this kind; the events of other kinds before it are passed over."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                event = self.events.get(timeout=max(deadline - time.monotonic(), 0.001))
            except queue.Empty:
                raise AssertionError(f"no {kind!r} event within {timeout} s") from None
            if event["event"] == kind:
                return event

    def close(self) -> None:
        self.session.close()
