// imgseal IMAGE: checks that IMAGE is an unsealed image, sums every byte of it,
// writes checksum and length into its descriptor, pads it to an even size,
// forces it to stable storage and prints its name, length and checksum. The
// exit status tells whether it was sealed and, if not, where the run stopped.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>

#include "image_checksum.hpp"
#include "image_format.hpp"
#include "run.hpp"
#include "stamp.hpp"

namespace {

using imgseal::exit_status;

// A standard stream that the caller left closed would be taken by the open of
// the image, and the tool's own lines would then be written into the image.
void hold_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        // open returns the lowest free descriptor: this one.
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) {
            imgseal::fail_system_call(exit_status::usage_or_open);
        }
    }
}

// Opens the image read-write, without creating or truncating anything. The
// open must not block (a FIFO, a terminal), and only a regular file smaller
// than 2^31 bytes is an image: a FIFO or a device would block or never end.
int open_image(const char* path) {
    const int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) imgseal::fail_system_call(exit_status::usage_or_open);

    struct stat status {};
    if (fstat(fd, &status) == -1) imgseal::fail_system_call(exit_status::usage_or_open);
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        imgseal::fail_system_call(exit_status::usage_or_open);
    }
    if (status.st_size >= imgseal::image_size_limit) {
        errno = EOVERFLOW;
        imgseal::fail_system_call(exit_status::usage_or_open);
    }
    // O_NONBLOCK stays set: it changes nothing for a regular file.

    // Runs on one image follow one another: a later run waits, then finds the
    // image sealed. Two runs at once would both append a fill byte. The lock
    // lasts until the image is closed or the process ends. File systems
    // without locks go on without one.
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLKW, &whole_file) == -1 && errno != ENOLCK && errno != EINVAL &&
        errno != EOPNOTSUPP) {
        imgseal::fail_system_call(exit_status::usage_or_open);
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    hold_standard_streams();
    // An append beyond the file size limit then fails with EFBIG and is
    // reported, instead of the signal killing the run half-way.
    (void)std::signal(SIGXFSZ, SIG_IGN);  // cannot fail for a valid signal
    if (argc != 2) {
        imgseal::print_line("Invalid number of arguments\n");
        imgseal::end_run(exit_status::usage_or_open);
    }
    const int fd = open_image(argv[1]);
    const std::uint32_t descriptor_offset = imgseal::check_image(fd);
    const imgseal::image_sum sum = imgseal::image_checksum(fd);
    imgseal::stamp_image(fd, descriptor_offset, sum);
    imgseal::end_run(exit_status::sealed);
}
