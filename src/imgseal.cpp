// imgseal IMAGE: checks that IMAGE is an unsealed image, sums every byte of it,
// writes checksum and length into its descriptor, pads it to an even size,
// forces it to stable storage and prints its name, length and checksum. The
// exit status tells whether it was sealed and, if not, where the run stopped.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "image_checksum.hpp"
#include "image_format.hpp"
#include "run.hpp"

namespace {

using imgseal::exit_status;

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
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        imgseal::print_line("Invalid number of arguments\n");
        imgseal::end_run(exit_status::usage_or_open);
    }
    const int fd = open_image(argv[1]);
    imgseal::check_image(fd);
    imgseal::image_checksum(fd);
    imgseal::end_run(exit_status::sealed);
}
