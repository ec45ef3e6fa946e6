// The tests' image builder, reference checksum and verdict.
#include "image_builder.hpp"

#include <random>

namespace imgseal_test {

bytes random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    bytes data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    return data;
}

bytes build_image(const image_shape& shape) {
    const std::size_t minimum = std::size_t{shape.descriptor_offset} + 16 + 2000;
    const std::size_t size = shape.size != 0 ? shape.size : minimum;
    bytes image =
        shape.content_seed != 0 ? random_bytes(size, shape.content_seed) : bytes(size, shape.fill);
    const std::size_t d = shape.descriptor_offset;
    for (int i = 0; i < 4; ++i) {
        image.at(4 + static_cast<std::size_t>(i)) =
            static_cast<std::uint8_t>(shape.descriptor_offset >> (24 - 8 * i));
    }
    image.at(d + 8) = shape.signature;
    image.at(d + 9) = 0;
    for (std::size_t i = 10; i < 16; ++i) image.at(d + i) = 0;
    for (std::size_t i = 0; i < shape.name.size(); ++i) {
        image.at(d + 16 + i) = static_cast<std::uint8_t>(shape.name[i]);
    }
    if (shape.name.size() < 2000) image.at(d + 16 + shape.name.size()) = 0;
    return image;
}

reference_result reference_checksum(const std::uint8_t* data, std::size_t size, std::size_t zeros) {
    // A unit of zeros adds nothing but its length; a last single byte is a
    // high-order byte, whether or not a zero follows it.
    std::uint32_t word_sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        word_sum += std::uint32_t{data[i]} << 8 | (i + 1 < size ? data[i + 1] : 0);
    }
    const std::size_t total = size + zeros;
    const bool odd_tail = total % 2 != 0;
    const auto padded_length = static_cast<std::uint32_t>(total + (odd_tail ? 1 : 0));
    word_sum += padded_length & 0xFFFF;
    word_sum += padded_length >> 16;
    std::uint32_t e = (word_sum >> 16) + (word_sum & 0xFFFF);
    e += e >> 16;
    return {static_cast<std::uint16_t>(~e), padded_length, odd_tail};
}

bytes sealed_image(const bytes& image, std::uint32_t descriptor_offset) {
    const reference_result want = reference_checksum(image);
    bytes sealed = image;
    const std::size_t at = std::size_t{descriptor_offset} + 10;
    sealed.at(at) = static_cast<std::uint8_t>(want.checksum >> 8);
    sealed.at(at + 1) = static_cast<std::uint8_t>(want.checksum);
    for (std::size_t i = 0; i < 4; ++i) {
        sealed.at(at + 2 + i) = static_cast<std::uint8_t>(want.padded_length >> (24 - 8 * i));
    }
    if (want.odd_tail) sealed.push_back(0);
    return sealed;
}

std::uint32_t reference_crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    std::uint32_t reg = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) != 0 ? (reg >> 1) ^ 0xEDB88320 : reg >> 1;
    }
    return ~reg;
}

std::uint32_t reference_image_crc(const bytes& image) {
    bytes zeroed = image;
    for (std::size_t i = 12; i < 24 && i < zeroed.size(); ++i) {
        if (i < 16 || i >= 18) zeroed[i] = 0;
    }
    return reference_crc32(zeroed.data(), zeroed.size());
}

std::uint16_t load_be16_at(const bytes& data, std::size_t at) {
    return static_cast<std::uint16_t>(data.at(at) << 8 | data.at(at + 1));
}

std::uint32_t load_be32_at(const bytes& data, std::size_t at) {
    return std::uint32_t{load_be16_at(data, at)} << 16 | load_be16_at(data, at + 2);
}

void put_be32(bytes& data, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        data.at(at + i) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

int expected_status(const bytes& image) {
    if (image.size() < 8) return 2;
    const std::uint32_t offset = load_be32_at(image, 4);
    if (offset >= 0x80000000u) return 3;
    const std::size_t d = offset;
    if (d + 16 > image.size()) return 4;
    if (image[d + 8] != 0x55 && image[d + 8] != 0xAA) return 5;
    if (load_be16_at(image, d + 10) != 0 || load_be32_at(image, d + 12) != 0) return 6;
    if (d + 2016 > image.size()) return 4;
    return 0;
}

}  // namespace imgseal_test
