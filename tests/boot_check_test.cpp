// The boot check (boot/imgseal_check.c): one table of images through the
// memory form and the stream form, whole, byte by byte and in odd pieces.
#include <gtest/gtest.h>

#include <algorithm>

#include "image_builder.hpp"
#include "imgseal_check.h"

namespace imgseal_test {
namespace {

struct verdict {
    imgseal_check_result result;
    std::uint32_t length;
    bool operator==(const verdict&) const = default;
};

// From an odd address, in a slot of `available` bytes whose bytes past the
// image are 0xFF, as erased flash is.
verdict check_memory(const bytes& image, std::size_t available) {
    bytes slot(1 + available, 0xFF);
    std::copy_n(image.begin(), std::min(image.size(), available), slot.begin() + 1);
    verdict got{IMGSEAL_CHECK_OK, 0};
    got.result =
        imgseal_check_memory(slot.data() + 1, static_cast<std::uint32_t>(available), &got.length);
    return got;
}

// Pieces of the sizes given in turn, or the whole image at once if none.
verdict check_stream(const bytes& image, const std::vector<std::size_t>& pieces) {
    imgseal_check check;
    imgseal_check_begin(&check);
    for (std::size_t at = 0, i = 0; at < image.size(); ++i) {
        const std::size_t size =
            pieces.empty() ? image.size() : std::min(pieces[i % pieces.size()], image.size() - at);
        imgseal_check_feed(&check, image.data() + at, size);
        at += size;
    }
    verdict got{IMGSEAL_CHECK_OK, 0};
    got.result = imgseal_check_end(&check, &got.length);
    return got;
}

void set_be32(bytes& image, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        image.at(at + i) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

using change = void (*)(bytes& image, std::size_t descriptor);
void no_change(bytes&, std::size_t) {}

struct boot_case {
    const char* what;
    image_shape shape;
    bool sealed;
    change damage;
    long slot_extra;  // the memory form's slot, beyond the image's size
    imgseal_check_result memory, stream;
};

constexpr auto ok = IMGSEAL_CHECK_OK, layout = IMGSEAL_CHECK_BAD_LAYOUT,
               signature = IMGSEAL_CHECK_BAD_SIGNATURE, not_sealed = IMGSEAL_CHECK_NOT_SEALED,
               length = IMGSEAL_CHECK_BAD_LENGTH, checksum = IMGSEAL_CHECK_BAD_CHECKSUM;

const boot_case cases[] = {
    // Sealed images, the descriptor anywhere, odd sizes padded by the seal.
    {"sealed", {}, true, no_change, 0, ok, ok},
    {"descriptor over the header", {.descriptor_offset = 0}, true, no_change, 0, ok, ok},
    {"odd descriptor over the header", {.descriptor_offset = 3}, true, no_change, 0, ok, ok},
    // Seed 35: the fold carries out of bit 15.
    {"odd descriptor, odd size",
     {.descriptor_offset = 1001, .size = 5001, .content_seed = 35},
     true,
     no_change,
     0,
     ok,
     ok},
    // More than 131070 bytes of 0xFF: the 32-bit sum wraps.
    {"sum wraps",
     {.descriptor_offset = 77, .size = 300000, .fill = 0xFF},
     true,
     no_change,
     0,
     ok,
     ok},
    // A slot larger than the image holds it; a stream of more bytes is not it.
    {"slot larger than the image", {}, true, no_change, 100, ok, ok},
    {"a byte more than the length",
     {},
     true,
     [](bytes& image, std::size_t) { image.push_back(0); },
     0,
     ok,
     length},
    // Damage, each result in turn.
    {"fewer than 8 bytes",
     {},
     true,
     [](bytes& image, std::size_t) { image.resize(7); },
     0,
     layout,
     layout},
    {"descriptor offset of 2^31",
     {},
     true,
     [](bytes& image, std::size_t) { set_be32(image, 4, 0x80000000u); },
     0,
     layout,
     layout},
    {"descriptor past the end",
     {},
     true,
     [](bytes& image, std::size_t) {
         set_be32(image, 4, static_cast<std::uint32_t>(image.size() - 15));
     },
     0,
     layout,
     layout},
    {"bad signature", {.signature = 0x12}, true, no_change, 0, signature, signature},
    {"unsealed", {}, false, no_change, 0, not_sealed, not_sealed},
    {"unsealed, cut inside its name field",
     {},
     false,
     [](bytes& image, std::size_t) { image.resize(image.size() - 10); },
     0,
     not_sealed,
     not_sealed},
    {"odd length",
     {},
     true,
     [](bytes& image, std::size_t d) {
         image.pop_back();
         set_be32(image, d + 12, static_cast<std::uint32_t>(image.size()));
     },
     0,
     length,
     length},
    {"length ends inside the name field",
     {},
     true,
     [](bytes& image, std::size_t d) {
         image.resize(image.size() - 2);
         set_be32(image, d + 12, static_cast<std::uint32_t>(image.size()));
     },
     0,
     length,
     length},
    {"length past the slot", {}, true, no_change, -2, length, ok},
    {"cut short by 2 bytes",
     {},
     true,
     [](bytes& image, std::size_t) { image.resize(image.size() - 2); },
     0,
     length,
     length},
    {"content byte changed",
     {.size = 4000},
     true,
     [](bytes& image, std::size_t) { image[3000] ^= 1; },
     0,
     checksum,
     checksum},
    {"header byte changed",
     {},
     true,
     [](bytes& image, std::size_t) { image[0] ^= 0x80; },
     0,
     checksum,
     checksum},
    {"checksum field zero, length not",
     {.descriptor_offset = 9},
     true,
     [](bytes& image, std::size_t d) { image[d + 10] = image[d + 11] = 0; },
     0,
     checksum,
     checksum},
};

TEST(boot_check, EveryImageGetsItsResultFromBothForms) {
    const std::vector<std::vector<std::size_t>> ways = {{}, {1}, {3, 0, 1, 7, 5, 1021}};
    for (const boot_case& c : cases) {
        bytes image = build_image(c.shape);
        if (c.sealed) image = sealed_image(image, c.shape.descriptor_offset);
        c.damage(image, c.shape.descriptor_offset);
        const auto sealed_length = [&](imgseal_check_result r) {
            return r == ok ? load_be32_at(image, c.shape.descriptor_offset + 12) : 0;
        };
        const verdict memory = check_memory(
            image, static_cast<std::size_t>(static_cast<long>(image.size()) + c.slot_extra));
        EXPECT_EQ(memory, (verdict{c.memory, sealed_length(c.memory)})) << c.what;
        for (const auto& pieces : ways) {
            EXPECT_EQ(check_stream(image, pieces), (verdict{c.stream, sealed_length(c.stream)}))
                << c.what << ", " << pieces.size() << " piece sizes";
        }
    }
}

// Every prefix of a sealed image: no descriptor, then a length that is not
// the bytes there are, and only the whole image is OK.
TEST(boot_check, EveryPrefixOfASealedImageIsRefused) {
    const bytes image = sealed_image(build_image({.descriptor_offset = 5}), 5);
    for (std::size_t size = 0; size <= image.size(); ++size) {
        const bytes prefix(image.begin(), image.begin() + static_cast<long>(size));
        const imgseal_check_result want = size < 5 + 16         ? layout
                                          : size < image.size() ? length
                                                                : ok;
        EXPECT_EQ(check_memory(prefix, size).result, want) << size;
        EXPECT_EQ(check_stream(prefix, {}).result, want) << size;
    }
}

}  // namespace
}  // namespace imgseal_test
