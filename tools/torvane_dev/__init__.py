"""What torvane's tests, tools and demo share: the ODrive protocol as the other
side of the wire speaks it (protocol, odrive_protocol.h), a raw SocketCAN peer
(canpeer, canpeer.h), the simulated ODrive as a test fixture (simfixture), the
faulty-bus and fork scenarios with their judges (faultcheck), the robot programs
the tests run as child processes (*_child.py), and what a run records about
itself (buses, procfs, results) and the generated pages of docs/ (doc_page)."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def program(name: str) -> str:
    """The path of one of the child programs in this package, e.g. program("estop_child.py")."""
    return os.path.join(HERE, name)
