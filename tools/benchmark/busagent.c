/*
 * busagent: the native side of the benchmark's bus work, where a Python peer
 * inside the emulated VM would be too slow or too imprecise.
 *
 *   busagent listen --iface IF [--id ID --mask MASK] [--stamps PATH]
 *       Receives frames (those with can_id & MASK == ID & MASK when given) until
 *       SIGTERM or SIGINT, with a 64 MiB receive buffer. With --stamps, writes
 *       each frame's kernel receive time (SO_TIMESTAMPNS, int64 ns) to PATH.
 *       Prints "ready" once bound, then a JSON summary when stopped:
 *       {"frames": N, "overflows": DROPPED_BY_THE_KERNEL}.
 *
 *   busagent pulse --iface IF --nodes A[,B...] --count N --gap-us MIN:MAX
 *                  [--times PATH] [--seed S]
 *       Sends N rounds (0 = until SIGTERM) of encoder-estimate frames, one per
 *       node per round, with position k+1 and velocity -(k+1) in round k, and a
 *       random gap in [MIN, MAX] microseconds between rounds. With --times,
 *       writes CLOCK_MONOTONIC (int64 ns) taken just before each round's first
 *       write to PATH.
 *
 *   busagent flood --iface IF --node N --count K --link-fd FD [--mix]
 *       Writes K telemetry frames as fast as the receiving link drains its
 *       socket: frames go out 32 per sendmmsg(), a batch only while the link's
 *       receive queue (FD, a duplicate of the link's own socket, read only with
 *       SO_MEMINFO) is below half its limit, so the kernel has no reason to drop
 *       any. Frame k is an
 *       encoder estimate of node N with position k+1 and velocity -(k+1); with
 *       --mix the other telemetry messages (heartbeat, Iq, temperatures, bus
 *       voltage and current, torques) are interleaved, and the last frame is
 *       always an encoder estimate. Waits until the link's queue is empty, then
 *       prints a JSON summary with the elapsed time from the first write to the
 *       emptied queue, the time spent inside write() (the most this writer
 *       alone could put on the bus), and the link's drop counter before and after.
 *
 *   busagent loop --iface IF --nodes A[,B...] [--period-us US]
 *       A reference for the control loop's period: until SIGTERM, a pass writes
 *       per node the three frames of a position-mode pass (position gain,
 *       velocity gains, position setpoint), then sleeps US (2000) microseconds.
 *       What plain C gets from this machine's scheduler and timers.
 *
 *   busagent send --iface IF --seconds S
 *       A reference for sending commands: for S seconds, torque commands for
 *       node 0 (the values the Python senders use), one send() per frame; a frame
 *       the kernel refuses (ENOBUFS, EAGAIN) is offered again. Prints a JSON
 *       summary: frames sent and the seconds taken. What a sender making one
 *       system call per frame gets from this kernel.
 *
 *   busagent idle-on-signal --iface IF --nodes A[,B...]
 *       A reference for the emergency stop: prints "ready", then waits; its
 *       SIGINT or SIGTERM handler writes one IDLE axis-state request per node
 *       listed (in that order, a node listed twice gets two), with write(),
 *       and ends the process with the signal number as its exit status. A frame
 *       the kernel refuses is offered again for up to 250 ms.
 *
 *   busagent teardown --iface IF --count N
 *       A reference for destroying a link: N times, opens a socket as a link
 *       does (receive-everything filter, bound), starts a thread waiting in
 *       poll() on it and on an eventfd, waits 5 ms, then times waking it through
 *       the eventfd, joining it and closing both descriptors. Prints the
 *       samples in microseconds as JSON.
 *
 * Build: gcc -O2 -Wall -Wextra -Werror -pthread -o busagent busagent.c
 */
#define _GNU_SOURCE
#include "../torvane_dev/canpeer.h"
#include <inttypes.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#ifndef SO_TIMESTAMPNS
#define SO_TIMESTAMPNS 35
#endif

static volatile sig_atomic_t stop_requested;
static void on_stop(int signum) {
    (void)signum;
    stop_requested = 1;
}

static int64_t mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void sleep_until(int64_t deadline_ns) {
    struct timespec ts = {(time_t)(deadline_ns / 1000000000), (long)(deadline_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR && !stop_requested) {
    }
}

static void put_f32(uint8_t *out, float value) { memcpy(out, &value, 4); /* little-endian host */ }

static void encoder_frame(struct can_frame *f, unsigned node, uint32_t k) {
    memset(f, 0, sizeof *f);
    f->can_id = odrive_arb_id(node, GET_ENCODER_ESTIMATES);
    f->len = 8;
    put_f32(&f->data[0], (float)(k + 1));
    put_f32(&f->data[4], -(float)(k + 1));
}

static void write_frame(int s, const struct can_frame *f) {
    for (;;) {
        ssize_t put = write(s, f, sizeof *f);
        if (put == (ssize_t)sizeof *f) return;
        if (put < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
            sched_yield();
            continue;
        }
        die("write");
    }
}

static void write_int64s(const char *path, const int64_t *values, size_t n) {
    FILE *out = fopen(path, "wb");
    if (!out) die(path);
    if (fwrite(values, sizeof *values, n, out) != n || fclose(out) != 0) die(path);
}

/* ---- listen ---- */

static int cmd_listen(const char *iface, int have_filter, canid_t id, canid_t mask, const char *stamps_path) {
    int s = open_can(iface);
    if (have_filter) {
        struct can_filter filter = {id, mask};
        if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0) die("CAN_RAW_FILTER");
    }
    int one = 1, big = 64 << 20;
    if (setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) < 0) die("SO_RXQ_OVFL");
    if (setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) < 0) die("SO_TIMESTAMPNS");
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) < 0 &&
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) < 0)
        die("SO_RCVBUF");

    size_t capacity = 1 << 16, n = 0;
    int64_t *stamps = stamps_path ? malloc(capacity * sizeof *stamps) : NULL;
    if (stamps_path && !stamps) die("malloc");
    uint32_t overflows = 0;
    printf("ready\n");
    fflush(stdout);
    while (!stop_requested) {
        struct can_frame f;
        char control[CMSG_SPACE(sizeof(struct timespec)) + CMSG_SPACE(sizeof(uint32_t))];
        struct iovec iov = {&f, sizeof f};
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(s, &msg, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            die("recvmsg");
        }
        if (got != (ssize_t)sizeof f) continue;
        int64_t stamp = 0;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SO_RXQ_OVFL) {
                memcpy(&overflows, CMSG_DATA(c), sizeof overflows);
            } else if (c->cmsg_type == SO_TIMESTAMPNS) {
                struct timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof ts);
                stamp = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
            }
        }
        if (stamps) {
            if (n == capacity) {
                capacity *= 2;
                stamps = realloc(stamps, capacity * sizeof *stamps);
                if (!stamps) die("realloc");
            }
            stamps[n] = stamp;
        }
        n++;
    }
    if (stamps_path) write_int64s(stamps_path, stamps, n);
    printf("{\"frames\": %zu, \"overflows\": %u}\n", n, overflows);
    return 0;
}

/* ---- pulse ---- */

static int cmd_pulse(const char *iface, const unsigned *nodes, size_t node_count, uint64_t count, int64_t gap_min_us,
                     int64_t gap_max_us, const char *times_path) {
    int s = open_can(iface);
    int64_t *times = NULL;
    if (times_path) {
        times = calloc(count ? count : 1, sizeof *times);
        if (!times) die("calloc");
    }
    int64_t next = mono_ns();
    uint64_t k = 0;
    for (; (count == 0 || k < count) && !stop_requested; k++) {
        int64_t span = gap_max_us - gap_min_us;
        int64_t gap_us = gap_min_us + (span > 0 ? (int64_t)(next_random() % (uint64_t)(span + 1)) : 0);
        next += gap_us * 1000;
        sleep_until(next);
        if (stop_requested) break;
        struct can_frame frames[64];
        for (size_t i = 0; i < node_count; i++) encoder_frame(&frames[i], nodes[i], (uint32_t)k);
        const int64_t before_write = mono_ns();
        for (size_t i = 0; i < node_count; i++) write_frame(s, &frames[i]);
        if (times) times[k] = before_write;
    }
    if (times) write_int64s(times_path, times, k);
    printf("{\"rounds\": %" PRIu64 "}\n", k);
    return 0;
}

/* ---- flood ---- */

static void mixed_frame(struct can_frame *f, unsigned node, uint32_t k) {
    const enum odrive_command kind = ODRIVE_TELEMETRY[k % sizeof ODRIVE_TELEMETRY];
    if (kind == GET_ENCODER_ESTIMATES) {
        encoder_frame(f, node, k);
        return;
    }
    memset(f, 0, sizeof *f);
    f->can_id = odrive_arb_id(node, kind);
    f->len = 8;
    if (kind == HEARTBEAT) {
        const uint32_t error = k;
        memcpy(&f->data[0], &error, 4);
        f->data[4] = 8;  /* closed loop */
    } else {
        put_f32(&f->data[0], (float)k);
        put_f32(&f->data[4], (float)k * 0.5f);
    }
}

/* Frames handed to the kernel per sendmmsg(): a writer that made one system call
   per frame would be slower than the receiver it is meant to measure. 32 frames
   take about a sixth of a default receive buffer, so pacing at half full keeps
   the link's queue clear of its limit. */
#define FLOOD_BATCH 32

static int cmd_flood(const char *iface, unsigned node, uint64_t count, int link_fd, int mix) {
    int s = open_can(iface);
    uint32_t before[SK_MEMINFO_VARS], info[SK_MEMINFO_VARS], after[SK_MEMINFO_VARS];
    meminfo(link_fd, before);
    uint64_t paced_waits = 0;
    uint32_t max_queued = 0;
    int64_t in_write_ns = 0; /* time spent in sendmmsg(): what this writer alone could put on the bus */
    struct can_frame frames[FLOOD_BATCH];
    struct iovec buffers[FLOOD_BATCH];
    struct mmsghdr messages[FLOOD_BATCH];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < FLOOD_BATCH; i++) {
        buffers[i].iov_base = &frames[i];
        buffers[i].iov_len = sizeof frames[i];
        messages[i].msg_hdr.msg_iov = &buffers[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int64_t start = mono_ns();
    for (uint64_t k = 0; k < count;) {
        unsigned batch = 0;
        for (; batch < FLOOD_BATCH && k + batch < count; batch++) {
            const uint64_t n = k + batch;
            if (mix && n + 1 < count) {
                mixed_frame(&frames[batch], node, (uint32_t)n);
            } else {
                encoder_frame(&frames[batch], node, (uint32_t)n);
            }
        }
        /* Nobody else feeds the link's socket (it does not receive its own
           frames), so the queue can only shrink between this check and the write. */
        for (;;) {
            meminfo(link_fd, info);
            if (info[SK_MEMINFO_RMEM_ALLOC] > max_queued) max_queued = info[SK_MEMINFO_RMEM_ALLOC];
            if (info[SK_MEMINFO_RMEM_ALLOC] < info[SK_MEMINFO_RCVBUF] / 2) break;
            paced_waits++;
            sched_yield();
        }
        const int64_t before_write = mono_ns();
        for (unsigned sent = 0; sent < batch;) {
            const int put = sendmmsg(s, &messages[sent], batch - sent, 0);
            if (put > 0) {
                sent += (unsigned)put;
            } else if (put < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
                sched_yield();
            } else {
                die("sendmmsg");
            }
        }
        in_write_ns += mono_ns() - before_write;
        k += batch;
    }
    const int64_t written = mono_ns();
    for (;;) {
        meminfo(link_fd, info);
        if (info[SK_MEMINFO_RMEM_ALLOC] == 0) break;
        sched_yield();
    }
    const int64_t drained = mono_ns();
    meminfo(link_fd, after);
    printf("{\"frames\": %" PRIu64 ", \"last_position\": %.1f, \"write_seconds\": %.6f, \"seconds\": %.6f"
           ", \"in_write_seconds\": %.6f, \"batch\": %d"
           ", \"paced_waits\": %" PRIu64 ", \"link_rcvbuf\": %u, \"link_max_queued_bytes\": %u"
           ", \"link_drops_before\": %u, \"link_drops_after\": %u}\n",
           count, (double)count, (double)(written - start) / 1e9, (double)(drained - start) / 1e9,
           (double)in_write_ns / 1e9, FLOOD_BATCH, paced_waits,
           before[SK_MEMINFO_RCVBUF], max_queued, before[SK_MEMINFO_DROPS], after[SK_MEMINFO_DROPS]);
    return 0;
}

/* ---- loop ---- */

static int cmd_loop(const char *iface, const unsigned *nodes, size_t node_count, int64_t period_us) {
    int s = open_can(iface);
    while (!stop_requested) {
        for (size_t i = 0; i < node_count; i++) {
            struct can_frame f;
            memset(&f, 0, sizeof f);
            f.can_id = odrive_arb_id(nodes[i], SET_POS_GAIN);
            f.len = 4;
            put_f32(&f.data[0], 20.0f);
            write_frame(s, &f);
            f.can_id = odrive_arb_id(nodes[i], SET_VEL_GAINS);
            f.len = 8;
            put_f32(&f.data[0], 0.2f);
            put_f32(&f.data[4], 0.1f);
            write_frame(s, &f);
            f.can_id = odrive_arb_id(nodes[i], SET_POSITION); /* with feed-forwards */
            put_f32(&f.data[0], 0.5f);
            memset(&f.data[4], 0, 4);
            write_frame(s, &f);
        }
        struct timespec pause = {(time_t)(period_us / 1000000), (long)(period_us % 1000000) * 1000};
        nanosleep(&pause, NULL);
    }
    printf("{}\n");
    return 0;
}

/* ---- send ---- */

static int cmd_send(const char *iface, double seconds) {
    int s = open_can(iface);
    /* It never reads: an empty filter, so the kernel delivers it nothing. */
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, NULL, 0) < 0) die("CAN_RAW_FILTER");
    struct can_frame frames[128];
    for (int i = 0; i < 128; i++) {
        memset(&frames[i], 0, sizeof frames[i]);
        frames[i].can_id = odrive_arb_id(0, SET_TORQUE);
        frames[i].len = 4;
        put_f32(&frames[i].data[0], (float)(((i % 2001) - 1000) * 0.001));
    }
    uint64_t sent = 0, refused = 0;
    const int64_t start = mono_ns(), end = start + (int64_t)(seconds * 1e9);
    int64_t now = start;
    while (now < end && !stop_requested) {
        for (int i = 0; i < 128; i++) {
            while (send(s, &frames[i], sizeof frames[i], 0) != (ssize_t)sizeof frames[i]) {
                if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) die("send");
                refused++;
                sched_yield();
            }
        }
        sent += 128;
        now = mono_ns();
    }
    printf("{\"sent\": %" PRIu64 ", \"refused\": %" PRIu64 ", \"seconds\": %.6f}\n", sent, refused,
           (double)(now - start) / 1e9);
    return 0;
}

/* ---- idle-on-signal ---- */

static int idle_socket = -1;
static struct can_frame idle_frames[64];
static size_t idle_count;

/* Signal context: write(), clock_gettime() and _exit() only. */
static void write_idle_and_exit(int signum) {
    const int64_t give_up = mono_ns() + 250000000;
    for (size_t i = 0; i < idle_count; i++) {
        while (write(idle_socket, &idle_frames[i], sizeof idle_frames[i]) != (ssize_t)sizeof idle_frames[i] &&
               mono_ns() < give_up) {
        }
    }
    _exit(signum);
}

static int cmd_idle_on_signal(const char *iface, const unsigned *nodes, size_t node_count) {
    idle_socket = open_can(iface);
    for (size_t i = 0; i < node_count; i++) {
        memset(&idle_frames[i], 0, sizeof idle_frames[i]);
        idle_frames[i].can_id = odrive_arb_id(nodes[i], SET_AXIS_STATE);
        idle_frames[i].len = 4;
        idle_frames[i].data[0] = 1; /* IDLE */
    }
    idle_count = node_count;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = write_idle_and_exit;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT); /* one stop: the other signal waits, and the process ends first */
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    printf("ready\n");
    fflush(stdout);
    for (;;) pause();
    return 0;
}

/* ---- teardown ---- */

static int teardown_socket, teardown_wake;

static void *teardown_waiter(void *arg) {
    (void)arg;
    struct pollfd fds[2] = {{teardown_socket, POLLIN, 0}, {teardown_wake, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    return NULL;
}

static int cmd_teardown(const char *iface, uint64_t count) {
    printf("{\"teardown_us\": [");
    for (uint64_t i = 0; i < count; i++) {
        teardown_socket = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (teardown_socket < 0) die("socket");
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        snprintf(ifr.ifr_name, IFNAMSIZ, "%s", iface);
        if (ioctl(teardown_socket, SIOCGIFINDEX, &ifr) < 0) die("SIOCGIFINDEX");
        const struct can_filter everything = {0, 0};
        if (setsockopt(teardown_socket, SOL_CAN_RAW, CAN_RAW_FILTER, &everything, sizeof everything) < 0)
            die("CAN_RAW_FILTER");
        struct sockaddr_can addr;
        memset(&addr, 0, sizeof addr);
        addr.can_family = AF_CAN;
        addr.can_ifindex = ifr.ifr_ifindex;
        if (bind(teardown_socket, (struct sockaddr *)&addr, sizeof addr) < 0) die("bind");
        teardown_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (teardown_wake < 0) die("eventfd");
        pthread_t waiter;
        if (pthread_create(&waiter, NULL, teardown_waiter, NULL) != 0) die("pthread_create");
        sleep_until(mono_ns() + 5000000);
        const int64_t start = mono_ns();
        const uint64_t one = 1;
        if (write(teardown_wake, &one, sizeof one) != (ssize_t)sizeof one) die("write eventfd");
        pthread_join(waiter, NULL);
        close(teardown_socket);
        close(teardown_wake);
        printf("%s%.3f", i ? ", " : "", (double)(mono_ns() - start) / 1e3);
    }
    printf("]}\n");
    return 0;
}

/* ---- arguments ---- */

static void usage(void) {
    fprintf(stderr,
            "usage: busagent listen --iface IF [--id ID --mask MASK] [--stamps PATH]\n"
            "       busagent pulse --iface IF --nodes A[,B...] --count N --gap-us MIN:MAX [--times PATH] [--seed S]\n"
            "       busagent flood --iface IF --node N --count K --link-fd FD [--mix]\n"
            "       busagent loop --iface IF --nodes A[,B...] [--period-us US]\n"
            "       busagent send --iface IF --seconds S\n"
            "       busagent idle-on-signal --iface IF --nodes A[,B...]\n"
            "       busagent teardown --iface IF --count N\n");
    exit(2);
}

int main(int argc, char **argv) {
    if (argc < 2) usage();
    const char *mode = argv[1];
    const char *iface = NULL, *stamps = NULL, *times = NULL;
    int have_filter = 0, link_fd = -1, mix = 0;
    canid_t id = 0, mask = 0;
    unsigned nodes[64], node_count = 0, node = 0;
    uint64_t count = 0;
    int64_t gap_min = 1000, gap_max = 1000, period_us = 2000;
    double seconds = 0;
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(a, "--mix")) {
            mix = 1;
            continue;
        }
        if (!v) usage();
        i++;
        if (!strcmp(a, "--iface")) iface = v;
        else if (!strcmp(a, "--id")) { id = (canid_t)strtoul(v, NULL, 0); have_filter = 1; }
        else if (!strcmp(a, "--mask")) { mask = (canid_t)strtoul(v, NULL, 0); have_filter = 1; }
        else if (!strcmp(a, "--stamps")) stamps = v;
        else if (!strcmp(a, "--times")) times = v;
        else if (!strcmp(a, "--seed")) rng_state = strtoull(v, NULL, 0);
        else if (!strcmp(a, "--count")) count = strtoull(v, NULL, 0);
        else if (!strcmp(a, "--node")) node = (unsigned)strtoul(v, NULL, 0) & ODRIVE_MAX_NODE;
        else if (!strcmp(a, "--link-fd")) link_fd = atoi(v);
        else if (!strcmp(a, "--period-us")) period_us = strtoll(v, NULL, 0);
        else if (!strcmp(a, "--seconds")) seconds = strtod(v, NULL);
        else if (!strcmp(a, "--gap-us")) {
            char *end;
            gap_min = strtoll(v, &end, 0);
            gap_max = *end == ':' ? strtoll(end + 1, NULL, 0) : gap_min;
        } else if (!strcmp(a, "--nodes")) {
            char *copy = strdup(v), *save = NULL;
            for (char *t = strtok_r(copy, ",", &save); t && node_count < 64; t = strtok_r(NULL, ",", &save))
                nodes[node_count++] = (unsigned)strtoul(t, NULL, 0) & ODRIVE_MAX_NODE;
            free(copy);
        } else usage();
    }
    if (!iface) usage();

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop; /* no SA_RESTART: a blocked recvmsg returns */
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    if (!strcmp(mode, "listen")) return cmd_listen(iface, have_filter, id, mask, stamps);
    if (!strcmp(mode, "pulse")) {
        if (node_count == 0 || gap_min < 0 || gap_max < gap_min) usage();
        return cmd_pulse(iface, nodes, node_count, count, gap_min, gap_max, times);
    }
    if (!strcmp(mode, "flood")) {
        if (link_fd < 0 || count == 0) usage();
        return cmd_flood(iface, node, count, link_fd, mix);
    }
    if (!strcmp(mode, "loop")) {
        if (node_count == 0 || period_us < 0) usage();
        return cmd_loop(iface, nodes, node_count, period_us);
    }
    if (!strcmp(mode, "send")) {
        if (seconds <= 0) usage();
        return cmd_send(iface, seconds);
    }
    if (!strcmp(mode, "idle-on-signal")) {
        if (node_count == 0) usage();
        return cmd_idle_on_signal(iface, nodes, node_count);
    }
    if (!strcmp(mode, "teardown")) {
        if (count == 0) usage();
        return cmd_teardown(iface, count);
    }
    usage();
    return 2;
}
