// --same-as's comparison of a read-back with the sealed image it should hold:
// fed the read-back's bytes block by block by the pass that reads it, it
// reads the sealed image's bytes at the same offsets, and keeps the first
// difference.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run.hpp"

namespace imgseal {

struct byte_comparison {
    int reference_fd;       // the sealed image, open for reading
    std::uint64_t length;   // its length: no byte past it is compared
    std::uint64_t offset;   // the offset of the next byte given
    bool differs;           // a difference was found: the first is
    std::uint64_t at;       //   at this offset,
    std::uint8_t expected;  //   the sealed image's byte,
    std::uint8_t found;     //   and the read-back's
};

void comparison_begin(byte_comparison& comparison, int reference_fd, std::uint64_t length);

// Compares the next `size` bytes of the read-back: the take of a block
// observer, whose context is a byte_comparison. Fails only where the sealed
// image cannot be read, or is shorter than its length.
outcome comparison_take(void* comparison, const std::uint8_t* data, std::size_t size);

}  // namespace imgseal
