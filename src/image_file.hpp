// Opening an image file, locking it, the state that tells whether anyone
// changed it since, and whether a program's output would land in it: shared
// by every program that reads or writes images, so that each opens, watches
// and guards them the same way.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "run.hpp"

namespace imgseal {

// Opens the regular file at `path` with `access_mode` (O_RDONLY or O_RDWR),
// close-on-exec, without creating or truncating anything, into `fd`. A FIFO or
// a device is never opened, so it cannot block the caller; a regular file under
// a lease is opened once the lease is broken. Fails with fault::open_failed:
// with errno, "Not a regular file", or "Image was replaced while it was
// opened" when the file opened is not the one that was examined.
outcome open_regular_file(const char* path, int access_mode, int& fd);

// As open_regular_file, and a block device is opened too.
outcome open_file_or_block_device(const char* path, int access_mode, int& fd);

// Takes a lock of `lock_type` (F_WRLCK or F_RDLCK) on the whole open file,
// waiting while another open file description holds a conflicting one. The
// lock lasts until the descriptor is closed. Returns true when the lock is
// held, and also where the file system has no locks; false with errno set on
// any other failure.
bool lock_image_file(int fd, short lock_type);

enum class lock_result { held, busy, failed };

// As lock_image_file, but waits at most `seconds` (0: not at all) for
// another holder to let go: busy when it still holds the lock then.
lock_result lock_image_file_within(int fd, short lock_type, unsigned seconds);

// What a write to the file changes: its size (for a block device, the
// device's, where the file's own is 0), and its modification and change
// times to the nanosecond. The change time cannot be set by any caller, and a
// write() updates it; kernels with fine-grained timestamps make even a write in
// the same clock tick as the last change show.
struct file_state {
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

outcome record_file_state(int fd, file_state& state);

// Fails with fault::read_failed when the file is no longer as `recorded`:
// "Image changed size during the checksum pass", or, same size,
// "Image changed during the checksum pass".
outcome compare_file_state(int fd, const file_state& recorded);

// Where the bytes written to a file end up, so that a program's own output is
// never written into an image: a regular file, or a block device (any node
// of it), and for a loop device also the file behind it. Anything else (a
// terminal, a pipe, /dev/null) is no place an image can be.
struct storage {
    bool is_file;   // a regular file, or a loop device's backing file:
    dev_t device;   //   its st_dev
    ino_t inode;    //   and st_ino
    bool is_block;  // a block device:
    dev_t block;    //   its device number (st_rdev)
};

// The storage of the open file `fd`.
storage storage_of(int fd);

// The storage of the file at `path`, looked up without opening it: only a loop
// device is opened, read-only, to ask for its backing file. Nothing, where
// the path names nothing. The partitions of a loop device are not known as
// such: only their own device number is compared.
storage storage_at(const char* path);

// Whether writing to the open descriptor `stream` (standard output or error)
// writes into `image`.
bool writes_into(int stream, const storage& image);

// Which of the program's standard output and standard error write into `file`.
struct output_into {
    bool out;
    bool err;
};
output_into streams_into(const storage& file);

// The device number that a loop device gives for its backing file's file
// system: the kernel's 32-bit encoding, whose major number's 12 bits lie in
// bits 8 to 19 and whose minor number's 20 bits lie in bits 0 to 7 and 20 to 31.
dev_t decode_loop_device(std::uint64_t encoded);

}  // namespace imgseal
