// The CRC field: the image's CRC with its zeroed bytes against the bitwise
// reference whatever the blocks, its check on the pass, and which first bytes
// carry a CRC.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "image_checksum.hpp"
#include "image_crc.hpp"
#include "image_format.hpp"
#include "support.hpp"

namespace imgseal_test {
namespace {

const std::uint8_t* text(const char* s) { return reinterpret_cast<const std::uint8_t*>(s); }

// The reference is the definition's: its check value, and a CRC that goes on
// over more bytes as if they had come at once. The image's CRC is the same
// CRC-32 over bytes that it does not take as zero.
TEST(crc32, ReferenceGivesTheCheckValue) {
    EXPECT_EQ(reference_crc32(text("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(reference_crc32(nullptr, 0), 0u);
    EXPECT_EQ(reference_crc32(text("6789"), 4, reference_crc32(text("12345"), 5)), 0xCBF43926u);
    EXPECT_EQ(imgseal::image_crc(text("123456789"), 9), 0xCBF43926u);
}

std::uint32_t image_crc_in_pieces(const bytes& image, std::size_t largest_piece,
                                  std::uint32_t seed) {
    std::mt19937 cuts(seed);
    imgseal::image_crc_state state = imgseal::image_crc_init();
    for (std::size_t at = 0; at < image.size();) {
        const std::size_t piece =
            std::min<std::size_t>(1 + cuts() % largest_piece, image.size() - at);
        imgseal::image_crc_update(state, image.data() + at, piece);
        at += piece;
    }
    return imgseal::image_crc_final(state);
}

// The image's CRC takes bytes 12-15 and 18-23 as zero whichever blocks hold
// them, down to blocks of one byte, and every other byte counts.
TEST(crc32, ImageCrcTakesTheFieldsAsZeroInAnyBlocks) {
    for (const std::size_t size : {16u, 23u, 24u, 25u, 2024u, 9000u, 70000u}) {
        bytes image = random_bytes(size, static_cast<std::uint32_t>(size));
        const std::uint32_t want = reference_image_crc(image);
        for (const std::size_t largest : {1u, 3u, 7u, 64u, 5000u}) {
            for (std::uint32_t seed = 1; seed <= 4; ++seed) {
                ASSERT_EQ(image_crc_in_pieces(image, largest, seed), want)
                    << size << " " << largest << " " << seed;
            }
        }
        EXPECT_EQ(imgseal::image_crc(image.data(), image.size()), want) << size;
        for (std::size_t at = 0; at < std::min<std::size_t>(size, 26); ++at) {
            bytes changed = image;
            changed[at] ^= 0x40;
            const bool zeroed = (at >= 12 && at < 16) || (at >= 18 && at < 24);
            EXPECT_EQ(imgseal::image_crc(changed.data(), changed.size()) == want, zeroed)
                << size << " byte " << at;
        }
    }
}

using crc32_in_pass = tool_test;

// The CRC check rides on the pass from the file's first byte, so that the
// bytes are read once for the seal and the CRC: it finds the field, and the
// CRC of the image with its zeroed bytes, whatever the blocks; of an image
// that carries none, it finds none.
TEST_F(crc32_in_pass, CheckFindsTheFieldAndTheCrcOnThePass) {
    bytes image = random_bytes(3 * imgseal::checksum_buffer_size + 77, 8);
    const std::uint8_t field[] = {0, 0, 0, 8, 0x89, 0x43, 0x52, 0x43, 0xDE, 0xAD, 0xBE, 0xEF};
    std::copy(std::begin(field), std::end(field), image.begin() + 4);
    for (const bool carries : {true, false}) {
        image[11] = carries ? 0x43 : 0x42;
        put_image(image);
        const int fd = open(image_path_.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_NE(fd, -1);
        imgseal::checksum_state sums = imgseal::checksum_init();
        imgseal::crc_check check{};
        imgseal::crc_check_begin(check);
        const imgseal::block_observer observer{imgseal::crc_check_take, &check};
        EXPECT_FALSE(imgseal::sum_read(fd, image.size(), sums, &observer).failed());
        close(fd);
        const imgseal::crc_found found = imgseal::crc_check_end(check);
        EXPECT_EQ(found.carries, carries);
        if (!carries) continue;
        EXPECT_EQ(found.stored, 0xDEADBEEFu);
        EXPECT_EQ(found.computed, reference_image_crc(image));
    }
}

// An image carries a CRC only with its descriptor at 8 and the marker in
// bytes 8-11, and only if its first bytes reach the end of the CRC field.
TEST(crc32, OnlyDescriptorAtEightWithTheMarkerCarriesACrc) {
    const struct {
        const char* what;
        const char* first;  // the first 16 bytes in hex, words apart
        std::size_t size;   // of them given
        bool carries;
    } cases[] = {
        {"as the packer writes it", "00000001 00000008 89435243 01020304", 16, true},
        {"the CRC field cut short", "00000001 00000008 89435243 01020304", 15, false},
        {"descriptor at 9", "00000001 00000009 89435243 01020304", 16, false},
        {"descriptor at 0x08000008", "00000001 08000008 89435243 01020304", 16, false},
        {"descriptor at 0, the marker first", "89435243 00000000 89435243 01020304", 16, false},
        {"marker's first byte without its high bit", "00000001 00000008 09435243 01020304", 16,
         false},
        {"marker's last bit flipped", "00000001 00000008 89435242 01020304", 16, false},
        {"marker in the CRC's place", "00000001 00000008 01020304 89435243", 16, false},
        {"erased", "FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF", 16, false},
    };
    for (const auto& c : cases) {
        // Zeros after the 16 bytes, so that a descriptor at 0 to 8 is there.
        std::string hex = c.first;
        std::erase(hex, ' ');
        bytes first(24, 0);
        for (std::size_t i = 0; i < 16; ++i) {
            first[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        }
        EXPECT_EQ(imgseal::carries_crc(first.data(), c.size), c.carries) << c.what;
        // The same verdict from the header's offset and the descriptor there.
        const std::uint32_t offset = load_be32_at(first, 4);
        if (c.size == 16 && offset <= 8) {
            std::uint8_t descriptor[imgseal::descriptor_size];
            std::memcpy(descriptor, first.data() + offset, sizeof descriptor);
            EXPECT_EQ(imgseal::carries_crc(offset, descriptor), c.carries) << c.what;
        }
    }
}

}  // namespace
}  // namespace imgseal_test
