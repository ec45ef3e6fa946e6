// Arbitrary bytes as an image file, run through the validation and the
// checksum pass in process: the core must stop exactly where the format's
// rules say, and an accepted image must give the reference checksum.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "image_builder.hpp"
#include "image_checksum.hpp"
#include "image_format.hpp"
#include "run.hpp"

namespace {

// The tool's exit status for a fault, as the format's verdict states it.
int status_of(imgseal::fault what) {
    switch (what) {
        case imgseal::fault::none:
            return 0;
        case imgseal::fault::header_short:
            return 2;
        case imgseal::fault::seek_failed:
            return 3;
        case imgseal::fault::read_failed:
            return 4;
        case imgseal::fault::bad_signature:
            return 5;
        case imgseal::fault::nonzero_checksum:
        case imgseal::fault::nonzero_length:
            return 6;
        case imgseal::fault::open_failed:
        case imgseal::fault::write_failed:
            break;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd == -1 || ftruncate(fd, 0) == -1 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    const imgseal_test::bytes image(data, data + size);
    const int want = imgseal_test::expected_status(image);

    static imgseal::image_fields fields;
    imgseal::outcome result = imgseal::check_image(fd, fields);
    if (result.failed()) {
        if (status_of(result.what) != want) std::abort();
        return 0;
    }
    imgseal::image_sum got{};
    result = imgseal::image_checksum(fd, off_t{1} << 31, got);
    const imgseal_test::reference_result ref = imgseal_test::reference_checksum(image);
    if (result.failed() || want != 0 ||
        fields.descriptor_offset != imgseal_test::load_be32_at(image, 4) ||
        got.checksum != ref.checksum || got.padded_length != ref.padded_length ||
        got.odd_tail != ref.odd_tail) {
        std::abort();
    }
    return 0;
}
