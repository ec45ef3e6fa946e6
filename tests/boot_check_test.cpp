// The boot check (boot/imgseal_check.c): one table of images through the
// memory form and the stream form, whole, byte by byte and in odd pieces, and
// one of slots through the slot form against the memory form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "image_builder.hpp"
#include "imgseal_check.h"
#include "support.hpp"

namespace imgseal_test {
namespace {

static_assert(sizeof(imgseal_check) <= 48, "the stream form's state must stay small");

struct verdict {
    imgseal_check_result result;
    std::uint32_t length;
    bool operator==(const verdict&) const = default;
};

// Bytes other than 0x00 and 0xFF: words of those change nothing in a one's-
// complement sum, so only other bytes past an image show a check that sums
// past its length.
bytes filler(std::size_t size) {
    bytes fill(size);
    for (std::size_t i = 0; i < size; ++i) fill[i] = static_cast<std::uint8_t>(0x11 + i % 0xEE);
    return fill;
}

// The image at the start of a slot of `slot_size` bytes, the rest filler.
bytes in_slot(const bytes& image, std::size_t slot_size) {
    bytes slot = filler(slot_size);
    std::copy_n(image.begin(), std::min(image.size(), slot_size), slot.begin());
    return slot;
}

// From an odd address, in a slot whose bytes past the image are filler.
verdict check_memory(const bytes& image, std::size_t slot_size) {
    bytes slot(1);
    const bytes in = in_slot(image, slot_size);
    slot.insert(slot.end(), in.begin(), in.end());
    verdict got{IMGSEAL_CHECK_OK, 0};
    got.result =
        imgseal_check_memory(slot.data() + 1, static_cast<std::uint32_t>(slot_size), &got.length);
    return got;
}

// In pieces of the sizes given in turn, or whole if none are; an empty one
// without data.
verdict check_stream(const bytes& image, const std::vector<std::size_t>& pieces) {
    imgseal_check check;
    imgseal_check_begin(&check);
    for (std::size_t at = 0, i = 0; at < image.size(); ++i) {
        const std::size_t size =
            pieces.empty() ? image.size() : std::min(pieces[i % pieces.size()], image.size() - at);
        imgseal_check_feed(&check, size != 0 ? image.data() + at : nullptr, size);
        at += size;
    }
    verdict got{IMGSEAL_CHECK_OK, 0};
    got.result = imgseal_check_end(&check, &got.length);
    return got;
}

constexpr auto ok = IMGSEAL_CHECK_OK, layout = IMGSEAL_CHECK_BAD_LAYOUT,
               signature = IMGSEAL_CHECK_BAD_SIGNATURE, not_sealed = IMGSEAL_CHECK_NOT_SEALED,
               length = IMGSEAL_CHECK_BAD_LENGTH, checksum = IMGSEAL_CHECK_BAD_CHECKSUM,
               erased = IMGSEAL_CHECK_ERASED;

// The results of both forms on an image from the builder, sealed unless said
// otherwise, then changed: its size by `resize` bytes, its length field set
// to the new size, a big-endian 32-bit value written at `set_at`.
struct boot_case {
    const char* what;
    imgseal_check_result memory, stream;
    image_shape shape = {};
    bool sealed = true;
    long resize = 0;
    bool relength = false;
    std::size_t set_at = SIZE_MAX;
    std::uint32_t set_to = 0;
    long slot_extra = 0;  // the memory form's slot, beyond the image
};

TEST(boot_check, EveryImageGetsItsResultFromBothForms) {
    const boot_case cases[] = {
        {"sealed", ok, ok},
        {"descriptor over the header", ok, ok, {.descriptor_offset = 0}},
        {"odd descriptor over the header", ok, ok, {.descriptor_offset = 3}},
        // Seed 35: the fold carries out of bit 15.
        {"odd descriptor, odd size",
         ok,
         ok,
         {.descriptor_offset = 1001, .size = 5001, .content_seed = 35}},
        // More than 131070 bytes of 0xFF: the 32-bit sum wraps.
        {"sum wraps", ok, ok, {.descriptor_offset = 77, .size = 300000, .fill = 0xFF}},
        {"slot 1 byte larger than the image", ok, ok, {}, true, 0, false, SIZE_MAX, 0, 1},
        {"slot larger than the image", ok, ok, {}, true, 0, false, SIZE_MAX, 0, 100},
        {"a byte past the length", ok, length, {}, true, 1},
        {"7 bytes", layout, layout, {}, true, -2017},
        {"descriptor offset of 2^31", layout, layout, {}, true, 0, false, 4, 0x80000000},
        // Its end, offset + 16, wraps to 8.
        {"descriptor offset of 2^32 - 8", layout, layout, {}, true, 0, false, 4, 0xFFFFFFF8},
        {"descriptor 1 byte past the end", layout, layout, {}, true, 0, false, 4, 2024 - 15},
        {"0xFF but the header's last byte",
         layout,
         layout,
         {.fill = 0xFF},
         true,
         0,
         false,
         4,
         0xFFFFFFFE},
        {"bad signature", signature, signature, {.signature = 0x12}},
        {"unsealed, bad signature", signature, signature, {.signature = 0x12}, false},
        {"unsealed", not_sealed, not_sealed, {}, false},
        {"unsealed, cut inside its name field", not_sealed, not_sealed, {}, false, -10},
        {"odd length", length, length, {.size = 2100}, true, -1, true},
        {"length ends inside the name field", length, length, {}, true, -2, true},
        {"length past the slot", length, ok, {}, true, 0, false, SIZE_MAX, 0, -2},
        {"cut short by 2 bytes", length, length, {}, true, -2},
        {"content byte changed", checksum, checksum, {.size = 4000}, true, 0, false, 3000, 1},
        {"header byte changed", checksum, checksum, {}, true, 0, false, 0, 0x80000000},
        {"checksum field zero, length not", checksum, checksum, {}, true, 0, false, 18, 0},
        {"length field zero, checksum not", length, length, {}, true, 0, false, 20, 0},
    };
    const std::vector<std::vector<std::size_t>> ways = {{}, {1}, {3, 0, 1, 7, 5, 1021}};
    for (const boot_case& c : cases) {
        const std::size_t d = c.shape.descriptor_offset;
        bytes image = build_image(c.shape);
        if (c.sealed) image = sealed_image(image, c.shape.descriptor_offset);
        image.resize(static_cast<std::size_t>(static_cast<long>(image.size()) + c.resize));
        for (std::size_t i = 0; c.relength && i < 4; ++i) {
            image.at(d + 12 + i) = static_cast<std::uint8_t>(image.size() >> (24 - 8 * i));
        }
        for (std::size_t i = 0; c.set_at != SIZE_MAX && i < 4; ++i) {
            image.at(c.set_at + i) = static_cast<std::uint8_t>(c.set_to >> (24 - 8 * i));
        }
        const auto want = [&](imgseal_check_result r) {
            return verdict{r, r == ok ? load_be32_at(image, d + 12) : 0};
        };
        EXPECT_EQ(check_memory(image, static_cast<std::size_t>(static_cast<long>(image.size()) +
                                                               c.slot_extra)),
                  want(c.memory))
            << c.what;
        for (const auto& pieces : ways) {
            EXPECT_EQ(check_stream(image, pieces), want(c.stream))
                << c.what << ", " << pieces.size() << " piece sizes";
        }
    }
}

// The slot form in pieces of 1, 7 and 256 bytes, fed until needed() is 0 and
// fed the whole slot and more, gives the memory form's verdict on the slot;
// a reader that feeds a byte at a time until needed() is 0 feeds `read` bytes.
TEST(boot_check, SlotFormGivesTheMemoryFormsVerdictAndReadsWhatItNeeds) {
    const bytes sealed = sealed_image(build_image({.size = 3000, .content_seed = 7}), 8);
    const bytes odd = sealed_image(build_image({.descriptor_offset = 13, .size = 3001}), 13);
    bytes half_written = sealed;  // an update whose header is written last
    std::fill_n(half_written.begin(), 8, 0xFF);
    bytes far = sealed;  // its descriptor lies past the slot: the header decides
    far[6] = 0x13;
    const struct {
        const char* what;
        bytes slot;
        imgseal_check_result result;
        std::size_t read;
    } cases[] = {
        {"whole", sealed, ok, 3000},
        {"in a larger slot", in_slot(sealed, 4096), ok, 3000},
        {"erased", bytes(4096, 0xFF), erased, 8},
        {"header erased", in_slot(half_written, 4096), erased, 8},
        {"unsealed", in_slot(build_image({.size = 3000}), 4096), not_sealed, 24},
        {"longer than the slot", in_slot(sealed, 2998), length, 24},
        {"odd descriptor offset", in_slot(odd, 4096), ok, 3002},
        {"5 bytes", in_slot(sealed, 5), layout, 5},
        {"descriptor past the slot", in_slot(far, 4096), layout, 8},
    };
    for (const auto& c : cases) {
        const auto slot_size = static_cast<std::uint32_t>(c.slot.size());
        verdict want{IMGSEAL_CHECK_OK, 0};
        want.result = imgseal_check_memory(c.slot.data(), slot_size, &want.length);
        EXPECT_EQ(want.result, c.result) << c.what;
        bytes fed = c.slot;  // bytes past the slot are not taken
        const bytes more = filler(300);
        fed.insert(fed.end(), more.begin(), more.end());
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{256}}) {
            for (const bool stop : {true, false}) {
                imgseal_check check;
                imgseal_check_begin_slot(&check, slot_size);
                std::size_t at = 0;
                for (; at < fed.size() && !(stop && imgseal_check_needed(&check) == 0);
                     at += piece) {
                    EXPECT_LE(imgseal_check_needed(&check),
                              std::max<std::size_t>(at, slot_size) - at);
                    imgseal_check_feed(&check, fed.data() + at, std::min(piece, fed.size() - at));
                }
                verdict got{IMGSEAL_CHECK_OK, 0};
                got.result = imgseal_check_end(&check, &got.length);
                EXPECT_EQ(got, want)
                    << c.what << ", pieces of " << piece << (stop ? ", stopped" : "");
                if (stop && piece == 1) {
                    EXPECT_EQ(at, c.read) << c.what;
                }
            }
        }
    }
}

// A reader that stops before the image's end gets the verdict on what it fed,
// taken as a slot of that size: a sealed image of 3000 bytes whose last 900
// are zero sums the same over 2100 bytes, and only its length tells them
// apart. imgseal-verify --slot says the same of a 2100-byte dump.
using boot_check_and_verify = tool_test;

TEST_F(boot_check_and_verify, SlotFedPartlyIsJudgedOnTheBytesFed) {
    const bytes sealed = sealed_image(build_image({.size = 3000}), 8);
    const bytes slot = in_slot(sealed, 4096);
    const struct {
        std::size_t fed;
        imgseal_check_result result;
    } cases[] = {{2100, length}, {2999, length}, {3000, ok}, {4096, ok}, {5000, ok}};
    for (const auto& c : cases) {
        imgseal_check check;
        imgseal_check_begin_slot(&check, 4096);
        const bytes fed = in_slot(slot, c.fed);
        for (std::size_t at = 0; at < fed.size(); at += 256) {
            imgseal_check_feed(&check, fed.data() + at,
                               std::min<std::size_t>(256, fed.size() - at));
        }
        std::uint32_t got_length = 0;
        EXPECT_EQ(imgseal_check_end(&check, &got_length), c.result) << c.fed;
        const std::size_t taken = std::min<std::size_t>(c.fed, 4096);
        EXPECT_EQ(imgseal_check_memory(fed.data(), static_cast<std::uint32_t>(taken), nullptr),
                  c.result)
            << c.fed;
    }
    put_image(bytes(slot.begin(), slot.begin() + 2100));
    EXPECT_EQ(run_verify({"--slot", image_path_}).out,
              image_path_ + ": FAILED: length 3000, slot size 2100\n");
}

// Once the descriptor has come, the sum stops at the length, also when the
// descriptor ends a piece: a length that ends inside the descriptor (12)
// leaves the state summing the first 12 bytes, wherever before it the pieces
// end, and the verdict is BAD_LENGTH.
TEST(boot_check, SumStopsAtTheLengthOnceTheDescriptorHasCome) {
    bytes image = sealed_image(build_image({}), 8);
    for (std::size_t i = 0; i < 4; ++i) image.at(20 + i) = i == 3 ? 12 : 0;
    std::uint32_t twelve = 0;
    for (std::size_t i = 0; i < 12; i += 2) twelve += image[i] * 256u + image[i + 1];
    const std::vector<std::vector<std::size_t>> ways = {{24},        {12, 12}, {8, 16},
                                                        {2, 10, 12}, {25},     {24, 100}};
    for (const auto& pieces : ways) {
        imgseal_check check;
        imgseal_check_begin(&check);
        std::size_t at = 0;
        for (const std::size_t size : pieces) {
            imgseal_check_feed(&check, image.data() + at, size);
            at += size;
        }
        EXPECT_EQ(check.sum, twelve) << pieces.size() << " pieces, the first of " << pieces[0];
        EXPECT_EQ(imgseal_check_end(&check, nullptr), length) << pieces.size();
    }
}

// Every prefix of a sealed image: no descriptor, then a length that is not
// the bytes there are, and only the whole image is OK; as a stream, each
// still needs the rest of its header, then of its descriptor, then of itself.
TEST(boot_check, EveryPrefixOfASealedImageIsRefused) {
    const bytes image = sealed_image(build_image({.descriptor_offset = 5}), 5);
    for (std::size_t size = 0; size <= image.size(); ++size) {
        const bytes prefix(image.begin(), image.begin() + static_cast<long>(size));
        const imgseal_check_result want = size < 5 + 16         ? layout
                                          : size < image.size() ? length
                                                                : ok;
        EXPECT_EQ(check_memory(prefix, size).result, want) << size;
        EXPECT_EQ(check_stream(prefix, {}).result, want) << size;
        imgseal_check check;
        imgseal_check_begin(&check);
        imgseal_check_feed(&check, image.data(), size);
        EXPECT_EQ(imgseal_check_needed(&check), size < 8        ? 8 - size
                                                : size < 5 + 16 ? 5 + 16 - size
                                                                : image.size() - size)
            << size;
    }
}

// The names for logs are the enum's, without its prefix, and "?" past it.
TEST(boot_check, ResultNamesAreTheEnumsWithoutItsPrefix) {
    const char* const names[] = {"OK",         "BAD_LAYOUT",   "BAD_SIGNATURE", "NOT_SEALED",
                                 "BAD_LENGTH", "BAD_CHECKSUM", "ERASED",        "?"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(imgseal_check_result_name(static_cast<imgseal_check_result>(i)), names[i]);
    }
}

}  // namespace
}  // namespace imgseal_test
