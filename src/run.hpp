// What every stage of a run shares: the exit statuses, the one way a run ends,
// and the checked system calls on the image handle that end it on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace imgseal {

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    sealed = 0,          // the image was sealed
    usage_or_open = 1,   // not exactly one argument, or the image cannot be opened
    header_short = 2,    // the 8-byte image header cannot be read in full
    seek_failed = 3,     // a seek fails
    read_failed = 4,     // a read fails or returns fewer bytes than asked
    bad_signature = 5,   // the descriptor's signature byte is neither 0x55 nor 0xAA
    already_sealed = 6,  // the descriptor's checksum or length field is not zero
    write_failed = 8,    // a write, the flush or the close fails; there is no status 7
};

// One line on standard error: the system's description of the current errno.
void report_system_error();

// Prints one line on standard output and flushes it, so that it is never
// lost nor overtaken by a later report on standard error.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The only way a run ends.
[[noreturn]] void end_run(exit_status status);

// report_system_error, then end_run.
[[noreturn]] void fail_system_call(exit_status status);

// The report of a write that came back short, "Incomplete write" followed by
// `note`, then end_run. errno says nothing about a short write.
[[noreturn]] void fail_short_write(const char* note, exit_status status);

// Checked calls on the image handle. Each ends the run with `on_failure` when
// the call fails, and the transfers also when they move fewer bytes than asked.
void seek_to(int fd, off_t offset, int whence, exit_status on_failure);
void read_exactly(int fd, void* buffer, std::size_t size, exit_status on_failure);
void write_exactly(int fd, const void* buffer, std::size_t size, exit_status on_failure);

}  // namespace imgseal
