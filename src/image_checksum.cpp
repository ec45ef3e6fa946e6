// The checksum pass over the whole image.
#include "image_checksum.hpp"

#include <unistd.h>

#include <cerrno>

#include "image_format.hpp"
#include "run.hpp"

namespace imgseal {

byte_sums sum_bytes_scalar(const std::uint8_t* data, std::size_t size) {
    byte_sums sums{0, 0};
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sums.even += data[i];
        sums.odd += data[i + 1];
    }
    if (i < size) sums.even += data[i];
    return sums;
}

checksum_state checksum_init(sum_kernel kernel) { return {kernel, 0, 0, 0}; }

void checksum_update(checksum_state& state, const std::uint8_t* data, std::size_t size) {
    const byte_sums block = state.kernel(data, size);
    // Parity follows the file offset: a block that starts at an odd offset
    // has its even-distance bytes at odd offsets.
    if (state.byte_count % 2 == 0) {
        state.even_sum += block.even;
        state.odd_sum += block.odd;
    } else {
        state.even_sum += block.odd;
        state.odd_sum += block.even;
    }
    state.byte_count += size;
}

image_sum checksum_final(const checksum_state& state) {
    const bool odd_tail = state.byte_count % 2 != 0;
    const auto padded_length = static_cast<std::uint32_t>(state.byte_count + (odd_tail ? 1 : 0));
    // The truncation to 32 bits is the wrap of word_sum.
    auto word_sum = static_cast<std::uint32_t>(state.even_sum * 256 + state.odd_sum);
    word_sum += padded_length & 0xFFFF;
    word_sum += padded_length >> 16;
    std::uint32_t folded = (word_sum >> 16) + (word_sum & 0xFFFF);
    folded += folded >> 16;
    return {static_cast<std::uint16_t>(~folded), padded_length, odd_tail};
}

image_sum image_checksum(int fd) {
    alignas(64) static std::uint8_t buffer[checksum_buffer_size];

    seek_to(fd, 0, SEEK_SET, exit_status::seek_failed);
    checksum_state state = checksum_init();
    // A short read only means "go on": the file is one stream of bytes, and
    // only a read of 0 bytes ends it.
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == -1) fail_system_call(exit_status::read_failed);
        if (got == 0) break;
        checksum_update(state, buffer, static_cast<std::size_t>(got));
        // The file was under the limit when opened; one that another process
        // grows past it would no longer have a 32-bit length.
        if (state.byte_count >= static_cast<std::uint64_t>(image_size_limit)) {
            errno = EOVERFLOW;
            fail_system_call(exit_status::read_failed);
        }
    }
    const image_sum result = checksum_final(state);
    print_line("Length = %u\n", result.padded_length);
    return result;
}

}  // namespace imgseal
