// Arbitrary bytes as an image file, run through the validation and the
// checksum pass in process: the run must end exactly where the format's rules
// say, and an accepted image must give the reference checksum. The run's exit
// is replaced by a jump back here, so that one process survives every input.
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>

#include "image_builder.hpp"
#include "image_checksum.hpp"
#include "image_format.hpp"
#include "run.hpp"

namespace {

std::jmp_buf run_ended;
int ended_with = -1;

}  // namespace

// Only trivially destructible frames lie between here and the setjmp below.
void imgseal::end_run(exit_status status) {
    ended_with = static_cast<int>(status);
    std::longjmp(run_ended, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd == -1 || ftruncate(fd, 0) == -1 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    const imgseal_test::bytes image(data, data + size);
    const int want = imgseal_test::expected_status(image);

    if (setjmp(run_ended) == 0) {
        const std::uint32_t offset = imgseal::check_image(fd);
        const imgseal::image_sum got = imgseal::image_checksum(fd);
        const imgseal_test::reference_result ref = imgseal_test::reference_checksum(image);
        if (want != 0 || offset != imgseal_test::load_be32_at(image, 4) ||
            got.checksum != ref.checksum || got.padded_length != ref.padded_length ||
            got.odd_tail != ref.odd_tail) {
            std::abort();
        }
    } else if (ended_with != want) {
        std::abort();
    }
    return 0;
}
