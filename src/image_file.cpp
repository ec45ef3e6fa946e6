// Opening an image file without ever blocking on a FIFO or a device, and the
// whole-file lock that makes runs on one image follow one another.
#include "image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace imgseal {

namespace {

// Short beside the time a lease holder takes to let go, long enough not to spin.
constexpr std::timespec lease_retry_pause{0, 10'000'000};

// Only where /proc is missing. An open with O_NONBLOCK never blocks, and one
// refused with EWOULDBLOCK has started breaking a lease: it is tried again
// while the path names a regular file (only those carry leases), until the
// holder lets go or the system breaks the lease itself (lease-break-time).
int open_by_path(const char* path, int flags) {
    for (;;) {
        const int fd = open(path, flags | O_NONBLOCK);
        if (fd != -1) {
            // The path may have been replaced since it was examined.
            struct stat status {};
            if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) return fd;
            (void)close(fd);
            errno = EINVAL;
            return -1;
        }
        struct stat status {};
        if (errno != EWOULDBLOCK || stat(path, &status) == -1 || !S_ISREG(status.st_mode)) {
            errno = EWOULDBLOCK;
            return -1;
        }
        (void)nanosleep(&lease_retry_pause, nullptr);
    }
}

}  // namespace

// A plain open of a FIFO or a device can block (a FIFO until it has a writer,
// a terminal until its line is up), and an open with O_NONBLOCK fails at once
// on a regular file under a lease instead of waiting for the lease to break.
// So the path is first opened with O_PATH, which opens nothing: no driver is
// called and no lease is touched. Only a regular file is then opened for real,
// through its descriptor's link in /proc, which reaches the very file that was
// examined even if another one has been renamed over the path since, and
// which, without O_NONBLOCK, waits while a lease is being broken.
int open_regular_file(const char* path, int access_mode) {
    const int flags = access_mode | O_CLOEXEC | O_NOCTTY;
    const int path_fd = open(path, O_PATH | O_CLOEXEC);
    if (path_fd == -1) return -1;

    int fd = -1;
    struct stat status {};
    if (fstat(path_fd, &status) == 0) {
        if (S_ISREG(status.st_mode)) {
            char link[32];
            (void)std::snprintf(link, sizeof link, "/proc/self/fd/%d", path_fd);
            fd = open(link, flags);
            // The link exists while path_fd is open, unless /proc is not mounted.
            if (fd == -1 && errno == ENOENT) fd = open_by_path(path, flags);
        } else {
            errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        }
    }
    const int open_error = errno;
    (void)close(path_fd);
    errno = open_error;
    return fd;
}

bool lock_image_file(int fd, short lock_type) {
    struct flock whole_file {};
    whole_file.l_type = lock_type;
    whole_file.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLKW, &whole_file) == 0) return true;
    return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP;
}

}  // namespace imgseal
