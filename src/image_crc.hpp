// The CRC of the format's CRC field (image_format.hpp), for images that
// arrive in blocks of any size: the state that takes the CRC field and the
// seal as zero wherever the blocks begin, and the check of an image's CRC as
// a pass reads it. The CRC-32 itself is libdeflate's, which folds with
// carry-less multiplication where the processor has it; only imgseal-pack
// and imgseal-verify link it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image_format.hpp"
#include "run.hpp"

namespace imgseal {

// The CRC of an image so far: its bytes from file offset 0, given in order.
struct image_crc_state {
    std::uint32_t crc;
    std::uint64_t byte_count;  // bytes given so far: the next byte's file offset
};

image_crc_state image_crc_init();
// Blocks may have any size, down to a byte; the CRC field and the seal count
// as zero whichever blocks hold them.
void image_crc_update(image_crc_state& state, const std::uint8_t* data, std::size_t size);
std::uint32_t image_crc_final(const image_crc_state& state);

// The CRC of the `size` bytes of an image at `data`, all in memory.
std::uint32_t image_crc(const std::uint8_t* data, std::size_t size);

// An image's CRC checked as a pass reads it: given every byte of the image
// from file offset 0, in order (the take of a block_observer, whose context
// is a crc_check), it keeps the first bytes, which tell whether the image
// carries a CRC and hold it, and computes the CRC of an image that carries
// one only. Never fails.
struct crc_check {
    std::uint64_t given;  // bytes given so far
    std::uint8_t first[crc_field_end];
    bool carries;  // known once `first` is full
    image_crc_state state;
};

void crc_check_begin(crc_check& check);
outcome crc_check_take(void* check, const std::uint8_t* data, std::size_t size);

// What the check found, once given the image's `length` bytes: an image given
// no byte carries none.
struct crc_found {
    bool carries;
    std::uint32_t stored;    // the CRC field
    std::uint32_t computed;  // the image's CRC
};
crc_found crc_check_end(const crc_check& check);

}  // namespace imgseal
