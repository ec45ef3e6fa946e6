// Arbitrary bytes through the boot check, in memory and as a stream in pieces
// that the bytes choose, and through the core's verdicts on the same bytes as
// a file and as a stream: the boot code and imgseal-verify must never disagree.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "imgseal_check.h"
#include "seal_check.hpp"

namespace {

// The boot check's result for each of the core's verdicts, in their order.
constexpr imgseal_check_result boot_results[] = {
    IMGSEAL_CHECK_OK,          IMGSEAL_CHECK_BAD_LAYOUT,    IMGSEAL_CHECK_ERASED,
    IMGSEAL_CHECK_BAD_LAYOUT,  IMGSEAL_CHECK_BAD_SIGNATURE, IMGSEAL_CHECK_NOT_SEALED,
    IMGSEAL_CHECK_BAD_LENGTH,  IMGSEAL_CHECK_BAD_LENGTH,    IMGSEAL_CHECK_BAD_LENGTH,
    IMGSEAL_CHECK_BAD_CHECKSUM};
static_assert(static_cast<std::size_t>(imgseal::seal_verdict::erased) == 2 &&
              static_cast<std::size_t>(imgseal::seal_verdict::length_not_size) == 8 &&
              static_cast<std::size_t>(imgseal::seal_verdict::system_error) == 10);

// Both verdicts, and the length wherever the seal is accepted.
void expect_same(const imgseal::seal_report& core, imgseal_check_result boot,
                 std::uint32_t length) {
    // A memfd that cannot be read (system_error) is the fuzzer's own failure.
    const auto verdict = static_cast<std::size_t>(core.verdict);
    if (verdict >= std::size(boot_results) || boot_results[verdict] != boot ||
        (boot == IMGSEAL_CHECK_OK && length != core.length)) {
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
    // The core's stream form reads the same bytes once, from the start.
    const auto core_stream = [](imgseal::seal_scope scope) {
        if (lseek(fd, 0, SEEK_SET) == -1) std::abort();
        return imgseal::check_seal_stream(fd, scope);
    };
    std::uint32_t length = 0;
    const imgseal_check_result in_memory =
        imgseal_check_memory(data, static_cast<std::uint32_t>(size), &length);
    expect_same(imgseal::check_seal(fd, size, imgseal::seal_scope::slot), in_memory, length);
    expect_same(core_stream(imgseal::seal_scope::slot), in_memory, length);
    const imgseal_check_result streamed = stream_result(data, size, length);
    expect_same(imgseal::check_seal(fd, size, imgseal::seal_scope::whole_image), streamed, length);
    expect_same(core_stream(imgseal::seal_scope::whole_image), streamed, length);
    return 0;
}
