// The exit path and the checked system calls shared by the stages.
#include "run.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace imgseal {

namespace {

// A transfer that comes back short leaves errno untouched, so its description
// would be that of whatever came before ("Success" on a clean run).
[[noreturn]] void fail_short_transfer(const char* what, exit_status status) {
    (void)std::fprintf(stderr, "%s\n", what);
    end_run(status);
}

}  // namespace

// Output that cannot be written has nowhere else to be reported, and the exit
// status tells the outcome all the same: the results of printing are ignored.

void report_system_error() { (void)std::fprintf(stderr, "%s\n", std::strerror(errno)); }

void print_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // clang-tidy 14 misreads the va_list that va_start has just initialised.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vprintf(format, args);
    va_end(args);
    (void)std::fflush(stdout);
}

void fail_short_write(const char* note, exit_status status) {
    (void)std::fprintf(stderr, "Incomplete write%s\n", note);
    end_run(status);
}

void fail_system_call(exit_status status) {
    report_system_error();
    end_run(status);
}

void seek_to(int fd, off_t offset, int whence, exit_status on_failure) {
    if (lseek(fd, offset, whence) == -1) fail_system_call(on_failure);
}

void read_exactly(int fd, void* buffer, std::size_t size, exit_status on_failure) {
    const ssize_t got = read(fd, buffer, size);
    if (got == -1) fail_system_call(on_failure);
    if (static_cast<std::size_t>(got) != size)
        fail_short_transfer("Unexpected end of file", on_failure);
}

void write_exactly(int fd, const void* buffer, std::size_t size, exit_status on_failure) {
    const ssize_t put = write(fd, buffer, size);
    if (put == -1) fail_system_call(on_failure);
    if (static_cast<std::size_t>(put) != size) fail_short_write("", on_failure);
}

}  // namespace imgseal
