// Arbitrary bytes through the boot check, in memory and as a stream in pieces
// that the bytes choose, and through the core's verdict on the same bytes as
// a file: the boot code and imgseal-verify must never disagree.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "imgseal_check.h"
#include "seal_check.hpp"

namespace {

imgseal_check_result boot_result(imgseal::seal_verdict verdict) {
    using imgseal::seal_verdict;
    switch (verdict) {
        case seal_verdict::ok:
            return IMGSEAL_CHECK_OK;
        case seal_verdict::short_header:
        case seal_verdict::descriptor_outside:
            return IMGSEAL_CHECK_BAD_LAYOUT;
        case seal_verdict::bad_signature:
            return IMGSEAL_CHECK_BAD_SIGNATURE;
        case seal_verdict::not_sealed:
            return IMGSEAL_CHECK_NOT_SEALED;
        case seal_verdict::odd_length:
        case seal_verdict::length_inside_name:
        case seal_verdict::length_not_size:
            return IMGSEAL_CHECK_BAD_LENGTH;
        case seal_verdict::bad_checksum:
            return IMGSEAL_CHECK_BAD_CHECKSUM;
        case seal_verdict::system_error:
            break;
    }
    std::abort();  // a memfd that cannot be read is the fuzzer's own failure
}

// Both verdicts, and the length wherever the seal is accepted.
void expect_same(const imgseal::seal_report& core, imgseal_check_result boot,
                 std::uint32_t length) {
    if (boot_result(core.verdict) != boot || (boot == IMGSEAL_CHECK_OK && length != core.length)) {
        std::abort();
    }
}

// Piece sizes taken from the bytes themselves, every other one possibly 0,
// so that the pieces' edges fall anywhere, the stamp's and the header's among them.
imgseal_check_result stream_result(const std::uint8_t* data, std::size_t size,
                                   std::uint32_t& length) {
    imgseal_check check;
    imgseal_check_begin(&check);
    for (std::size_t at = 0, k = 0; at < size; ++k) {
        const std::size_t piece = std::min<std::size_t>(data[k % size] % 67 + k % 2, size - at);
        imgseal_check_feed(&check, data + at, piece);
        at += piece;
    }
    return imgseal_check_end(&check, &length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd == -1 || ftruncate(fd, 0) == -1 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    std::uint32_t length = 0;
    const imgseal_check_result in_memory =
        imgseal_check_memory(data, static_cast<std::uint32_t>(size), &length);
    expect_same(imgseal::check_seal(fd, size, imgseal::seal_scope::slot), in_memory, length);
    const imgseal_check_result streamed = stream_result(data, size, length);
    expect_same(imgseal::check_seal(fd, size, imgseal::seal_scope::whole_image), streamed, length);
    return 0;
}
