"""What a user would write instead of torvane: the baselines of the benchmark.

Plain, idiomatic code with python-can and with the standard library's raw CAN
socket, doing the same work as torvane's link and controller: the same frames
out, the same telemetry decoded into a latest-value cache, the same control law
on a thread every 2 ms plus the pass time.
"""

import socket
import struct
import threading

import can

from torvane_dev.protocol import (
    CAN_FRAME,
    GET_BUS_VOLTAGE_CURRENT,
    GET_ENCODER_ESTIMATES,
    GET_IQ,
    GET_TEMPERATURE,
    GET_TORQUES,
    HEARTBEAT,
    SET_POS_GAIN,
    SET_POSITION,
    SET_TORQUE,
    SET_VEL_GAINS,
    arb_id,
)

ONE_FLOAT = struct.Struct("<f")
TWO_FLOATS = struct.Struct("<ff")
HEARTBEAT_LAYOUT = struct.Struct("<IB")
POSITION_LAYOUT = struct.Struct("<fhh")


def milli(value: float) -> int:
    """A feed-forward as the ODrive wants it: signed 16-bit counts of 0.001, saturated."""
    if value != value:  # NaN
        return 0
    return max(-32768, min(32767, int(value * 1000.0)))


class PythonCanLink:
    """python-can bus plus a receive thread that decodes telemetry with struct."""

    def __init__(self, channel: str, recv_timeout: float = 0.1):
        self.bus = can.Bus(interface="socketcan", channel=channel)
        self.axis_error = [0] * 64
        self.axis_state = [0] * 64
        self.encoder = [(0.0, 0.0)] * 64  # (position, velocity), replaced as one tuple
        self.iq = [(0.0, 0.0)] * 64
        self.temperature = [(0.0, 0.0)] * 64
        self.bus_voltage_current = [(0.0, 0.0)] * 64
        self.torque = [0.0] * 64
        self._recv_timeout = recv_timeout
        self._running = True
        self.rx_thread = threading.Thread(target=self._receive, name="python-can rx", daemon=True)
        self.rx_thread.start()

    def _receive(self) -> None:
        recv = self.bus.recv
        timeout = self._recv_timeout
        while self._running:
            msg = recv(timeout)
            if msg is None or msg.is_remote_frame or msg.is_error_frame or msg.is_extended_id:
                continue
            arbitration_id = msg.arbitration_id
            node = (arbitration_id >> 5) & 0x3F
            command = arbitration_id & 0x1F
            data = msg.data
            if command == GET_ENCODER_ESTIMATES:
                if len(data) >= 8:
                    self.encoder[node] = TWO_FLOATS.unpack_from(data)
            elif command == HEARTBEAT:
                if len(data) >= 5:
                    self.axis_error[node], self.axis_state[node] = HEARTBEAT_LAYOUT.unpack_from(data)
            elif command == GET_IQ:
                if len(data) >= 8:
                    self.iq[node] = TWO_FLOATS.unpack_from(data)
            elif command == GET_TEMPERATURE:
                if len(data) >= 8:
                    self.temperature[node] = TWO_FLOATS.unpack_from(data)
            elif command == GET_BUS_VOLTAGE_CURRENT:
                if len(data) >= 8:
                    self.bus_voltage_current[node] = TWO_FLOATS.unpack_from(data)
            elif command == GET_TORQUES:
                if len(data) >= 4:
                    self.torque[node] = ONE_FLOAT.unpack_from(data)[0]

    def get_position_estimate(self, node: int) -> float:
        return self.encoder[node][0]

    def get_velocity_estimate(self, node: int) -> float:
        return self.encoder[node][1]

    def send(self, node: int, command: int, data: bytes) -> None:
        self.bus.send(can.Message(arbitration_id=arb_id(node, command), data=data, is_extended_id=False))

    def torque_command(self, node: int, torque: float) -> None:
        self.send(node, SET_TORQUE, ONE_FLOAT.pack(torque))

    def close(self) -> None:
        self._running = False
        self.rx_thread.join()
        self.bus.shutdown()


class PythonControlLoop:
    """The controller's law in position mode on a Python thread: every pass, per
    motor, torque = kd * velocity error + (kp * position error + feed-forward),
    sent with the position gain, the velocity gains and the position setpoint;
    then a 2 ms sleep."""

    def __init__(self, link: PythonCanLink, motors: list, command: dict, period_s: float = 0.002):
        self.link = link
        self.motors = list(motors)
        self.command = {key: list(values) for key, values in command.items()}
        self.lock = threading.Lock()
        self.period_s = period_s
        self._running = True
        self.thread = threading.Thread(target=self._loop, name="python control loop", daemon=True)
        self.thread.start()

    def update_command(self, command: dict) -> None:
        with self.lock:
            self.command = {key: list(values) for key, values in command.items()}

    def _loop(self) -> None:
        import time

        send = self.link.send
        link = self.link
        sleep = time.sleep
        while self._running:
            with self.lock:
                c = self.command
                for i in self.motors:
                    position, velocity = link.encoder[i]
                    position_error = c["position_setpoint"][i] - position
                    velocity_error = c["velocity_setpoint"][i] - velocity
                    torque = c["kp"][i] * position_error + c["torque_feedforward"][i]
                    torque = c["kd"][i] * velocity_error + torque
                    send(i, SET_POS_GAIN, ONE_FLOAT.pack(c["stiffness"][i]))
                    send(i, SET_VEL_GAINS, TWO_FLOATS.pack(c["damping"][i], c["velocity_integrator"][i]))
                    send(i, SET_POSITION, POSITION_LAYOUT.pack(c["position_setpoint"][i],
                                                               milli(c["velocity_setpoint"][i]), milli(torque)))
            sleep(self.period_s)

    def stop(self) -> None:
        self._running = False
        self.thread.join()


class RawSocketSender:
    """A standard-library raw CAN socket that writes classic frames."""

    def __init__(self, channel: str):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind((channel,))

    def torque_command(self, node: int, torque: float) -> None:
        self.sock.send(CAN_FRAME.pack(arb_id(node, SET_TORQUE), 4, ONE_FLOAT.pack(torque)))

    def close(self) -> None:
        self.sock.close()
