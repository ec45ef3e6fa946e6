// Opening an image file and locking it: shared by every program that reads or
// writes images, so that each opens and locks them the same way.
#pragma once

namespace imgseal {

// Opens the regular file at `path` with `access_mode` (O_RDONLY or O_RDWR),
// close-on-exec, without creating or truncating anything. A FIFO or a device
// is never opened, so it cannot block the caller; a regular file under a
// lease is opened once the lease is broken. Returns the descriptor, or -1
// with errno set: EISDIR for a directory, EINVAL for any other file that is
// not regular.
int open_regular_file(const char* path, int access_mode);

// Takes a lock of `lock_type` (F_WRLCK or F_RDLCK) on the whole open file,
// waiting while another open file description holds a conflicting one. The
// lock lasts until the descriptor is closed. Returns true when the lock is
// held, and also where the file system has no locks; false with errno set on
// any other failure.
bool lock_image_file(int fd, short lock_type);

}  // namespace imgseal
