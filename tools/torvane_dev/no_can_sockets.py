"""Runs a command with CAN sockets refused, as a container's or a sandbox's policy
refuses them: a seccomp filter makes socket(AF_CAN, ...) fail with EACCES, and
everything else runs as usual. x86_64 only.

    python no_can_sockets.py CMD ARGS...
"""

import ctypes
import os
import socket
import struct
import sys

PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_ALLOW = 0x7FFF0000
SECCOMP_RET_ERRNO = 0x00050000
EACCES = 13
AUDIT_ARCH_X86_64 = 0xC000003E
NR_SOCKET_X86_64 = 41
# struct seccomp_data: nr (u32), arch (u32), instruction pointer (u64), args (6 x u64).
OFFSET_NR, OFFSET_ARCH, OFFSET_ARG0 = 0, 4, 16
BPF_LD_W_ABS, BPF_JEQ_K, BPF_RET_K = 0x20, 0x15, 0x06


def instruction(code, jump_true, jump_false, k):
    return struct.pack("=HBBI", code, jump_true, jump_false, k)


def deny_can_sockets():
    program = b"".join([
        instruction(BPF_LD_W_ABS, 0, 0, OFFSET_ARCH),
        instruction(BPF_JEQ_K, 0, 5, AUDIT_ARCH_X86_64),   # another ABI: allow
        instruction(BPF_LD_W_ABS, 0, 0, OFFSET_NR),
        instruction(BPF_JEQ_K, 0, 3, NR_SOCKET_X86_64),     # not socket(): allow
        instruction(BPF_LD_W_ABS, 0, 0, OFFSET_ARG0),
        instruction(BPF_JEQ_K, 0, 1, socket.AF_CAN),        # another family: allow
        instruction(BPF_RET_K, 0, 0, SECCOMP_RET_ERRNO | EACCES),
        instruction(BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW),
    ])
    count = len(program) // 8
    code = ctypes.create_string_buffer(program, len(program))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    fprog = SockFprog(count, ctypes.addressof(code))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or \
            libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(fprog), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp filter not installed")


if __name__ == "__main__":
    deny_can_sockets()
    os.execvp(sys.argv[1], sys.argv[1:])
