#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

// Every line this library prints goes out through here, never through C's stdio or
// the interpreter: a terminal whose output is suspended, a pipe nobody reads, a
// closed pipe must cost the line, never the thread that prints it (a control loop,
// a receive thread, the emergency stop). No stdio lock is taken, so no other
// thread can hold one of ours. Nothing here allocates.
class LineOutput {
public:
    using Clock = std::chrono::steady_clock;

    // Longer lines are cut; a cut line still ends in a newline.
    static constexpr std::size_t kMaxLine = 512;

    // One line, formatted on the caller's stack.
    class Line {
    public:
        Line() noexcept { _text[0] = '\0'; }

        Line& add(const char* text) noexcept { return format("%s", text); }

        Line& format(const char* pattern, ...) noexcept __attribute__((format(printf, 2, 3))) {
            const std::size_t room = sizeof _text - 1 - _size;  // one byte kept for the newline
            va_list arguments;
            va_start(arguments, pattern);
            const int wanted = std::vsnprintf(_text + _size, room + 1, pattern, arguments);
            va_end(arguments);
            if (wanted > 0) {
                _size += std::min(static_cast<std::size_t>(wanted), room);
            }
            return *this;
        }

        bool empty() const noexcept { return _size == 0; }

        // The text with its newline.
        const char* data() noexcept {
            _text[_size] = '\n';
            return _text;
        }
        std::size_t size() const noexcept { return _size + 1; }

    private:
        char _text[kMaxLine];
        std::size_t _size = 0;
    };

    // Writes `line` to `fd`, waiting for a reader at most until `deadline`; true when
    // the whole line was written.
    static bool write(int fd, Line& line, Clock::time_point deadline) noexcept {
        return write(fd, line.data(), line.size(), deadline);
    }

    // Writes now or never: for threads that must not wait at all.
    static bool writeNow(int fd, Line& line) noexcept { return write(fd, line, Clock::now()); }

    // True when a write to `fd` may wait for a disk (a file, a block device) rather
    // than for a reader, which no deadline bounds.
    static bool waitsForDisk(int fd) noexcept {
        struct stat target {};
        return ::fstat(fd, &target) == 0 && (S_ISREG(target.st_mode) || S_ISBLK(target.st_mode));
    }

    static bool write(int fd, const char* data, std::size_t size, Clock::time_point deadline) noexcept {
        struct stat target {};
        if (::fstat(fd, &target) < 0) {
            return false;  // closed
        }
        if (S_ISSOCK(target.st_mode)) {
            return _writeAll(fd, data, size, deadline, true);
        }
        if (S_ISREG(target.st_mode) || S_ISBLK(target.st_mode)) {
            // A file never waits for a reader; its disk is the only wait.
            return _writeAll(fd, data, size, deadline, false);
        }
        // A pipe, a FIFO, a terminal: written through a description of its own, opened
        // non-blocking, so that the description the process shares with others (a
        // shell's terminal) keeps its flags.
        char path[32];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        const int own = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own < 0) {
            if (errno == ENXIO) {
                return false;  // a pipe or FIFO nobody reads any more
            }
            // No /proc: write only once the reader has room for the line. A line fits
            // one pipe buffer, so a pipe then takes it whole without blocking; a
            // terminal suspended in between can still block this write.
            return _pollOut(fd, deadline) && _writeAll(fd, data, size, deadline, false);
        }
        const bool whole = _writeAll(own, data, size, deadline, false);
        ::close(own);
        return whole;
    }

private:
    static bool _writeAll(int fd, const char* data, std::size_t size, Clock::time_point deadline,
                          bool socket) noexcept {
        while (size > 0) {
            const ssize_t written =
                socket ? ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, size);
            if (written > 0) {
                data += written;
                size -= static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && _pollOut(fd, deadline)) {
                continue;
            }
            return false;
        }
        return true;
    }

    // True once `fd` can take a write, false when `deadline` came first.
    static bool _pollOut(int fd, Clock::time_point deadline) noexcept {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            struct pollfd output = {fd, POLLOUT, 0};
            const int ready = ::poll(&output, 1, static_cast<int>(std::max<long long>(left, 0)));
            if (ready > 0) {
                return (output.revents & POLLOUT) != 0;
            }
            if (ready == 0 || errno != EINTR) {
                return false;
            }
        }
    }
};
