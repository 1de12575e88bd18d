"""The CAN interfaces a run was given by tools/canbus/on-can-bus, and what kind they are."""

import os
import socket

INTERFACE = os.environ.get("TORVANE_TEST_IFACE", "vcan0")
SECOND_INTERFACE = os.environ.get("TORVANE_TEST_IFACE2", "vcan1")
# Two controllers at the two ends of one bus, where the bench has them (real CAN
# controllers): what one sends crosses the wire to the other. None on vcan.
WIRE = tuple(os.environ.get("TORVANE_TEST_WIRE", "").split()) or None
# The bitrate whose frame rate the buses were shaped to (on-can-bus --bitrate), or None.
BITRATE = int(os.environ.get("TORVANE_BITRATE") or 0) or None


def is_virtual(interface: str) -> bool:
    """vcan has no device behind it; a CAN controller's driver has."""
    return not os.path.exists(f"/sys/class/net/{interface}/device")


def can_open(interface: str) -> bool:
    """Whether a raw CAN socket can be bound to `interface` here."""
    try:
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as s:
            s.bind((interface,))
        return True
    except OSError:
        return False
