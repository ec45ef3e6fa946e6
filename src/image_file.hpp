// Opening an image file, locking it, and the state that tells whether anyone
// changed it since: shared by every program that reads or writes images, so
// that each opens and watches them the same way.
#pragma once

#include <sys/stat.h>

#include "run.hpp"

namespace imgseal {

// Opens the regular file at `path` with `access_mode` (O_RDONLY or O_RDWR),
// close-on-exec, without creating or truncating anything, into `fd`. A FIFO or
// a device is never opened, so it cannot block the caller; a regular file under
// a lease is opened once the lease is broken. Fails with fault::open_failed:
// with errno, "Not a regular file", or "Image was replaced while it was
// opened" when the file opened is not the one that was examined.
outcome open_regular_file(const char* path, int access_mode, int& fd);

// Takes a lock of `lock_type` (F_WRLCK or F_RDLCK) on the whole open file,
// waiting while another open file description holds a conflicting one. The
// lock lasts until the descriptor is closed. Returns true when the lock is
// held, and also where the file system has no locks; false with errno set on
// any other failure.
bool lock_image_file(int fd, short lock_type);

// What a write to the file changes: its size, and its modification and change
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

// Whether the open file `fd` is the file that `image` describes.
bool same_file(int fd, const struct stat& image);

}  // namespace imgseal
