/* What the project's native CAN peers (the benchmark's busagent, the fuzz
 * sender) have in common: a raw socket bound to an interface, the kernel's
 * view of another socket's receive queue, a seeded generator, and dying with a
 * message. Each program is one C file that includes this once. */
#ifndef TORVANE_DEV_CANPEER_H
#define TORVANE_DEV_CANPEER_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "odrive_protocol.h"
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif
#ifndef SO_RXQ_OVFL
#define SO_RXQ_OVFL 40
#endif
#ifndef SO_RCVBUFFORCE
#define SO_RCVBUFFORCE 33
#endif

extern char *program_invocation_short_name;

static void die(const char *what) {
    fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, strerror(errno));
    exit(2);
}

static uint64_t rng_state = 1;
static uint64_t next_random(void) { /* splitmix64 */
    uint64_t z = (rng_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/* A raw CAN socket bound to IFACE, receiving everything. */
static int open_can(const char *iface) {
    int s = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (s < 0) die("socket");
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", iface);
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) die("SIOCGIFINDEX");
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(s, (struct sockaddr *)&addr, sizeof addr) < 0) die("bind");
    return s;
}

/* The kernel's memory figures of socket FD (the link's, passed down to us):
 * SK_MEMINFO_RMEM_ALLOC is what its receive queue holds, SK_MEMINFO_RCVBUF its
 * limit, SK_MEMINFO_DROPS the frames it lost. */
static void meminfo(int fd, uint32_t out[SK_MEMINFO_VARS]) {
    socklen_t len = sizeof(uint32_t) * SK_MEMINFO_VARS;
    memset(out, 0, len);
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, out, &len) < 0) die("getsockopt(SO_MEMINFO) on the link's socket");
}

#endif
