"""What torvane-bridge puts between its standard error and the real one, as a process of
its own: `python -m torvane_tools.stderr_tee`, with the bridge's standard error arriving
on standard input, the real standard error on standard error, and the bridge's reader of
the library's lines on standard output.

Everything read goes to the real standard error first, then to the bridge, which
publishes each line as an event. The emergency stop writes its lines just before the
bridge's process ends, when no Python thread there runs any more: this process outlives
the bridge, so those lines still reach the real standard error. It ignores SIGINT,
SIGTERM and SIGHUP (a Ctrl-C or a service manager's SIGTERM reaches every process of the
group at once) and ends when the bridge and everything it started have closed their
standard error. The bridge never waits for it: a reader that falls behind loses lines,
the real standard error none.
"""

import fcntl
import os
import signal

CHUNK = 65536
BACKLOG = 1 << 20  # bytes kept for a bridge that falls behind, then dropped


def write_all(fd: int, data: bytes) -> None:
    while data:
        try:
            data = data[os.write(fd, data):]
        except InterruptedError:
            continue


def main() -> int:
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)
    fcntl.fcntl(1, fcntl.F_SETFL, fcntl.fcntl(1, fcntl.F_GETFL) | os.O_NONBLOCK)
    pending = b""
    forwarding = True
    while True:
        try:
            chunk = os.read(0, CHUNK)
        except InterruptedError:
            continue
        if not chunk:
            return 0
        try:
            write_all(2, chunk)
        except OSError:
            pass  # nobody reads the real standard error any more; the bridge still does
        if not forwarding:
            continue
        pending += chunk
        if len(pending) > BACKLOG:
            cut = pending.find(b"\n", len(pending) - BACKLOG)
            pending = pending[cut + 1:] if cut >= 0 else b""
        try:
            pending = pending[os.write(1, pending):]
        except BlockingIOError:
            pass
        except OSError:
            forwarding = False  # the bridge has ended


if __name__ == "__main__":
    raise SystemExit(main())
