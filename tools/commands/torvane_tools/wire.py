"""How long a CAN frame holds the bus: the bits it takes on the wire, stuff bits and the
intermission after it included. One model for the bus load torvane-check reports and
for the frame rate the development bench shapes a bus to.

A classic frame runs at one bitrate throughout. A CAN FD frame with bit-rate switching
(CANFD_BRS) runs its data phase, from the ESI bit to the CRC, at the data bitrate; its
CRC field carries fixed stuff bits instead of dynamic ones.
"""

from torvane_tools.protocol import CAN_EFF_FLAG, CAN_EFF_MASK, CAN_RTR_FLAG, CAN_SFF_MASK

# CRC delimiter, ACK slot and delimiter, end of frame, intermission: never stuffed.
TAIL_BITS = 1 + 2 + 7 + 3
# CAN FD data length codes above 8, by the length they stand for.
FD_DLC = {12: 9, 16: 10, 20: 11, 24: 12, 32: 13, 48: 14, 64: 15}


def _bits(value, width):
    return [(value >> shift) & 1 for shift in range(width - 1, -1, -1)]


def _crc15(bits):
    crc = 0
    for bit in bits:
        feedback = bit ^ (crc >> 14)
        crc = (crc << 1) & 0x7FFF
        if feedback:
            crc ^= 0x4599
    return crc


def _stuffed(bits):
    """For each bit, whether a stuff bit follows it: one after every five equal bits, the
    stuff bit itself counting as the first of the next run."""
    after = []
    run, last = 0, None
    for bit in bits:
        if bit == last:
            run += 1
        else:
            last, run = bit, 1
        if run == 5:
            after.append(True)
            last, run = 1 - bit, 1
        else:
            after.append(False)
    return after


def _identifier_bits(can_id):
    """Start of frame and the identifier, with SRR and IDE for an extended one."""
    if can_id & CAN_EFF_FLAG:
        ident = can_id & CAN_EFF_MASK
        return [0] + _bits(ident >> 18, 11) + [1, 1] + _bits(ident & 0x3FFFF, 18)
    return [0] + _bits(can_id & CAN_SFF_MASK, 11)


def frame_bits(can_id, length, data):
    """The bits one classic CAN frame takes on the wire. A remote frame carries no data."""
    remote = 1 if can_id & CAN_RTR_FLAG else 0
    # RTR, then IDE and r0 (standard) or r1 and r0 (extended), then the length code.
    bits = _identifier_bits(can_id) + [remote, 0, 0] + _bits(length, 4)
    if not remote:
        for byte in data[:length]:
            bits += _bits(byte, 8)
    bits += _bits(_crc15(bits), 15)
    return len(bits) + sum(_stuffed(bits)) + TAIL_BITS


def most_frame_bits(data_bytes=8):
    """The most bits a classic standard data frame of `data_bytes` can take: with a stuff
    bit after every four bits but the first from the start of frame to the end of the CRC."""
    stuffed = 34 + 8 * data_bytes
    return stuffed + (stuffed - 1) // 4 + TAIL_BITS


def fd_frame_bits(can_id, length, data, bit_rate_switch):
    """(bits at the nominal bitrate, bits at the data bitrate) of one CAN FD frame; without
    bit-rate switching every bit is at the nominal bitrate."""
    arbitration = _identifier_bits(can_id)
    arbitration += [0] if can_id & CAN_EFF_FLAG else [0, 0]  # RRS; and IDE for a standard identifier
    arbitration += [1, 0, 1 if bit_rate_switch else 0]  # FDF, res, BRS
    dlc = length if length <= 8 else FD_DLC.get(length, 15)
    data_phase = [0] + _bits(dlc, 4)  # ESI (error-active), DLC
    for byte in data[:length]:
        data_phase += _bits(byte, 8)
    stuffed = _stuffed(arbitration + data_phase)
    crc_bits = 17 if length <= 16 else 21
    # The stuff count (three bits and parity) and the CRC, a fixed stuff bit before
    # every four of them.
    crc_field = 4 + crc_bits + -(-(4 + crc_bits) // 4)
    nominal = len(arbitration) + sum(stuffed[:len(arbitration)]) + TAIL_BITS
    fast = len(data_phase) + sum(stuffed[len(arbitration):]) + crc_field
    return (nominal, fast) if bit_rate_switch else (nominal + fast, 0)
