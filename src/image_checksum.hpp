// The checksum pass: the image's bytes streamed through one fixed buffer and
// summed as big-endian 16-bit words, with init, update per block and final.
//
// The checksum is defined unit by unit: every 2 bytes of the file, the first
// the high-order byte, are added to a 32-bit word_sum that wraps modulo 2^32
// (a final single byte is a high-order byte with a zero low-order byte); then
// the two 16-bit halves of the padded length are added, the sum is folded once
// and complemented. Stored images depend on that exact value, wraps included.
// The sum of all words equals 256 * S_even + S_odd, where S_even and S_odd are
// the sums of the bytes at even and odd file offsets; both fit in 64 bits for
// any image, and word_sum is that value modulo 2^32. So the pass only counts
// bytes and sums them by the parity of their offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imgseal {

// Sums of the bytes at even and odd distances from the start of a block.
struct byte_sums {
    std::uint64_t even;
    std::uint64_t odd;
};

using sum_kernel = byte_sums (*)(const std::uint8_t* data, std::size_t size);

// The kernels give the same sums; they differ in speed only.
byte_sums sum_bytes_scalar(const std::uint8_t* data, std::size_t size);
#if defined(__x86_64__)
byte_sums sum_bytes_sse2(const std::uint8_t* data, std::size_t size);
byte_sums sum_bytes_avx2(const std::uint8_t* data, std::size_t size);  // needs AVX2
bool avx2_supported();
#endif
// The fastest kernel that this processor runs.
sum_kernel fastest_kernel();

struct checksum_state {
    sum_kernel kernel;
    std::uint64_t even_sum;    // bytes at even file offsets
    std::uint64_t odd_sum;     // bytes at odd file offsets
    std::uint64_t byte_count;  // bytes summed so far: the next byte's file offset
};

struct image_sum {
    std::uint16_t checksum;
    std::uint32_t padded_length;  // the byte count rounded up to even
    bool odd_tail;                // the byte count is odd
};

checksum_state checksum_init(sum_kernel kernel = fastest_kernel());
// Blocks may have any size, odd ones included; only their order matters.
void checksum_update(checksum_state& state, const std::uint8_t* data, std::size_t size);
image_sum checksum_final(const checksum_state& state);

// Large enough that the cost of a read call vanishes beside the copy it makes.
inline constexpr std::size_t checksum_buffer_size = std::size_t{1} << 20;

// Sums the whole image from offset 0 to its end and prints the length line.
// Ends the run on a failed seek or read.
image_sum image_checksum(int fd);

}  // namespace imgseal
