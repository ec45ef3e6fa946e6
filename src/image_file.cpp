// Opening and locking an image file.
#include "image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace imgseal {

int open_regular_file(const char* path, int access_mode) {
    const int fd = open(path, access_mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) return -1;
    struct stat status {};
    // A directory opened for reading is named as such, as a read-write open
    // names it.
    const int error = fstat(fd, &status) == -1  ? errno
                      : S_ISREG(status.st_mode) ? 0
                      : S_ISDIR(status.st_mode) ? EISDIR
                                                : EINVAL;
    if (error != 0) {
        (void)close(fd);
        errno = error;
        return -1;
    }
    // O_NONBLOCK stays set: it changes nothing for a regular file.
    return fd;
}

bool lock_image_file(int fd, short lock_type) {
    struct flock whole_file {};
    whole_file.l_type = lock_type;
    whole_file.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLKW, &whole_file) != -1 || errno == ENOLCK || errno == EINVAL ||
           errno == EOPNOTSUPP;
}

}  // namespace imgseal
