/*
 * alloccount: an LD_PRELOAD library that counts heap allocations per thread.
 *
 * Every call of malloc, calloc, realloc, reallocarray, memalign,
 * posix_memalign, aligned_alloc, valloc and pvalloc (C++'s operator new ends
 * in malloc) adds one to the calling thread's counter, then goes to glibc's own
 * allocator. A process that loads it reads the counters with ctypes:
 *
 *   lib = ctypes.CDLL("alloccount.so")    # already loaded: same instance
 *   lib.alloccount_of(tid)                # allocations made so far by thread tid
 *   lib.alloccount_threads()              # threads that allocated at least once
 *
 * Thread ids index a fixed open-addressing table (no allocation of its own);
 * threads beyond its size go uncounted and alloccount_overflow() says how often.
 *
 * Build: gcc -O2 -Wall -Wextra -Werror -shared -fPIC -o alloccount.so alloccount.c
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void *__libc_valloc(size_t size);
extern void *__libc_pvalloc(size_t size);

#define SLOTS 8192u

static _Atomic int slot_tid[SLOTS];
static _Atomic unsigned long slot_count[SLOTS];
static _Atomic unsigned long overflow;

static void count_one(void) {
    const int saved = errno;
    const int tid = (int)syscall(SYS_gettid);
    errno = saved;
    const unsigned start = ((unsigned)tid * 2654435761u) % SLOTS;
    for (unsigned i = 0; i < SLOTS; i++) {
        const unsigned s = (start + i) % SLOTS;
        int owner = atomic_load_explicit(&slot_tid[s], memory_order_acquire);
        if (owner == 0) {
            int expected = 0;
            if (atomic_compare_exchange_strong(&slot_tid[s], &expected, tid)) owner = tid;
            else owner = expected;
        }
        if (owner == tid) {
            atomic_fetch_add_explicit(&slot_count[s], 1, memory_order_relaxed);
            return;
        }
    }
    atomic_fetch_add_explicit(&overflow, 1, memory_order_relaxed);
}

unsigned long alloccount_of(int tid) {
    const unsigned start = ((unsigned)tid * 2654435761u) % SLOTS;
    for (unsigned i = 0; i < SLOTS; i++) {
        const unsigned s = (start + i) % SLOTS;
        const int owner = atomic_load_explicit(&slot_tid[s], memory_order_acquire);
        if (owner == tid) return atomic_load_explicit(&slot_count[s], memory_order_relaxed);
        if (owner == 0) return 0;
    }
    return 0;
}

unsigned alloccount_threads(void) {
    unsigned n = 0;
    for (unsigned s = 0; s < SLOTS; s++) n += atomic_load(&slot_tid[s]) != 0;
    return n;
}

unsigned long alloccount_overflow(void) { return atomic_load(&overflow); }

void *malloc(size_t size) {
    count_one();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    count_one();
    return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size) {
    count_one();
    return __libc_realloc(ptr, size);
}

void *reallocarray(void *ptr, size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return NULL;
    }
    return realloc(ptr, total);
}

void *memalign(size_t alignment, size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    count_one();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
    count_one();
    void *p = __libc_memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t size) {
    count_one();
    return __libc_valloc(size);
}

void *pvalloc(size_t size) {
    count_one();
    return __libc_pvalloc(size);
}
