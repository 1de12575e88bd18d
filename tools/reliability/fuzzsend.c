/*
 * fuzzsend: floods a SocketCAN interface with seeded random classic frames
 * (random identifiers, extended/remote/error flags, lengths 0-8, random data),
 * as fast as the receiving link's socket takes them, and shows that every
 * frame reached it.
 *
 *   fuzzsend --iface IF --count N --seed S --link-fd FD --sentinel HEX16 --frames-out PATH
 *
 * FD is a duplicate of the link's own socket descriptor (inherited). It is
 * only ever read, with getsockopt(SO_MEMINFO): the memory its receive queue
 * holds, and the kernel's count of frames dropped on it.
 *
 * Why nothing is dropped: a CAN_RAW socket drops a frame when its queue is at
 * its limit (SO_RCVBUF, 212992 bytes by default, 768 bytes per frame here).
 * Written frames do not always reach the sockets inside write(): under load
 * the kernel defers them to its per-CPU backlog. So before each write the
 * sender bounds what the link's queue can come to: what it holds now, plus
 * every frame written but not yet seen back by the observer (those may still
 * be in the backlog), plus this one, at FRAME_TRUESIZE_MAX each; it writes only
 * while that stays below three quarters of the limit, and sleeps otherwise.
 * Nobody else feeds the link's socket (a link does not receive its own
 * frames). The drop counter, read before and after, shows the outcome.
 *
 * The sender is pinned to one CPU: frames from one CPU stay in order in its
 * backlog, while a sender that migrates can have its frames overtake each
 * other, which a real bus never does (and the model needs the order).
 *
 * An observer socket of our own, with a large buffer, SO_RXQ_OVFL and every
 * error class enabled, receives everything on the bus: it checks that each
 * frame we sent came back, in order (error frames without any class bit reach
 * no socket and are counted apart), and counts the controller's frames that
 * came meanwhile.
 *
 * After the N random frames comes one sentinel frame: bus voltage/current of
 * node 63 with the given 8 data bytes, which the caller waits to see in the
 * link's cache. Every frame written, sentinel included, goes to PATH as the
 * 16-byte struct can_frame, in order. A JSON summary goes to stdout.
 * Build: gcc -O2 -Wall -Wextra -Werror -pthread -o fuzzsend fuzzsend.c
 */
#define _GNU_SOURCE
#include "../torvane_dev/canpeer.h"
#include <inttypes.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <time.h>
#include <unistd.h>

#define FRAME_TRUESIZE_MAX 1024 /* kernel memory one queued classic frame costs at most (768 here) */
#define STALL_S 60.0            /* how long the bus may make no progress before we give up */

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void random_frame(struct can_frame *f) {
    memset(f, 0, sizeof *f);
    const uint64_t choice = next_random(), bits = next_random(), data = next_random();
    const uint64_t extra = next_random();
    canid_t id;
    if (choice & 3) { /* three in four: standard format, 11 bits */
        id = (canid_t)bits & CAN_SFF_MASK;
        if (((choice >> 8) & 31) == 0) { /* one in 32 of them with junk above bit 10, which a link must ignore */
            id = (canid_t)bits & CAN_EFF_MASK;
        }
    } else {
        id = ((canid_t)bits & CAN_EFF_MASK) | CAN_EFF_FLAG;
    }
    if (((choice >> 2) & 1) == 0) { /* half of the frames carry a telemetry command id */
        id = (id & ~(canid_t)ODRIVE_COMMAND_MASK) | ODRIVE_TELEMETRY[((extra >> 16) & 0xFFFF) % sizeof ODRIVE_TELEMETRY];
    }
    if (((choice >> 3) & 7) == 0) id |= CAN_RTR_FLAG;   /* one in eight */
    if (((choice >> 16) & 15) == 0) id |= CAN_ERR_FLAG; /* one in sixteen */
    f->can_id = id;
    f->len = (uint8_t)((extra & 0xFFFF) % 9); /* 0..8 */
    memcpy(f->data, &data, 8);               /* the bytes past the length are random too */
}

/* ---- shared between the sender and the observer ---- */
static struct can_frame *frames; /* what was written, in order */
static atomic_size_t written;    /* frames[0..written) are on the bus, or on their way */
static atomic_size_t observed;   /* frames[0..observed) came back in order */
static atomic_int sender_done;
static size_t total;             /* frames to write, sentinel included */
static int observer_fd;
static uint64_t undeliverable, observer_late, observer_missing, other_frames, controller_frames[2][32], observer_overflows;
static _Atomic double observer_last_progress;

static uint64_t load64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

/* Identifier, length and all eight data bytes: nothing a receiver sees may differ. */
static int same_frame(const struct can_frame *a, const struct can_frame *b) {
    return a->can_id == b->can_id && a->len == b->len && memcmp(a->data, b->data, 8) == 0;
}

/* An error frame reaches only the sockets whose error mask shares a bit with its
   identifier; one without any error class bit reaches no socket at all. */
static int reaches_sockets(const struct can_frame *f) {
    return !(f->can_id & CAN_ERR_FLAG) || (f->can_id & CAN_ERR_MASK) != 0;
}

static int controller_frame(const struct can_frame *f) {
    if (f->can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) return 0;
    unsigned node = odrive_node_of(f->can_id), cmd = odrive_command_of(f->can_id);
    if ((f->can_id >> 11) != 0 || node > 1) return 0;
    if ((cmd == SET_POS_GAIN && f->len == 4) || (cmd == SET_VEL_GAINS && f->len == 8) ||
        (cmd == SET_POSITION && f->len == 8)) {
        controller_frames[node][cmd]++;
        return 1;
    }
    return 0;
}

static void note_missing(size_t k) {
    fprintf(stderr, "fuzzsend: frame %zu never came back: id %08x len %u data %016" PRIx64 "\n", k,
            frames[k].can_id, frames[k].len, load64(frames[k].data));
}

static void *observe(void *arg) {
    (void)arg;
    observer_last_progress = now();
    for (;;) {
        size_t seen = atomic_load(&observed);
        while (seen < atomic_load(&written) && !reaches_sockets(&frames[seen])) {
            seen++;
            undeliverable++;
            atomic_store(&observed, seen);
        }
        if (seen == total) return NULL;
        if (atomic_load(&sender_done) && now() - observer_last_progress > STALL_S) return NULL;
        struct pollfd p = {observer_fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        struct can_frame f;
        char control[CMSG_SPACE(sizeof(uint32_t))];
        struct iovec iov = {&f, sizeof f};
        struct msghdr msg = {0};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(observer_fd, &msg, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            die("observer recvmsg");
        }
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t drops;
                memcpy(&drops, CMSG_DATA(c), sizeof drops);
                observer_overflows = drops;
            }
        }
        if (got != (ssize_t)sizeof f) continue;
        const size_t limit = atomic_load(&written);
        while (seen < limit && !reaches_sockets(&frames[seen])) { /* published since the top of the loop */
            seen++;
            undeliverable++;
            atomic_store(&observed, seen);
        }
        if (seen < limit && same_frame(&f, &frames[seen])) {
            atomic_store(&observed, seen + 1);
            observer_last_progress = now();
            continue;
        }
        /* One of ours that was counted missing, arriving late: out of order. */
        int late = 0;
        for (size_t k = seen; k > 0 && k + 256 > seen; k--) {
            if (same_frame(&f, &frames[k - 1])) {
                late = 1;
                break;
            }
        }
        if (late) {
            observer_late++;
            continue;
        }
        if (controller_frame(&f)) continue;
        /* One of ours further on means the ones in between never came back. */
        size_t j = seen + 1;
        while (j < limit && j < seen + 256 && !same_frame(&f, &frames[j])) j++;
        if (j < limit && j < seen + 256) {
            for (size_t k = seen; k < j; k++) note_missing(k);
            observer_missing += j - seen;
            atomic_store(&observed, j + 1);
            observer_last_progress = now();
        } else {
            if (other_frames++ == 0) {
                fprintf(stderr, "fuzzsend: first unexpected frame on the bus: id %08x len %u data %016" PRIx64 "\n",
                        f.can_id, f.len, load64(f.data));
                if (seen < limit)
                    fprintf(stderr, "fuzzsend: where frame %zu was expected: id %08x len %u data %016" PRIx64 "\n",
                            seen, frames[seen].can_id, frames[seen].len, load64(frames[seen].data));
            }
        }
    }
}

static int parse_hex8(const char *s, uint8_t out[8]) {
    if (strlen(s) != 16) return -1;
    for (int i = 0; i < 8; i++) {
        unsigned v;
        if (sscanf(s + 2 * i, "%2x", &v) != 1) return -1;
        out[i] = (uint8_t)v;
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *iface = NULL, *frames_out = NULL, *sentinel_hex = NULL;
    size_t count = 0;
    uint64_t seed = 0;
    int link_fd = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--iface")) iface = argv[i + 1];
        else if (!strcmp(argv[i], "--count")) count = strtoull(argv[i + 1], NULL, 0);
        else if (!strcmp(argv[i], "--seed")) seed = strtoull(argv[i + 1], NULL, 0);
        else if (!strcmp(argv[i], "--link-fd")) link_fd = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--frames-out")) frames_out = argv[i + 1];
        else if (!strcmp(argv[i], "--sentinel")) sentinel_hex = argv[i + 1];
        else {
            fprintf(stderr, "fuzzsend: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    uint8_t sentinel[8];
    if (!iface || !frames_out || !sentinel_hex || count == 0 || link_fd < 0 || parse_hex8(sentinel_hex, sentinel) < 0) {
        fprintf(stderr, "usage: fuzzsend --iface IF --count N --seed S --link-fd FD --sentinel HEX16 --frames-out PATH\n");
        return 2;
    }
    rng_state = seed;
    total = count + 1;
    frames = calloc(total, sizeof *frames);
    if (!frames) die("calloc");

    int sender = open_can(iface);
    observer_fd = open_can(iface);
    can_err_mask_t all_errors = CAN_ERR_MASK;
    if (setsockopt(observer_fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all_errors, sizeof all_errors) < 0) die("CAN_RAW_ERR_FILTER");
    int one = 1, big = 64 << 20;
    if (setsockopt(observer_fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) < 0) die("SO_RXQ_OVFL");
    if (setsockopt(observer_fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) < 0 &&
        setsockopt(observer_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) < 0) die("SO_RCVBUF");

    uint32_t before[SK_MEMINFO_VARS], info[SK_MEMINFO_VARS];
    meminfo(link_fd, before);
    uint32_t max_queued = 0;

    pthread_t observer;
    if (pthread_create(&observer, NULL, observe, NULL) != 0) die("pthread_create");

    uint64_t paced_waits = 0, send_retries = 0, rejected = 0;
    int stalled = 0;
    size_t max_in_flight = 0;
    int rejected_errno = 0;
    /* Frames written from one CPU reach the sockets in the order written; from
       a thread that migrates they can overtake each other in the per-CPU
       receive backlogs, which a real bus never does. */
    cpu_set_t one_cpu;
    CPU_ZERO(&one_cpu);
    CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one_cpu);
    if (sched_setaffinity(0, sizeof one_cpu, &one_cpu) < 0) die("sched_setaffinity");
    double start = now();
    for (size_t i = 0; i < total; i++) {
        struct can_frame f;
        if (i < count) {
            random_frame(&f);
        } else {
            memset(&f, 0, sizeof f);
            f.can_id = odrive_arb_id(ODRIVE_MAX_NODE, GET_BUS_VOLTAGE_CURRENT);
            f.len = 8;
            memcpy(f.data, sentinel, 8);
        }
        /* Pace: only write while the link's queue is below half its limit, and
           while the observer keeps up. Nobody else feeds the link's socket (the
           link does not receive what it sends itself), so the queue can only
           shrink between this check and the write. */
        double waiting_since = 0.0;
        for (;;) {
            meminfo(link_fd, info);
            if (info[SK_MEMINFO_RMEM_ALLOC] > max_queued) max_queued = info[SK_MEMINFO_RMEM_ALLOC];
            const size_t in_flight = atomic_load(&written) - atomic_load(&observed);
            if (in_flight > max_in_flight) max_in_flight = in_flight;
            /* What the link's queue can come to once everything in flight lands. */
            const uint64_t bound = (uint64_t)info[SK_MEMINFO_RMEM_ALLOC] + (in_flight + 1) * FRAME_TRUESIZE_MAX;
            if (bound < (uint64_t)info[SK_MEMINFO_RCVBUF] * 3 / 4) break;
            if (waiting_since == 0.0) waiting_since = now();
            if (now() - waiting_since > STALL_S) {
                stalled = 1;
                fprintf(stderr, "fuzzsend: stuck for %.0f s: %u bytes queued on the link's socket, %zu frames not seen "
                        "back on the bus\n", STALL_S, info[SK_MEMINFO_RMEM_ALLOC], in_flight);
                break;
            }
            paced_waits++;
            /* Sleep rather than spin: the CPU is needed by the threads that drain. */
            const struct timespec pause = {0, 50 * 1000};
            nanosleep(&pause, NULL);
        }
        if (stalled) break;
        /* Published before the write: the observer may see the frame before
           write() returns. */
        const size_t slot = atomic_load(&written);
        frames[slot] = f;
        atomic_store(&written, slot + 1);
        for (;;) {
            ssize_t put = write(sender, &f, sizeof f);
            if (put == (ssize_t)sizeof f) break;
            if (put < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
                send_retries++;
                sched_yield();
                continue;
            }
            /* The kernel refused the frame: it never reached the bus. Take it back
               and stop; the run has failed. */
            rejected++;
            rejected_errno = put < 0 ? errno : EIO;
            atomic_store(&written, slot);
            break;
        }
        if (rejected) break;
    }
    double send_seconds = now() - start;
    atomic_store(&sender_done, 1);
    pthread_join(observer, NULL);
    double observe_seconds = now() - start;
    uint32_t after[SK_MEMINFO_VARS];
    meminfo(link_fd, after);

    size_t n = atomic_load(&written);
    FILE *out = fopen(frames_out, "wb");
    if (!out) die("fopen frames-out");
    if (fwrite(frames, sizeof *frames, n, out) != n || fclose(out) != 0) die("write frames-out");

    uint64_t per_kind[3] = {0, 0, 0}; /* extended, remote, error */
    for (size_t i = 0; i < n; i++) {
        per_kind[0] += (frames[i].can_id & CAN_EFF_FLAG) != 0;
        per_kind[1] += (frames[i].can_id & CAN_RTR_FLAG) != 0;
        per_kind[2] += (frames[i].can_id & CAN_ERR_FLAG) != 0;
    }
    const size_t reached = atomic_load(&observed);
    printf("{\"seed\": %" PRIu64 ", \"requested\": %zu, \"written\": %zu", seed, count + 1, n);
    printf(", \"rejected\": %" PRIu64 ", \"rejected_errno\": %d", rejected, rejected_errno);
    printf(", \"extended\": %" PRIu64 ", \"remote\": %" PRIu64 ", \"error_flag\": %" PRIu64, per_kind[0],
           per_kind[1], per_kind[2]);
    printf(", \"send_retries\": %" PRIu64 ", \"paced_waits\": %" PRIu64, send_retries, paced_waits);
    printf(", \"link_rcvbuf\": %u, \"link_max_queued_bytes\": %u", before[SK_MEMINFO_RCVBUF], max_queued);
    printf(", \"link_drops_before\": %u, \"link_drops_after\": %u, \"stalled\": %d, \"max_in_flight\": %zu",
           before[SK_MEMINFO_DROPS], after[SK_MEMINFO_DROPS], stalled, max_in_flight);
    printf(", \"observed\": %zu, \"undeliverable\": %" PRIu64 ", \"observer_missing\": %" PRIu64,
           reached - (size_t)observer_missing - (size_t)undeliverable, undeliverable, observer_missing);
    printf(", \"observer_overflows\": %" PRIu64, observer_overflows);
    printf(", \"observer_late\": %" PRIu64 ", \"other_frames\": %" PRIu64, observer_late, other_frames);
    printf(", \"controller_frames\": {\"0\": [%" PRIu64 ", %" PRIu64 ", %" PRIu64 "]", controller_frames[0][SET_POS_GAIN],
           controller_frames[0][SET_VEL_GAINS], controller_frames[0][SET_POSITION]);
    printf(", \"1\": [%" PRIu64 ", %" PRIu64 ", %" PRIu64 "]}", controller_frames[1][SET_POS_GAIN], controller_frames[1][SET_VEL_GAINS],
           controller_frames[1][SET_POSITION]);
    printf(", \"send_seconds\": %.3f, \"observe_seconds\": %.3f}\n", send_seconds, observe_seconds);
    return 0;
}
