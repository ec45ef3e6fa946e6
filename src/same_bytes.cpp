// The sealed image is read in pieces of the pass's own size, at explicit
// offsets, through one fixed buffer.
#include "same_bytes.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image_checksum.hpp"

namespace imgseal {

namespace {

// A failure has the sealed image's name in its text, so that it is not taken
// for one of the read-back.
char failure_text[128];

outcome cannot_read_reference(int error) {
    (void)std::snprintf(failure_text, sizeof failure_text, "the image of --same-as: %s",
                        error != 0 ? std::strerror(error) : "Unexpected end of file");
    return {fault::read_failed, error, failure_text};
}

}  // namespace

void comparison_begin(byte_comparison& comparison, int reference_fd, std::uint64_t length) {
    comparison = {reference_fd, length, 0, false, 0, 0, 0};
}

outcome comparison_take(void* context, const std::uint8_t* data, std::size_t size) {
    alignas(64) static std::uint8_t expected[checksum_buffer_size];
    auto& comparison = *static_cast<byte_comparison*>(context);
    const std::uint64_t start = comparison.offset;
    comparison.offset += size;
    if (comparison.differs || start >= comparison.length) return succeeded;
    const auto compared =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, comparison.length - start));
    for (std::size_t done = 0; done < compared;) {
        const std::size_t piece = std::min(compared - done, sizeof expected);
        const ssize_t got =
            pread(comparison.reference_fd, expected, piece, static_cast<off_t>(start + done));
        if (got == -1) return cannot_read_reference(errno);
        if (got == 0) return cannot_read_reference(0);
        const auto length = static_cast<std::size_t>(got);
        if (std::memcmp(expected, data + done, length) != 0) {
            std::size_t i = 0;
            while (expected[i] == data[done + i]) ++i;
            comparison.differs = true;
            comparison.at = start + done + i;
            comparison.expected = expected[i];
            comparison.found = data[done + i];
            return succeeded;
        }
        done += length;
    }
    return succeeded;
}

}  // namespace imgseal
