// The CRC-32 of the format's CRC field (image_format.hpp), for images that
// arrive in blocks of any size: the kernels that compute it, and the state
// that takes the CRC field and the seal as zero wherever the blocks begin.
#pragma once

#include <cstddef>
#include <cstdint>

#include "run.hpp"

namespace imgseal {

// Continues the CRC-32 `crc` of some bytes over the next `size` bytes at
// `data`: crc32(crc32(0, a), b) is the CRC of a followed by b, and the CRC of
// nothing is 0. The kernels give the same values; they differ in speed only.
using crc_kernel = std::uint32_t (*)(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// Tables, 16 bytes a step, on any processor and in either byte order.
std::uint32_t crc32_table(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
#if defined(__x86_64__)
// Carry-less multiplication, 64 bytes a step: needs PCLMULQDQ.
std::uint32_t crc32_pclmul(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
bool pclmul_supported();
#endif
// The fastest kernel that this processor runs.
crc_kernel fastest_crc_kernel();

// The CRC of an image so far: its bytes from file offset 0, given in order.
struct image_crc_state {
    crc_kernel kernel;
    std::uint32_t crc;
    std::uint64_t byte_count;  // bytes given so far: the next byte's file offset
};

image_crc_state image_crc_init(crc_kernel kernel = fastest_crc_kernel());
// Blocks may have any size, down to a byte; the CRC field and the seal count
// as zero whichever blocks hold them.
void image_crc_update(image_crc_state& state, const std::uint8_t* data, std::size_t size);
std::uint32_t image_crc_final(const image_crc_state& state);

// The CRC of the `size` bytes of an image at `data`, all in memory.
std::uint32_t image_crc(const std::uint8_t* data, std::size_t size);

// For a pass's block_observer (image_checksum.hpp), whose context is an
// image_crc_state: takes each block the pass reads. Never fails.
outcome take_image_crc_block(void* context, const std::uint8_t* data, std::size_t size);

}  // namespace imgseal
