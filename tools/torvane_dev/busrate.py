"""A CAN bus shaped to the frame rate of a real bitrate, or throttled below what a
control loop sends, with Linux's traffic control.

A token bucket (tbf) lets frames leave the interface's queue no faster than the
bus would carry them; under it a `prio` qdisc keeps pfifo_fast's three bands, so
that a socket's SO_PRIORITY still decides who goes first, as on an adapter with
its default qdisc. The bucket counts the 16 bytes of each `struct can_frame`, not
the bits on the wire: every frame is taken to be as long as an eight-byte one.

As a command, shapes the transmit queue of each interface named (and, on a CAN
controller, sets its bitrate):

    python -m torvane_dev.busrate --bitrate 250000 can0 can2
"""

import argparse
import contextlib
import os
import subprocess
import sys

from torvane_dev.buses import is_virtual
from torvane_tools.wire import most_frame_bits

FRAME_STRUCT_BYTES = 16  # what the kernel's queues count per classic CAN frame


def frames_per_second(bitrate: int) -> float:
    """Eight-byte frames a bus at `bitrate` carries at least, one after the other: each
    with the most stuff bits it can carry."""
    return bitrate / most_frame_bits(8)


def qdisc_commands(interface: str, frames_per_s: float) -> list[list[str]]:
    rate_bits = max(int(frames_per_s * FRAME_STRUCT_BYTES * 8), 8)
    return [
        # A burst of two frames: the bucket barely ever lets more through at once.
        ["tc", "qdisc", "replace", "dev", interface, "root", "handle", "1:", "tbf", "rate", f"{rate_bits}bit",
         "burst", str(2 * FRAME_STRUCT_BYTES), "limit", str(1 << 20)],
        ["tc", "qdisc", "replace", "dev", interface, "parent", "1:1", "handle", "10:", "prio"],
    ]


def shape(interface: str, frames_per_s: float) -> None:
    for command in qdisc_commands(interface, frames_per_s):
        subprocess.run(command, check=True, capture_output=True, timeout=60)


def unshape(interface: str) -> None:
    subprocess.run(["tc", "qdisc", "del", "dev", interface, "root"], capture_output=True, timeout=60)


@contextlib.contextmanager
def throttled(interface: str, frames_per_s: float):
    """The interface's transmit queue drains `frames_per_s` frames a second while the
    block runs."""
    shape(interface, frames_per_s)
    try:
        yield
    finally:
        unshape(interface)


@contextlib.contextmanager
def deep_transmit_queue(interface: str, frames: int = 1000):
    """The interface's transmit queue holds `frames` while the block runs, as robots
    commonly raise a CAN adapter's ten against ENOBUFS, so that a burst from one
    thread is queued rather than refused while the adapter sends."""
    path = f"/sys/class/net/{interface}/tx_queue_len"
    with open(path) as f:
        before = f.read().strip()

    def set_length(length):
        subprocess.run(["ip", "link", "set", interface, "txqueuelen", length], check=True, capture_output=True,
                       timeout=60)
        # The bands of a shaped queue took their length when they were made.
        shaped = subprocess.run(["tc", "qdisc", "show", "dev", interface, "parent", "1:1"], capture_output=True,
                                text=True, timeout=60).stdout
        if "qdisc prio 10:" in shaped:
            for band in (1, 2, 3):
                subprocess.run(["tc", "qdisc", "replace", "dev", interface, "parent", f"10:{band}", "pfifo", "limit",
                                length], check=True, capture_output=True, timeout=60)

    set_length(str(frames))
    try:
        yield
    finally:
        set_length(before)


def set_bitrate(interface: str, bitrate: int) -> None:
    """A CAN controller's bitrate; it has to be down while it changes."""
    for command in (["ip", "link", "set", interface, "down"],
                    ["ip", "link", "set", interface, "type", "can", "bitrate", str(bitrate)],
                    ["ip", "link", "set", interface, "up"]):
        subprocess.run(command, check=True, capture_output=True, timeout=60)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Shape CAN interfaces to the frame rate of a bitrate.")
    parser.add_argument("--bitrate", type=int, required=True, help="bits per second, e.g. 250000")
    parser.add_argument("interfaces", nargs="+")
    args = parser.parse_args(argv)
    if args.bitrate <= 0:
        parser.error("--bitrate must be positive")
    for interface in args.interfaces:
        if not os.path.exists(f"/sys/class/net/{interface}"):
            parser.error(f"no interface {interface}")
        if not is_virtual(interface):
            set_bitrate(interface, args.bitrate)
        shape(interface, frames_per_second(args.bitrate))
    print(f"busrate: {' '.join(args.interfaces)} carry at most {frames_per_second(args.bitrate):.0f} frames/s "
          f"({args.bitrate} bit/s, {most_frame_bits(8)} bits per eight-byte frame)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
