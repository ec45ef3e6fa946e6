// The tests' image builder and the format's rules written the plain way: the
// unit-by-unit checksum and the verdict on an image's bytes. No test framework
// here, so that the fuzzers can use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgseal_test {

using bytes = std::vector<std::uint8_t>;

// A valid unsealed image: content of the fill byte unless a seed asks for
// pseudo-random bytes, the header pointing at the descriptor, the signature byte, zero stamp
// fields and the name. Size 0 means just large enough for header, descriptor
// and name.
struct image_shape {
    std::uint32_t descriptor_offset = 8;
    std::string name = "abc";
    std::uint8_t signature = 0x55;
    std::size_t size = 0;
    std::uint32_t content_seed = 0;
    std::uint8_t fill = 0;
};
bytes build_image(const image_shape& shape);

// Pseudo-random bytes, the same for the same seed.
bytes random_bytes(std::size_t size, std::uint32_t seed);

// The checksum pass as the format defines it: big-endian 2-byte units, a final
// single byte as a high-order byte, a 32-bit sum that wraps, the length's two
// halves, one fold, the complement. The `size` bytes at `data` may be followed
// by `zeros` zero bytes that need not be stored (a hole).
struct reference_result {
    std::uint16_t checksum;
    std::uint32_t padded_length;
    bool odd_tail;
};
reference_result reference_checksum(const std::uint8_t* data, std::size_t size,
                                    std::size_t zeros = 0);
inline reference_result reference_checksum(const bytes& data) {
    return reference_checksum(data.data(), data.size());
}

// What sealing `image` must leave on disk: the reference checksum and padded
// length in the descriptor, and the fill byte after an odd-sized image.
bytes sealed_image(const bytes& image, std::uint32_t descriptor_offset);

// The CRC-32 from its definition, a bit at a time: reflected, polynomial
// 0xEDB88320, the register starting at 0xFFFFFFFF and inverted at the end.
// `crc` continues an earlier result over more bytes.
std::uint32_t reference_crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// The CRC field's value for an image's bytes: the CRC-32 of a copy with file
// bytes 12-15 and 18-23 set to zero.
std::uint32_t reference_image_crc(const bytes& image);

std::uint16_t load_be16_at(const bytes& data, std::size_t at);
std::uint32_t load_be32_at(const bytes& data, std::size_t at);
void put_be32(bytes& data, std::size_t at, std::uint32_t value);

// The status that the tool must end with on `image`, judged from its bytes
// alone the way the format says: 0 for an image that can be sealed.
int expected_status(const bytes& image);

}  // namespace imgseal_test
