// Arbitrary bytes through the boot check, in memory, as a stream and as a slot
// in pieces that the bytes choose, and through the core's verdicts on the
// same bytes as a file and as a stream: the boot code and imgseal-verify must
// never disagree, and the slot form must give the memory form's verdict both
// where imgseal_check_needed() first says 0 and once every byte is fed. Once
// the seal passes, imgseal-verify's verdict on the CRC, from the check that
// rides on each pass, and the boot check's in every form, with a CRC
// required and without, must be the bitwise reference's.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "image_builder.hpp"
#include "image_crc.hpp"
#include "imgseal_check.h"
#include "seal_check.hpp"
#include "verdict_text.hpp"

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

// Whether the image whose first `length` bytes are at `data` carries a CRC
// (descriptor at 8, the marker in bytes 8-11), its field, and the
// reference's CRC of those bytes, taken with bytes 12-15 and 18-23 as zero.
struct reference_crc {
    bool carries;
    std::uint32_t stored, want;
};
reference_crc judge_crc(const std::uint8_t* data, std::uint32_t length) {
    const imgseal_test::bytes image(data, data + length);
    const bool carries = imgseal_test::load_be32_at(image, 4) == 8 &&
                         imgseal_test::load_be32_at(image, 8) == 0x89435243;
    return {carries, carries ? imgseal_test::load_be32_at(image, 12) : 0,
            carries ? imgseal_test::reference_image_crc(image) : 0};
}

// The boot check's result that the core's verdict on the seal and the
// reference's on the CRC give: the CRC's once the seal passes.
imgseal_check_result boot_want(const imgseal::seal_report& core, const std::uint8_t* data,
                               bool required) {
    // A memfd that cannot be read (system_error) is the fuzzer's own failure.
    const auto verdict = static_cast<std::size_t>(core.verdict);
    if (verdict >= std::size(boot_results)) std::abort();
    if (boot_results[verdict] != IMGSEAL_CHECK_OK) return boot_results[verdict];
    const reference_crc crc = judge_crc(data, core.length);
    if (crc.carries && crc.stored != crc.want) return IMGSEAL_CHECK_BAD_CRC;
    if (!crc.carries && required) return IMGSEAL_CHECK_NO_CRC;
    return IMGSEAL_CHECK_OK;
}

// Both verdicts, and the length wherever the image is accepted.
void expect_same(const imgseal::seal_report& core, imgseal_check_result boot, std::uint32_t length,
                 const std::uint8_t* data, bool required = false) {
    if (boot_want(core, data, required) != boot ||
        (boot == IMGSEAL_CHECK_OK && length != core.length)) {
        std::abort();
    }
}

// The core's check of the same bytes, with the CRC check riding on its pass.
struct core_check {
    imgseal::seal_report report;
    imgseal::crc_found crc;
};

template <typename Check>
core_check check_with_crc(Check check) {
    imgseal::crc_check crc{};
    imgseal::crc_check_begin(crc);
    const imgseal::block_observer observer{imgseal::crc_check_take, &crc};
    const imgseal::seal_report report = check(&observer);
    return {report, imgseal::crc_check_end(crc)};
}

// Where the seal of the image at the start of `data` passes, the verdict
// that imgseal-verify makes of what the core found, with --require-crc and
// without: an image that carries a CRC (descriptor at 8, the marker in bytes
// 8-11) must hold the reference's CRC of its first `length` bytes, taken with
// bytes 12-15 and 18-23 as zero, and one that carries none passes unless a
// CRC is required.
void expect_crc_verdict(const core_check& core, const std::uint8_t* data) {
    if (core.report.verdict != imgseal::seal_verdict::ok) return;
    const auto [carries, stored, want] = judge_crc(data, core.report.length);
    for (const bool required : {false, true}) {
        char text[imgseal::verdict_text_size];
        char want_text[imgseal::verdict_text_size] = "FAILED: no CRC";
        if (carries)
            std::snprintf(want_text, sizeof want_text, "FAILED: CRC-32 %08X, computed %08X",
                          static_cast<unsigned>(stored), static_cast<unsigned>(want));
        imgseal::image_record record{};
        const bool passes = carries ? stored == want : !required;
        const imgseal::verdict_class verdict = imgseal::judge_seal(
            text, core.report, imgseal::seal_scope::slot, {}, core.crc, required, record);
        if (verdict != (passes ? imgseal::verdict_class::ok : imgseal::verdict_class::failed) ||
            (!passes && std::strcmp(text, want_text) != 0) ||
            (passes && (record.has_crc != carries || (carries && record.crc != stored)))) {
            std::abort();
        }
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
    imgseal_check_result result = imgseal_check_end(&check, &length);
    // A stream that still lacks bytes is short of its header, its descriptor
    // or its length.
    if (imgseal_check_needed(&check) != 0 && result != IMGSEAL_CHECK_BAD_LAYOUT &&
        result != IMGSEAL_CHECK_BAD_LENGTH) {
        std::abort();
    }
    return result;
}

// The slot form over the first slot_size bytes, fed all `size` of them in
// pieces that the bytes choose (bytes past the slot are to be ignored), with
// a CRC required where `required`. needed() never asks for more than the
// slot still holds and is 0 once it is all fed; the verdict where it first
// said 0, and the one after every byte, must both be `want`.
void expect_slot_form(const std::uint8_t* data, std::size_t size, std::uint32_t slot_size,
                      imgseal_check_result want, std::uint32_t want_length, bool required) {
    const auto expect_want = [&](const imgseal_check& state) {
        std::uint32_t length = 0;
        const imgseal_check_result got = imgseal_check_end(&state, &length);
        if (got != want || (got == IMGSEAL_CHECK_OK && length != want_length)) std::abort();
    };
    imgseal_check check;
    imgseal_check_begin_slot(&check, slot_size);
    if (required) imgseal_check_require_crc(&check);
    bool stopped = false;
    for (std::size_t at = 0, k = 0;; ++k) {
        const std::uint32_t given =
            static_cast<std::uint32_t>(std::min<std::size_t>(at, slot_size));
        const std::uint32_t needed = imgseal_check_needed(&check);
        if (needed > slot_size - given || (given == slot_size && needed != 0)) std::abort();
        if (needed == 0 && !stopped) {
            stopped = true;
            expect_want(check);
        }
        if (at == size) break;
        const std::size_t piece =
            std::min<std::size_t>(data[(3 * k + 1) % size] * 3 % 301 + k % 2, size - at);
        imgseal_check_feed(&check, data + at, piece);
        at += piece;
    }
    expect_want(check);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd == -1 || ftruncate(fd, 0) == -1 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    // The core's forms: the file read at offsets, and the stream, which reads
    // the same bytes once, from the start; each with the CRC check riding.
    const auto core_file = [](std::size_t given, imgseal::seal_scope scope) {
        return check_with_crc([&](const imgseal::block_observer* observer) {
            return imgseal::check_seal(fd, given, scope, observer);
        });
    };
    const auto core_stream = [](imgseal::seal_scope scope) {
        if (lseek(fd, 0, SEEK_SET) == -1) std::abort();
        return check_with_crc([&](const imgseal::block_observer* observer) {
            return imgseal::check_seal_stream(fd, scope, observer);
        });
    };
    const auto expect_core = [&](const core_check& core, imgseal_check_result boot,
                                 std::uint32_t length) {
        expect_same(core.report, boot, length, data);
        expect_crc_verdict(core, data);
    };
    std::uint32_t length = 0;
    const imgseal_check_result in_memory =
        imgseal_check_memory(data, static_cast<std::uint32_t>(size), &length);
    expect_core(core_file(size, imgseal::seal_scope::slot), in_memory, length);
    expect_core(core_stream(imgseal::seal_scope::slot), in_memory, length);
    // A slot a few bytes shorter than the input, as the input says: the bytes
    // past it go to the slot form too.
    const std::size_t cut = size != 0 ? std::min<std::size_t>(data[size - 1] % 4, size) : 0;
    const auto slot_size = static_cast<std::uint32_t>(size - cut);
    // The memory form and the slot form, without and with a CRC required.
    const core_check slot_core = core_file(slot_size, imgseal::seal_scope::slot);
    expect_crc_verdict(slot_core, data);
    for (const bool required : {false, true}) {
        std::uint32_t slot_length = 0;
        const imgseal_check_result in_slot =
            (required ? imgseal_check_memory_crc : imgseal_check_memory)(data, slot_size,
                                                                         &slot_length);
        expect_same(slot_core.report, in_slot, slot_length, data, required);
        expect_slot_form(data, size, slot_size, in_slot, slot_length, required);
    }
    const imgseal_check_result streamed = stream_result(data, size, length);
    expect_core(core_file(size, imgseal::seal_scope::whole_image), streamed, length);
    expect_core(core_stream(imgseal::seal_scope::whole_image), streamed, length);
    return 0;
}
