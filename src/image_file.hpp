// Opening an image file and locking it, shared by the programs.
#pragma once

namespace imgseal {

// Opens `path` with `access_mode` (O_RDONLY or O_RDWR), creating and
// truncating nothing and never blocking on a FIFO or a device. Returns the
// descriptor, or -1 with errno set: EINVAL when the path is not a regular file.
int open_regular_file(const char* path, int access_mode);

// Takes a lock of `lock_type` (F_WRLCK or F_RDLCK) on the whole file, waiting
// while another holds a conflicting one; it lasts until the descriptor is
// closed. True when locked, and also where the file system has no locks.
bool lock_image_file(int fd, short lock_type);

}  // namespace imgseal
