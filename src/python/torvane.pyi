"""Low-level Control API bindings for the ODrive motor controllers"""

from typing import ClassVar, Sequence, SupportsFloat, SupportsIndex, SupportsInt

_Int = SupportsInt | SupportsIndex
_Float = SupportsFloat | SupportsIndex
_Pair = Sequence[_Float]

class _Enumeration:
    """What every enumeration of the module offers: each member compares equal to its integer value."""

    def __init__(self, value: int) -> None:
        """The member with this value (a value no member has makes a member named '???')."""
    def __eq__(self, other: object) -> bool:
        """True for the same member, or for its integer value."""
    def __ne__(self, other: object) -> bool:
        """The opposite of ==."""
    def __hash__(self) -> int:
        """The hash of the integer value, so a member and its value find the same dict entry."""
    def __index__(self) -> int:
        """The integer value, where Python wants an index or an int."""
    def __int__(self) -> int:
        """The integer value, as the ODrive protocol carries it."""
    def __getstate__(self) -> int:
        """The integer value, for pickling (protocol 2 or higher)."""
    def __setstate__(self, state: int) -> None:
        """Restores the member of this value, for unpickling."""
    @property
    def name(self) -> str:
        """The member's name, e.g. 'CLOSED_LOOP_CONTROL'."""
    @property
    def value(self) -> int:
        """The member's integer value, e.g. 8 for CLOSED_LOOP_CONTROL."""

class ODriveCanID(_Enumeration):
    """Command ids of the ODrive CAN protocol: the low five bits of a frame's identifier,
    which is node id << 5 | command id. Received messages are the telemetry the ODrives
    broadcast; sent ones are the commands of ODriveSocket."""

    HEARTBEAT: ClassVar[ODriveCanID]
    """0x01, received: axis error (bit field) and axis state."""
    GET_ENCODER_ESTIMATES: ClassVar[ODriveCanID]
    """0x09, received: position estimate (turns) and velocity estimate (turns/s)."""
    GET_IQ: ClassVar[ODriveCanID]
    """0x14, received: Iq setpoint and Iq measured (A)."""
    GET_TEMPERATURE: ClassVar[ODriveCanID]
    """0x15, received: FET temperature and motor temperature (°C)."""
    GET_BUS_VOLTAGE_CURRENT: ClassVar[ODriveCanID]
    """0x17, received: bus voltage (V) and bus current (A)."""
    GET_TORQUES: ClassVar[ODriveCanID]
    """0x1C, received: torque estimate (Nm)."""
    SET_AXIS_STATE: ClassVar[ODriveCanID]
    """0x07, sent: the requested axis state."""
    SET_CONTROL_MODE: ClassVar[ODriveCanID]
    """0x0B, sent: control mode and input mode."""
    SET_LIMITS: ClassVar[ODriveCanID]
    """0x0F, sent: velocity limit (turns/s) and current limit (A)."""
    SET_POS_GAIN: ClassVar[ODriveCanID]
    """0x1A, sent: position gain ((turns/s)/turn)."""
    SET_VEL_GAINS: ClassVar[ODriveCanID]
    """0x1B, sent: velocity gain (Nm/(turns/s)) and velocity-integrator gain (Nm/turn)."""
    SET_POSITION: ClassVar[ODriveCanID]
    """0x0C, sent: position setpoint (turns), velocity feed-forward (turns/s) and torque
    feed-forward (Nm), the feed-forwards in steps of 0.001."""
    SET_VELOCITY: ClassVar[ODriveCanID]
    """0x0D, sent: velocity setpoint (turns/s) and torque feed-forward (Nm)."""
    SET_TORQUE: ClassVar[ODriveCanID]
    """0x0E, sent: torque setpoint (Nm)."""
    CLEAR_ERRORS: ClassVar[ODriveCanID]
    """0x18, sent: clears the axis' errors."""
    __members__: ClassVar[dict[str, ODriveCanID]]
    """Name -> member, in declaration order."""

class ODriveAxisState(_Enumeration):
    """Axis states an ODrive reports in its heartbeat and takes from SET_AXIS_STATE (the ones
    this module names; the link passes any other value through as a plain int)."""

    UNDEFINED: ClassVar[ODriveAxisState]
    """0: also what the link reads for an axis that has sent no heartbeat yet."""
    IDLE: ClassVar[ODriveAxisState]
    """1: the motor is not driven; the rotor turns freely."""
    CLOSED_LOOP_CONTROL: ClassVar[ODriveAxisState]
    """8: the axis follows its setpoints in its control mode."""
    __members__: ClassVar[dict[str, ODriveAxisState]]
    """Name -> member, in declaration order."""

class ODriveControlMode(_Enumeration):
    """What an axis in closed loop follows, and what a MotorController's loop sends."""

    VOLTAGE: ClassVar[ODriveControlMode]
    """0: a controller's loop sends nothing in this mode; a controller starts in it."""
    TORQUE: ClassVar[ODriveControlMode]
    """1: the axis follows a torque setpoint (Nm)."""
    VELOCITY: ClassVar[ODriveControlMode]
    """2: the axis follows a velocity setpoint (turns/s) through its velocity gains, plus a
    torque feed-forward (Nm)."""
    POSITION: ClassVar[ODriveControlMode]
    """3: the axis follows a position setpoint (turns) through its position and velocity
    gains, plus velocity (turns/s) and torque (Nm) feed-forwards."""
    __members__: ClassVar[dict[str, ODriveControlMode]]
    """Name -> member, in declaration order."""

class ODriveInputMode(_Enumeration):
    """How the ODrive treats new setpoints; ramps, filters and trajectories use the rates
    and limits configured on the drive."""

    INACTIVE: ClassVar[ODriveInputMode]
    """0: new setpoints have no effect."""
    PASSTHROUGH: ClassVar[ODriveInputMode]
    """1: setpoints take effect at once (the default of every set-mode call)."""
    VEL_RAMP: ClassVar[ODriveInputMode]
    """2: velocity setpoints are approached along a ramp."""
    POS_FILTER: ClassVar[ODriveInputMode]
    """3: position setpoints pass through the drive's filter."""
    TRAP_TRAJ: ClassVar[ODriveInputMode]
    """5: a position setpoint is reached along a trapezoidal trajectory."""
    TORQUE_RAMP: ClassVar[ODriveInputMode]
    """6: torque setpoints are approached along a ramp."""
    __members__: ClassVar[dict[str, ODriveInputMode]]
    """Name -> member, in declaration order."""

class ODriveSocket:
    """One SocketCAN interface and the ODrives on it.

    A receive thread keeps the latest telemetry of every node: the getters return what
    the node last broadcast, 0 until its first message (the ODrives must be set up to
    broadcast; the link never asks). Each command sends one frame at once and waits for
    nothing; a frame the kernel refuses is dropped. Node ids run from 0 to 63: a larger
    id raises ValueError before anything is read or sent. Units are the ODrive's: turns,
    turns/s, Nm, A, V, °C.
    """

    def __init__(self, if_name: str) -> None:
        """Opens the CAN interface `if_name` (e.g. 'can0') and starts receiving; RuntimeError
        when it cannot be opened. It closes when the last owner, this object or a
        MotorController built on it, is gone."""
    def getAxisError(self, id: _Int) -> int:
        """Axis error bits of node `id` from its last heartbeat; 0: no error."""
    def getAxisState(self, id: _Int) -> int:
        """Axis state of node `id` from its last heartbeat, a plain int that compares equal to
        the ODriveAxisState members (0, UNDEFINED, before the first heartbeat)."""
    def getPositionEstimate(self, id: _Int) -> float:
        """Position estimate of node `id`, turns."""
    def getVelocityEstimate(self, id: _Int) -> float:
        """Velocity estimate of node `id`, turns/s."""
    def getTorqueEstimate(self, id: _Int) -> float:
        """Torque estimate of node `id`, Nm."""
    def getIqSetpoint(self, id: _Int) -> float:
        """Iq setpoint (torque-producing current the drive aims at) of node `id`, A."""
    def getIqMeasured(self, id: _Int) -> float:
        """Iq measured (torque-producing current) of node `id`, A."""
    def getFETTemperature(self, id: _Int) -> float:
        """Temperature of node `id`'s power stage (FETs), °C."""
    def getMotorTemperature(self, id: _Int) -> float:
        """Motor temperature of node `id`, °C."""
    def getBusVoltage(self, id: _Int) -> float:
        """DC bus voltage at node `id`, V."""
    def getBusCurrent(self, id: _Int) -> float:
        """DC bus current of node `id`, A."""
    def setAxisState(self, id: _Int, axis_state: _Int) -> None:
        """Requests an axis state of node `id`: an ODriveAxisState (IDLE, CLOSED_LOOP_CONTROL)
        or any int from 0 to 255, sent as given."""
    def setControlMode(self, id: _Int, control_mode: _Int, input_mode: _Int = ...) -> None:
        """Sets node `id`'s control mode and input mode (ODriveControlMode and ODriveInputMode
        members or ints; input mode PASSTHROUGH when omitted)."""
    def position_command(
        self, id: _Int, pos_setpoint: _Float, vel_feedforward: _Float = 0.0, torq_feedforward: _Float = 0.0
    ) -> None:
        """Position setpoint of node `id`, turns, with a velocity feed-forward in turns/s and a
        torque feed-forward in Nm. The feed-forwards travel in steps of 0.001 (truncated
        toward zero) and saturate at +-32.767."""
    def velocity_command(self, id: _Int, vel_setpoint: _Float, torq_feedforward: _Float = 0.0) -> None:
        """Velocity setpoint of node `id`, turns/s, with a torque feed-forward in Nm."""
    def torque_command(self, id: _Int, torq_setpoint: _Float) -> None:
        """Torque setpoint of node `id`, Nm."""
    def setLimits(self, id: _Int, vel_limit: _Float, curr_limit: _Float) -> None:
        """Limits of node `id`: velocity limit in turns/s, current limit in A."""
    def set_stiffness(self, id: _Int, pos_gain: _Float) -> None:
        """Position gain of node `id`'s own position loop, (turns/s)/turn: the velocity it
        commands per turn of position error."""
    def set_damping(self, id: _Int, vel_gain: _Float, vel_integrator_gain: _Float = 0.0) -> None:
        """Gains of node `id`'s own velocity loop: velocity gain in Nm/(turns/s) and
        velocity-integrator gain in Nm/turn (0 when omitted)."""
    def clearErrors(self, id: _Int) -> None:
        """Clears node `id`'s errors."""

class MotorCommand:
    """What a MotorController is to do, per motor: every field is a list [motor 0, motor 1],
    element i for the motor (and node) id i; all 0.0 when made.

    Each field reads as a new list: assign the whole list (cmd.kp = [8.0, 8.0]), then hand
    the record over with MotorController.update_command. Each pass the loop computes, per
    motor, torque = kd * (velocity_setpoint - velocity) + kp * (position_setpoint - position)
    + torque_feedforward and sends it by the control mode: as the torque setpoint (TORQUE),
    or as the torque feed-forward of the velocity setpoint (VELOCITY) or of the position
    setpoint (POSITION). In VELOCITY and POSITION mode it also sends the drive's own gains
    from this record every pass: at their default of 0 the axis is limp.
    """

    def __init__(self) -> None:
        """A command with every value 0.0."""
    @property
    def position_setpoint(self) -> list[float]:
        """Target positions, turns. Enter the torque through kp; in POSITION mode also sent as
        the drive's position setpoint."""
    @position_setpoint.setter
    def position_setpoint(self, value: _Pair) -> None: ...
    @property
    def velocity_setpoint(self) -> list[float]:
        """Target velocities, turns/s. Enter the torque through kd; sent as the velocity
        setpoint in VELOCITY mode and as the velocity feed-forward (steps of 0.001 turns/s)
        in POSITION mode."""
    @velocity_setpoint.setter
    def velocity_setpoint(self, value: _Pair) -> None: ...
    @property
    def torque_feedforward(self) -> list[float]:
        """Feed-forward torques, Nm, added to the computed torque (which POSITION mode sends in
        steps of 0.001 Nm, up to +-32.767)."""
    @torque_feedforward.setter
    def torque_feedforward(self, value: _Pair) -> None: ...
    @property
    def damping(self) -> list[float]:
        """The drive's velocity gain, Nm/(turns/s), sent every pass in VELOCITY and POSITION
        mode; 0 leaves the axis limp."""
    @damping.setter
    def damping(self, value: _Pair) -> None: ...
    @property
    def velocity_integrator(self) -> list[float]:
        """The drive's velocity-integrator gain, Nm/turn, sent with damping every pass in
        VELOCITY and POSITION mode."""
    @velocity_integrator.setter
    def velocity_integrator(self, value: _Pair) -> None: ...
    @property
    def stiffness(self) -> list[float]:
        """The drive's position gain, (turns/s)/turn, sent every pass in POSITION mode; 0 leaves
        the axis limp."""
    @stiffness.setter
    def stiffness(self, value: _Pair) -> None: ...
    @property
    def kp(self) -> list[float]:
        """Gain on the position error in the computed torque, Nm/turn; stays in the controller."""
    @kp.setter
    def kp(self, value: _Pair) -> None: ...
    @property
    def kd(self) -> list[float]:
        """Gain on the velocity error in the computed torque, Nm/(turns/s); stays in the
        controller."""
    @kd.setter
    def kd(self, value: _Pair) -> None: ...

class MotorState:
    """What the motors last reported, per motor: every field is a list [motor 0, motor 1],
    element i for the motor (and node) id i. MotorController.get_motor_states fills the
    entries of its motors from the link's telemetry and leaves the others 0.0. Each field
    reads as a new list. Copies and pickles (protocol 2 or higher)."""

    def __init__(self) -> None:
        """A state with every value 0.0."""
    @property
    def position(self) -> list[float]:
        """Position estimates, turns."""
    @position.setter
    def position(self, value: _Pair) -> None: ...
    @property
    def velocity(self) -> list[float]:
        """Velocity estimates, turns/s."""
    @velocity.setter
    def velocity(self, value: _Pair) -> None: ...
    @property
    def torque_estimate(self) -> list[float]:
        """Torque estimates, Nm."""
    @torque_estimate.setter
    def torque_estimate(self, value: _Pair) -> None: ...
    @property
    def current_setpoint(self) -> list[float]:
        """Iq setpoints (torque-producing current the drive aims at), A."""
    @current_setpoint.setter
    def current_setpoint(self, value: _Pair) -> None: ...
    @property
    def current_measured(self) -> list[float]:
        """Iq measured (torque-producing current), A."""
    @current_measured.setter
    def current_measured(self, value: _Pair) -> None: ...
    def __getstate__(self) -> tuple[list[float], list[float], list[float], list[float], list[float]]:
        """(position, velocity, torque_estimate, current_setpoint, current_measured), for pickling."""
    def __setstate__(self, arg0: tuple[_Pair, _Pair, _Pair, _Pair, _Pair], /) -> None:
        """Restores the five fields from such a tuple, for unpickling."""
    def __copy__(self) -> MotorState:
        """An independent copy."""
    def __deepcopy__(self, memo: dict[int, object]) -> MotorState:
        """An independent copy."""

class MotorController:
    """Drives the axes with node ids 0 and 1 (both or one) over an ODriveSocket, with a native
    control loop that runs without the interpreter lock, every 2 ms plus the pass time.

    The first controller in a process makes SIGINT and SIGTERM an emergency stop: every
    controller sends IDLE to its motors, then prints 'Running ESTOP', and the process exits
    with the signal number within half a second. Dropping a controller stops its loop and
    sends IDLE to its motors.
    """

    def __init__(self, odrv: ODriveSocket, motor_ids: Sequence[_Int]) -> None:
        """A controller of the motors `motor_ids` on the link `odrv`, each id both the node id
        and the index into the records; ValueError for an id of 2 or more. Sends nothing and
        keeps the link open while it lives."""
    def set_axis_state(self, axis_state: ODriveAxisState) -> None:
        """Requests this axis state of every motor, e.g. CLOSED_LOOP_CONTROL or IDLE."""
    def set_control_mode(self, control_mode: ODriveControlMode, input_mode: ODriveInputMode = ...) -> None:
        """Sets every motor's control mode (and input mode, PASSTHROUGH when omitted), and what
        the loop sends from its next pass: TORQUE the torque setpoint; VELOCITY damping and
        velocity_integrator, then the velocity setpoint; POSITION stiffness, then damping
        and velocity_integrator, then the position setpoint; VOLTAGE nothing."""
    def initialize_control_thread(self) -> None:
        """Starts the control loop on its native thread; RuntimeError when it already runs, or
        in a process forked after the link was opened."""
    def stop_control_thread(self) -> None:
        """Stops the control loop and waits for it: no loop frame follows. RuntimeError when no
        loop runs. The drives go on following the last setpoints they received (in TORQUE mode,
        the last torque)."""
    def update_command(self, command: MotorCommand) -> None:
        """Copies this controller's motors' entries of `command`; the loop uses them from its
        next pass. Later changes to `command` need another update_command."""
    def get_motor_states(self) -> MotorState:
        """A new MotorState from the link's latest telemetry of this controller's motors."""
    def get_axis_state(self) -> list[str]:
        """Each motor's last reported axis state, in motor_ids order: 'UNDEFINED' (also before
        its first heartbeat), 'IDLE', 'CLOSED_LOOP_CONTROL' or 'UNKNOWN'."""
