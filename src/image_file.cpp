// Opening an image file without ever blocking on a FIFO or a device, the
// whole-file lock that makes runs on one image follow one another, and the
// record of the file's state that shows another writer.
#include "image_file.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace imgseal {

namespace {

// Short beside the time a lease holder takes to let go, long enough not to spin.
constexpr std::timespec lease_retry_pause{0, 10'000'000};

constexpr outcome not_regular{fault::open_failed, 0, "Not a regular file"};
constexpr outcome replaced{fault::open_failed, 0, "Image was replaced while it was opened"};

// Only where /proc is missing. An open with O_NONBLOCK never blocks, and one
// refused with EWOULDBLOCK has started breaking a lease: it is tried again
// while the path names a regular file (only those carry leases), until the
// holder lets go or the system breaks the lease itself (lease-break-time).
outcome open_by_path(const char* path, int flags, int& fd) {
    for (;;) {
        fd = open(path, flags | O_NONBLOCK);
        if (fd != -1) {
            // The path may have been replaced since it was examined.
            struct stat status {};
            if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) return succeeded;
            (void)close(fd);
            fd = -1;
            return not_regular;
        }
        // Any other failure is the open's own verdict on the path.
        if (errno != EWOULDBLOCK) return system_fault(fault::open_failed);
        struct stat status {};
        if (stat(path, &status) == -1) return system_fault(fault::open_failed);
        if (!S_ISREG(status.st_mode)) {
            errno = EWOULDBLOCK;
            return system_fault(fault::open_failed);
        }
        (void)nanosleep(&lease_retry_pause, nullptr);
    }
}

// The link in /proc reaches the examined file only if /proc is what it
// claims to be: whatever is mounted there is checked against the O_PATH
// descriptor's own identity before the file is trusted.
outcome open_through_proc(int path_fd, const struct stat& examined, int flags, int& fd) {
    // A block device is no FIFO or terminal: an open does not wait on it.
    char link[32];
    (void)std::snprintf(link, sizeof link, "/proc/self/fd/%d", path_fd);
    fd = open(link, flags);
    if (fd == -1) return system_fault(fault::open_failed);
    struct stat opened {};
    if (fstat(fd, &opened) == 0 && (opened.st_mode & S_IFMT) == (examined.st_mode & S_IFMT) &&
        opened.st_dev == examined.st_dev && opened.st_ino == examined.st_ino) {
        return succeeded;
    }
    (void)close(fd);
    fd = -1;
    return replaced;
}

// A plain open of a FIFO or a device can block (a FIFO until it has a writer,
// a terminal until its line is up), and an open with O_NONBLOCK fails at once
// on a regular file under a lease instead of waiting for the lease to break.
// So the path is first opened with O_PATH, which opens nothing: no driver is
// called and no lease is touched. Only a regular file is then opened for real,
// through its descriptor's link in /proc, which reaches the very file that was
// examined even if another one has been renamed over the path since, and
// which, without O_NONBLOCK, waits while a lease is being broken.
outcome open_file(const char* path, int access_mode, bool block_device_too, int& fd) {
    const int flags = access_mode | O_CLOEXEC | O_NOCTTY;
    fd = -1;
    const int path_fd = open(path, O_PATH | O_CLOEXEC);
    if (path_fd == -1) return system_fault(fault::open_failed);

    outcome result = succeeded;
    struct stat status {};
    if (fstat(path_fd, &status) == -1) {
        result = system_fault(fault::open_failed);
    } else if (S_ISDIR(status.st_mode)) {
        result = {fault::open_failed, EISDIR, nullptr};
    } else if (!S_ISREG(status.st_mode) && !(block_device_too && S_ISBLK(status.st_mode))) {
        result = not_regular;
    } else {
        result = open_through_proc(path_fd, status, flags, fd);
        // The link exists while path_fd is open, unless /proc is not
        // mounted. A process with one descriptor to spare opens by path.
        if (result.failed() && result.text == nullptr && S_ISREG(status.st_mode) &&
            (result.error == ENOENT || result.error == EMFILE)) {
            (void)close(path_fd);
            return open_by_path(path, flags, fd);
        }
    }
    (void)close(path_fd);
    return result;
}

}  // namespace

outcome open_regular_file(const char* path, int access_mode, int& fd) {
    return open_file(path, access_mode, false, fd);
}

outcome open_file_or_block_device(const char* path, int access_mode, int& fd) {
    return open_file(path, access_mode, true, fd);
}

bool lock_image_file(int fd, short lock_type) {
    struct flock whole_file {};
    whole_file.l_type = lock_type;
    whole_file.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLKW, &whole_file) == 0) return true;
    return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP;
}

// Polled: a wait that blocks could not be bounded without a signal handler.
lock_result lock_image_file_within(int fd, short lock_type, unsigned seconds) {
    constexpr std::timespec pause{0, 20'000'000};
    struct flock whole_file {};
    whole_file.l_type = lock_type;
    whole_file.l_whence = SEEK_SET;
    std::timespec start{};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &whole_file) == 0) return lock_result::held;
        if (errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP) return lock_result::held;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return lock_result::failed;
        std::timespec now{};
        (void)clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited_ns =
            (now.tv_sec - start.tv_sec) * 1'000'000'000LL + (now.tv_nsec - start.tv_nsec);
        if (waited_ns >= seconds * 1'000'000'000LL) return lock_result::busy;
        (void)nanosleep(&pause, nullptr);
    }
}

outcome record_file_state(int fd, file_state& state) {
    struct stat status {};
    if (fstat(fd, &status) == -1) return system_fault(fault::read_failed);
    state = {status.st_size, status.st_mtim, status.st_ctim};
    if (S_ISBLK(status.st_mode)) {
        std::uint64_t device_size = 0;
        if (ioctl(fd, BLKGETSIZE64, &device_size) == 0) {
            state.size = static_cast<off_t>(device_size);
        } else {
            state.size = lseek(fd, 0, SEEK_END);
            if (state.size == -1) return system_fault(fault::read_failed);
        }
    }
    return succeeded;
}

outcome compare_file_state(int fd, const file_state& recorded) {
    file_state now{};
    const outcome result = record_file_state(fd, now);
    if (result.failed()) return result;
    if (now.size != recorded.size) return changed_size;
    const auto same_time = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    if (!same_time(now.modified, recorded.modified) || !same_time(now.changed, recorded.changed)) {
        return changed_content;
    }
    return succeeded;
}

dev_t decode_loop_device(std::uint64_t encoded) {
    return makedev(static_cast<unsigned>((encoded & 0xFFF00) >> 8),
                   static_cast<unsigned>((encoded & 0xFF) | ((encoded >> 12) & 0xFFF00)));
}

namespace {

// The loop driver's major device number; its partitions get numbers of
// their own (blkext), which tell nothing of the loop device they belong to.
constexpr unsigned loop_major = 7;

// `status` is the file's; `fd`, where it is open (-1 otherwise), asks a loop
// device for its backing file.
storage storage_from(const struct stat& status, int fd) {
    storage where{};
    if (S_ISREG(status.st_mode)) {
        where.is_file = true;
        where.device = status.st_dev;
        where.inode = status.st_ino;
    } else if (S_ISBLK(status.st_mode)) {
        where.is_block = true;
        where.block = status.st_rdev;
        loop_info64 info{};
        if (major(status.st_rdev) == loop_major && fd != -1 &&
            ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
            where.is_file = true;
            where.device = decode_loop_device(info.lo_device);
            where.inode = static_cast<ino_t>(info.lo_inode);
        }
    }
    return where;
}

}  // namespace

storage storage_of(int fd) {
    struct stat status {};
    if (fstat(fd, &status) == -1) return {};
    return storage_from(status, fd);
}

storage storage_at(const char* path) {
    struct stat status {};
    if (stat(path, &status) == -1) return {};
    if (!S_ISBLK(status.st_mode) || major(status.st_rdev) != loop_major) {
        return storage_from(status, -1);
    }
    // A loop device's open does not block, and a read-only one changes nothing.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat opened {};
    const bool same = fd != -1 && fstat(fd, &opened) == 0 && S_ISBLK(opened.st_mode) &&
                      opened.st_rdev == status.st_rdev;
    const storage where = storage_from(status, same ? fd : -1);
    if (fd != -1) (void)close(fd);
    return where;
}

bool writes_into(int stream, const storage& image) {
    if (!image.is_file && !image.is_block) return false;
    const storage output = storage_of(stream);
    return (output.is_block && image.is_block && output.block == image.block) ||
           (output.is_file && image.is_file && output.device == image.device &&
            output.inode == image.inode);
}

output_into streams_into(const storage& file) {
    return {writes_into(STDOUT_FILENO, file), writes_into(STDERR_FILENO, file)};
}

}  // namespace imgseal
