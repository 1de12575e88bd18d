"""A raw SocketCAN endpoint that plays the ODrive side of the bus in tests."""

import errno
import select
import socket
import struct
import time
from typing import NamedTuple

from torvane_dev.protocol import (
    CAN_FRAME,
    CAN_RAW_FD_FRAMES,
    CANFD_BRS,
    CANFD_FRAME,
    CLEAR_ERRORS,
    MAX_NODE,
    SO_RCVBUFFORCE,
    SO_TIMESTAMPNS,
    arb_id,
    command_filter,
    command_of,
    node_of,
)

# clearErrors(63): what a test sends after its setup, so that reading the bus up
# to this frame leaves only what came after it, and that nothing came before it.
MARKER = arb_id(MAX_NODE, CLEAR_ERRORS)

SO_MEMINFO = 55
TIMESPEC = struct.Struct("=qq")
SK_MEMINFO_RMEM_ALLOC, SK_MEMINFO_RCVBUF, SK_MEMINFO_DROPS = 0, 1, 8


def socket_meminfo(sock: socket.socket) -> tuple:
    """The kernel's memory figures of a socket (SK_MEMINFO_*): queued bytes, limit, drops."""
    return struct.unpack("=9I", sock.getsockopt(socket.SOL_SOCKET, SO_MEMINFO, 36))


def f32(*values: float) -> bytes:
    return struct.pack("<" + "f" * len(values), *values)


def as_f32(value: float) -> float:
    """The value rounded to single precision, as the native side sees it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


class Frame(NamedTuple):
    can_id: int
    dlc: int
    data: bytes  # all eight data bytes as delivered

    @property
    def payload(self) -> bytes:
        return self.data[: self.dlc]

    @property
    def node(self) -> int:
        return node_of(self.can_id)

    @property
    def command(self) -> int:
        return command_of(self.can_id)

    def floats(self) -> tuple:
        return struct.unpack("<" + "f" * (self.dlc // 4), self.payload)


class StampedFrame(NamedTuple):
    at: float  # when the kernel received it, seconds on the time.time() clock
    frame: Frame


class CanPeer:
    def __init__(self, interface: str, only_command: int | None = None, buffer_bytes: int = 8 << 20,
                 timestamps: bool = False):
        self.interface = interface
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        if timestamps:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        if only_command is not None:
            # receive standard data frames of one command id only, from any node
            self.sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, command_filter(only_command))
        # Room for a burst of control-loop frames while a slow test reads them.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, buffer_bytes)  # root only
        except OSError:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer_bytes)
        self.sock.bind((interface,))

    def close(self) -> None:
        self.sock.close()

    def send_fd(self, can_id: int, data: bytes, bit_rate_switch: bool = False) -> None:
        """Sends a CAN FD frame of len(data) bytes (a valid FD length, up to 64); the
        interface must carry CAN FD (MTU 72: vcan does)."""
        self.sock.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
        self.sock.send(CANFD_FRAME.pack(can_id, len(data), CANFD_BRS if bit_rate_switch else 0, data.ljust(64, b"\0")))

    def send(self, can_id: int, data: bytes = b"", dlc: int | None = None, queue_timeout: float = 10.0) -> None:
        """Sends a classic frame; `dlc` may differ from len(data) to forge short frames.
        A real controller's transmit queue holds ten frames: while it is full (ENOBUFS)
        the frame is offered again, as a node on a busy bus waits its turn."""
        length = len(data) if dlc is None else dlc
        frame = CAN_FRAME.pack(can_id, length, data.ljust(8, b"\0"))
        deadline = time.monotonic() + queue_timeout
        while True:
            try:
                self.sock.send(frame)
                return
            except OSError as error:
                if error.errno != errno.ENOBUFS or time.monotonic() > deadline:
                    raise
            time.sleep(0.001)

    def _wait(self, timeout: float) -> None:
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            raise TimeoutError(f"no frame on {self.interface} within {timeout} s")

    def recv(self, timeout: float = 10.0) -> Frame:
        self._wait(timeout)
        can_id, dlc, data = CAN_FRAME.unpack(self.sock.recv(CAN_FRAME.size))
        return Frame(can_id, dlc, data)

    def recv_stamped(self, timeout: float = 10.0) -> StampedFrame:
        """The next frame with the kernel's receive time (the peer needs timestamps=True)."""
        self._wait(timeout)
        data, ancillary, _, _ = self.sock.recvmsg(CAN_FRAME.size, socket.CMSG_SPACE(TIMESPEC.size))
        stamps = [item for level, kind, item in ancillary if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS]
        if not stamps:
            raise AssertionError("no receive timestamp: open the peer with timestamps=True")
        seconds, nanoseconds = TIMESPEC.unpack(stamps[0][:TIMESPEC.size])
        return StampedFrame(seconds + nanoseconds * 1e-9, Frame(*CAN_FRAME.unpack(data)))

    def recv_n(self, count: int, timeout: float = 10.0) -> list[Frame]:
        return [self.recv(timeout) for _ in range(count)]

    def collect(self, quiet: float = 0.5, past_interface_down: bool = False, stamped: bool = False) -> list:
        """Every frame queued for this socket, until none comes for `quiet` seconds.
        `past_interface_down` reads on past the ENETDOWN an interface set down reports once;
        `stamped` gives StampedFrames (the peer needs timestamps=True)."""
        receive = self.recv_stamped if stamped else self.recv
        frames = []
        while True:
            try:
                frames.append(receive(timeout=quiet))
            except TimeoutError:
                return frames
            except OSError as error:
                if not past_interface_down or error.errno != errno.ENETDOWN:
                    raise

    def dropped(self) -> int:
        """Frames the kernel dropped because this socket's receive queue was full."""
        return socket_meminfo(self.sock)[SK_MEMINFO_DROPS]

    def drain_through(self, can_id: int, timeout: float = 10.0) -> None:
        """Reads frames up to and including the next one with `can_id`. A real CAN
        controller hands other sockets a frame only once it has left (its echo), so
        a drain right after sending can miss frames still on their way; a marker
        sent last on the same socket comes after all of them."""
        while self.recv(timeout).can_id != can_id:
            pass

    def drain(self) -> None:
        while select.select([self.sock], [], [], 0)[0]:
            self.sock.recv(CAN_FRAME.size)

    def assert_silent(self, seconds: float = 0.2) -> None:
        ready, _, _ = select.select([self.sock], [], [], seconds)
        if ready:
            frame = CAN_FRAME.unpack(self.sock.recv(CAN_FRAME.size))
            raise AssertionError(f"unexpected frame on the bus: {frame}")


def wait_until(predicate, timeout: float = 10.0, interval: float = 0.001):
    """Polls `predicate` until it returns a true value; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)
