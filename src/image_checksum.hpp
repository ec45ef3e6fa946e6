// The checksum pass: every byte of the image summed as big-endian 16-bit
// words, with init, update per block and final, read through one fixed buffer
// or over mapped windows of the file, whichever this host does faster.
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

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "image_format.hpp"
#include "run.hpp"
#include "sum_kernels.hpp"

namespace imgseal {

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
// Adds the kernel's sums of the next `size` bytes.
void checksum_add(checksum_state& state, const byte_sums& block, std::size_t size);
// Takes `size` bytes that were summed at file offset `offset` back out of the
// sums, as if they had been zero: a sealed image's stamp, for one.
void checksum_exclude(checksum_state& state, std::uint64_t offset, const std::uint8_t* data,
                      std::size_t size);
image_sum checksum_final(const checksum_state& state);

// The read loop's buffer: large enough that the cost of a read call vanishes
// beside the copy it makes, small enough that the sum reads it back from the
// processor's cache.
inline constexpr std::size_t checksum_buffer_size = std::size_t{1} << 20;
// A mapped window: large enough that mapping and unmapping cost little per
// byte, small enough that resident memory stays flat.
inline constexpr std::size_t checksum_window_size = std::size_t{2} << 20;

// Another consumer of the bytes that a pass reads (a hash, a comparison with
// another file): given every block once, in order, right after the sum, so
// that an image is read only once. A failed outcome from `take` ends the pass
// with it.
struct block_observer {
    outcome (*take)(void* context, const std::uint8_t* data, std::size_t size);
    void* context;
    // Whether it needs the bytes of the image whose header gives
    // `descriptor_offset` and whose descriptor holds `descriptor` (a CRC
    // needs those of an image that carries one only). Where it needs none, a
    // file's pass gives them to no observer and may map them. None: it needs
    // every image's.
    bool (*wants)(void* context, std::uint32_t descriptor_offset,
                  const std::uint8_t (&descriptor)[descriptor_size]) = nullptr;
};

// The two ways of summing the file from state.byte_count up to `size` bytes.
// sum_mapped maps one window at a time; it stops early, leaving the rest to
// sum_read, where the file has holes (a mapping's reads could allocate them),
// or where a window cannot be mapped or a page of it cannot be had. sum_read
// gives each block to `observer` too, if there is one. Both report a file
// that ends before `size` as one that changed size.
outcome sum_mapped(int fd, std::uint64_t size, checksum_state& state);
outcome sum_read(int fd, std::uint64_t size, checksum_state& state,
                 const block_observer* observer = nullptr);

// Sums the file from state.byte_count up to `size` bytes, however much longer
// it is, by whichever of the two ways costs this host less: neither wins on
// every host (where each fault of a mapped page is dear, as under some
// hypervisors, reading is several times faster; elsewhere mapping saves the
// copy). A file long enough is timed both ways over its first windows, and
// the rest goes the cheaper way. With an `observer`, or where the file is
// short, it is read.
outcome sum_prefix(int fd, std::uint64_t size, checksum_state& state,
                   const block_observer* observer = nullptr);

// The pass: sums the whole file, exactly the bytes of the size it has when the
// pass starts, and leaves the file offset anywhere. A file larger than
// `largest_size`, or whose size changes before the pass ends, fails with
// fault::read_failed.
outcome sum_image(int fd, off_t largest_size, checksum_state& state);

// sum_image and checksum_final.
outcome image_checksum(int fd, off_t largest_size, image_sum& sum);

}  // namespace imgseal
