// What the core's stages share: the outcome a step ends with, and the checked
// system calls on the image handle that report a failure as one.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace imgseal {

// Where a step of the core stopped. The core only reports it; each program
// decides what a fault means for its run.
enum class fault : unsigned char {
    none,
    open_failed,       // the image cannot be opened, or is no image file
    header_short,      // the 8-byte image header cannot be read in full
    seek_failed,       // a seek fails
    read_failed,       // a read fails, comes back short, or the file changed under the pass
    bad_signature,     // the descriptor's signature byte is neither 0x55 nor 0xAA
    nonzero_checksum,  // the descriptor's checksum field is not zero
    nonzero_length,    // the descriptor's length field is not zero
    write_failed,      // a write, a flush or the close fails
};

// A step's result: fault::none, or the fault with the failed call's errno, or
// with a fixed text where no errno describes it (a short transfer, a refusal).
struct outcome {
    fault what;
    int error;
    const char* text;

    bool failed() const { return what != fault::none; }
};

inline constexpr outcome succeeded{fault::none, 0, nullptr};

// The file was written by someone else while it was being summed: a seal or a
// verdict from the sums would not be the file's.
inline constexpr outcome changed_size{fault::read_failed, 0,
                                      "Image changed size during the checksum pass"};
inline constexpr outcome changed_content{fault::read_failed, 0,
                                         "Image changed during the checksum pass"};

// The failure of the call that just set errno.
outcome system_fault(fault what);

// One line for a failure: its fixed text, or the system's description of its
// errno.
const char* describe(const outcome& result);

// Holds each standard stream that the caller left closed on /dev/null. Left
// closed, it would be taken by the open of an image, and the program's own
// lines would then be written into the image.
outcome hold_standard_streams();

// Where standard output is a pipe that its maker left non-blocking, a slow
// reader would make a write fail with EAGAIN and the output be lost. It is
// given an open file description of its own to the same pipe, one that
// blocks; the one it shares with its maker keeps its flags. A socket, or a
// pipe that cannot be reopened (no /proc), is left as it is.
void block_on_standard_output();

// Prints one line on standard output and flushes it, so that it is never
// lost nor overtaken by a later report on standard error.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Checked calls on the image handle: a failure, and for the transfers a count
// short of `size`, is reported as `on_failure`.
outcome seek_to(int fd, off_t offset, int whence, fault on_failure);
outcome read_exactly(int fd, void* buffer, std::size_t size, fault on_failure);
outcome write_exactly(int fd, const void* buffer, std::size_t size, fault on_failure);

// read() that waits for input on a descriptor that the caller left
// non-blocking (a pipe's O_NONBLOCK belongs to whoever shares the pipe), and
// reads again after a signal: returns the bytes read, 0 at the end, or -1 with
// errno set.
ssize_t read_waiting(int fd, void* buffer, std::size_t size);

}  // namespace imgseal
