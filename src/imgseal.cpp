// imgseal IMAGE: checks that IMAGE is an unsealed image, sums every byte of it,
// writes checksum and length into its descriptor, pads it to an even size,
// forces it to stable storage and prints its name, length and checksum. The
// exit status tells whether it was sealed and, if not, where the run stopped.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>

#include "image_checksum.hpp"
#include "image_file.hpp"
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

// Opens the image read-write, without creating or truncating anything, and
// locks it. Only a regular file smaller than 2^31 bytes is an image.
int open_image(const char* path) {
    const int fd = imgseal::open_regular_file(path, O_RDWR);
    if (fd == -1) imgseal::fail_system_call(exit_status::usage_or_open);

    struct stat status {};
    if (fstat(fd, &status) == -1) imgseal::fail_system_call(exit_status::usage_or_open);
    if (status.st_size >= imgseal::image_size_limit) {
        errno = EOVERFLOW;
        imgseal::fail_system_call(exit_status::usage_or_open);
    }

    // Runs on one image follow one another: a later run waits, then finds the
    // image sealed. Two runs at once would both append a fill byte.
    if (!imgseal::lock_image_file(fd, F_WRLCK)) {
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
    // The seal must not depend on whoever reads the lines: a reader that has
    // gone only loses them, and the run goes on to its own status.
    (void)std::signal(SIGPIPE, SIG_IGN);
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
