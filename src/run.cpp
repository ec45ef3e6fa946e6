// The outcomes and the checked system calls shared by the stages.
#include "run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace imgseal {

outcome system_fault(fault what) { return {what, errno, nullptr}; }

const char* describe(const outcome& result) {
    return result.text != nullptr ? result.text : std::strerror(result.error);
}

outcome hold_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        // open returns the lowest free descriptor: this one. Read-only, so
        // that a line written to a stream the caller closed fails, as it
        // would have, instead of vanishing.
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDONLY) != fd) {
            return system_fault(fault::open_failed);
        }
    }
    return succeeded;
}

void block_on_standard_output() {
    struct stat status {};
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) == 0 || fstat(STDOUT_FILENO, &status) == -1 ||
        !S_ISFIFO(status.st_mode)) {
        return;
    }
    // O_NONBLOCK for the open only: a FIFO's open for writing would wait for
    // a reader, where there is none.
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return;
    if (fcntl(fd, F_SETFL, 0) == 0) (void)dup2(fd, STDOUT_FILENO);
    (void)close(fd);
}

// Output that cannot be written has nowhere else to be reported, and the
// outcome is told by the exit status all the same: results are ignored.
void print_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // clang-tidy 14 misreads the va_list that va_start has just initialised.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vprintf(format, args);
    va_end(args);
    (void)std::fflush(stdout);
}

outcome seek_to(int fd, off_t offset, int whence, fault on_failure) {
    if (lseek(fd, offset, whence) == -1) return system_fault(on_failure);
    return succeeded;
}

// A transfer that comes back short leaves errno untouched, so its description
// would be that of whatever came before ("Success" on a clean run): it gets a
// text of its own.
outcome read_exactly(int fd, void* buffer, std::size_t size, fault on_failure) {
    const ssize_t got = read(fd, buffer, size);
    if (got == -1) return system_fault(on_failure);
    if (static_cast<std::size_t>(got) != size) return {on_failure, 0, "Unexpected end of file"};
    return succeeded;
}

outcome write_exactly(int fd, const void* buffer, std::size_t size, fault on_failure) {
    const ssize_t put = write(fd, buffer, size);
    if (put == -1) return system_fault(on_failure);
    if (static_cast<std::size_t>(put) != size) return {on_failure, 0, "Incomplete write"};
    return succeeded;
}

ssize_t read_waiting(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got != -1 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return got;
        if (errno == EINTR) continue;
        // Input, the writer's end, or an error: the next read tells which.
        pollfd input{fd, POLLIN, 0};
        if (poll(&input, 1, -1) == -1 && errno != EINTR) return -1;
    }
}

}  // namespace imgseal
