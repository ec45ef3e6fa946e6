// The boot check (boot/imgseal_check.c): one table of images through the
// memory form and the stream form, whole, byte by byte and in odd pieces, and
// one of slots through the slot form against the memory form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

#include "image_builder.hpp"
#include "imgseal_check.h"
#include "support.hpp"

// The routine as built with the 16-entry table and without the CRC, and the
// tables of both CRC builds (tests/boot_check_builds.c).
extern "C" {
#define IMGSEAL_BUILD_DECLARATIONS(build)                                                  \
    imgseal_check_result imgseal_check##build##_memory(const void*, std::uint32_t,         \
                                                       std::uint32_t*);                    \
    imgseal_check_result imgseal_check##build##_memory_crc(const void*, std::uint32_t,     \
                                                           std::uint32_t*);                \
    void imgseal_check##build##_begin(imgseal_check*);                                     \
    void imgseal_check##build##_begin_slot(imgseal_check*, std::uint32_t);                 \
    void imgseal_check##build##_require_crc(imgseal_check*);                               \
    void imgseal_check##build##_feed(imgseal_check*, const void*, std::size_t);            \
    std::uint32_t imgseal_check##build##_needed(const imgseal_check*);                     \
    imgseal_check_result imgseal_check##build##_end(const imgseal_check*, std::uint32_t*); \
    const std::uint32_t* imgseal_check##build##_table();
IMGSEAL_BUILD_DECLARATIONS(16)
IMGSEAL_BUILD_DECLARATIONS(0)
const std::uint32_t* imgseal_check256_table();
}

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

// One build of the routine: its forms, and those that require a CRC where
// it has them.
struct boot_build {
    const char* name;
    imgseal_check_result (*memory)(const void*, std::uint32_t, std::uint32_t*);
    imgseal_check_result (*memory_crc)(const void*, std::uint32_t, std::uint32_t*);
    void (*begin)(imgseal_check*);
    void (*begin_slot)(imgseal_check*, std::uint32_t);
    void (*require_crc)(imgseal_check*);
    void (*feed)(imgseal_check*, const void*, std::size_t);
    std::uint32_t (*needed)(const imgseal_check*);
    imgseal_check_result (*end)(const imgseal_check*, std::uint32_t*);
};
const boot_build table_256 = {
    "256-entry table",   imgseal_check_memory,     imgseal_check_memory_crc,
    imgseal_check_begin, imgseal_check_begin_slot, imgseal_check_require_crc,
    imgseal_check_feed,  imgseal_check_needed,     imgseal_check_end};
const boot_build table_16 = {
    "16-entry table",      imgseal_check16_memory,     imgseal_check16_memory_crc,
    imgseal_check16_begin, imgseal_check16_begin_slot, imgseal_check16_require_crc,
    imgseal_check16_feed,  imgseal_check16_needed,     imgseal_check16_end};
const boot_build no_crc = {"no CRC",
                           imgseal_check0_memory,
                           nullptr,
                           imgseal_check0_begin,
                           imgseal_check0_begin_slot,
                           nullptr,
                           imgseal_check0_feed,
                           imgseal_check0_needed,
                           imgseal_check0_end};

// The stream form over `image`, or where `slot` the slot form over it (the
// slot its size) fed until needed() is 0, of `build` with a CRC required
// where `require`: in pieces of the sizes given in turn, or whole if none
// are; an empty one without data.
verdict check_stream(const bytes& image, const std::vector<std::size_t>& pieces,
                     const boot_build& build = table_256, bool require = false, bool slot = false) {
    imgseal_check check;
    if (slot) {
        build.begin_slot(&check, static_cast<std::uint32_t>(image.size()));
    } else {
        build.begin(&check);
    }
    if (require) build.require_crc(&check);
    for (std::size_t at = 0, i = 0; at < image.size() && !(slot && build.needed(&check) == 0);
         ++i) {
        const std::size_t size =
            pieces.empty() ? image.size() : std::min(pieces[i % pieces.size()], image.size() - at);
        build.feed(&check, size != 0 ? image.data() + at : nullptr, size);
        at += size;
    }
    verdict got{IMGSEAL_CHECK_OK, 0};
    got.result = build.end(&check, &got.length);
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
    const char* const names[] = {
        "OK",           "BAD_LAYOUT", "BAD_SIGNATURE", "NOT_SEALED", "BAD_LENGTH",
        "BAD_CHECKSUM", "ERASED",     "BAD_CRC",       "NO_CRC",     "?"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_STREQ(imgseal_check_result_name(static_cast<imgseal_check_result>(i)), names[i]);
    }
}

// The verdicts of every form: the memory form, also from an odd address and
// over a slot with filler past the image, the stream form in pieces of 1, 7,
// 24 (the last bytes before the CRC's pass end a piece) and 256 bytes, and
// the slot form, each without and with a CRC required (the memory form then
// through memory_crc); they must all be `want` and `want_required`. The build
// without the CRC gives the seal's verdict alone.
void expect_every_form(const boot_build& build, const bytes& image, imgseal_check_result want,
                       imgseal_check_result want_required, const std::string& what) {
    const bytes slot = in_slot(image, image.size() + 1000);
    bytes odd(1);
    odd.insert(odd.end(), image.begin(), image.end());
    const auto size = static_cast<std::uint32_t>(image.size());
    for (const bool require : {false, true}) {
        if (require && !build.require_crc) continue;
        const imgseal_check_result expected = require ? want_required
                                              : !build.require_crc && want == IMGSEAL_CHECK_BAD_CRC
                                                  ? ok
                                                  : want;
        const std::string how = what + ", " + build.name + (require ? ", required" : "");
        const auto memory = require ? build.memory_crc : build.memory;
        EXPECT_EQ(memory(image.data(), size, nullptr), expected) << how;
        EXPECT_EQ(memory(odd.data() + 1, size, nullptr), expected) << how << ", odd address";
        EXPECT_EQ(memory(slot.data(), static_cast<std::uint32_t>(slot.size()), nullptr), expected)
            << how << ", in a slot";
        for (const std::size_t piece : {1u, 7u, 24u, 256u}) {
            EXPECT_EQ(check_stream(image, {piece}, build, require).result, expected)
                << how << ", stream in pieces of " << piece;
            EXPECT_EQ(check_stream(slot, {piece}, build, require, true).result, expected)
                << how << ", slot in pieces of " << piece;
        }
    }
}

// imgseal-verify's verdict, as the boot check's result: the line's start.
imgseal_check_result verify_result(const std::string& path, bool require) {
    std::vector<std::string> args = {"--slot", path};
    if (require) args.insert(args.begin(), "--require-crc");
    const std::string line = run_verify(args).out.substr(path.size());
    const struct {
        const char* start;
        imgseal_check_result result;
    } lines[] = {{": OK", ok},
                 {": FAILED: CRC-32 ", IMGSEAL_CHECK_BAD_CRC},
                 {": FAILED: no CRC", IMGSEAL_CHECK_NO_CRC},
                 {": FAILED: checksum ", checksum},
                 {": FAILED: not sealed", not_sealed}};
    for (const auto& l : lines) {
        if (line.rfind(l.start, 0) == 0) return l.result;
    }
    ADD_FAILURE() << path << line;
    return layout;
}

using boot_check_crc = tool_test;

// Rows per image: with the marker and without, with a CRC that holds and one
// that does not, with the marker where no CRC can be, and a broken seal
// whose result the CRC leaves alone; each through every form of both CRC
// builds, with and without a CRC required, and through imgseal-verify with
// and without --require-crc, whose verdict they share; the build without the
// CRC gives the seal's verdict alone.
TEST_F(boot_check_crc, EveryFormChecksTheCrcOfAnImageThatCarriesOne) {
    const auto bad_crc = IMGSEAL_CHECK_BAD_CRC, no = IMGSEAL_CHECK_NO_CRC;
    write_file(dir_ / "app.bin", random_bytes(6000, 3));
    ASSERT_EQ(run_pack({"--name=app", "app.bin", "app.img"}, {}, {.working_dir = dir_}).status, 0);
    const bytes packed = read_file(dir_ / "app.img");
    ASSERT_EQ(run_tool({(dir_ / "app.img").string()}).status, 0);
    const bytes sealed = read_file(dir_ / "app.img");
    // A byte changed by one and the byte two on by one the other way, so that
    // the seal's sum, and the seal, still hold.
    const auto mended = [&](std::size_t at) {
        bytes image = sealed;
        const int delta = image.at(at) != 0xFF && image.at(at + 2) != 0 ? 1 : -1;
        image[at] = static_cast<std::uint8_t>(image[at] + delta);
        image[at + 2] = static_cast<std::uint8_t>(image[at + 2] - delta);
        EXPECT_TRUE(seal_passes(image)) << at;
        return image;
    };
    bytes broken = sealed;
    broken.at(3000) ^= 1;
    // A length field below 24: a stream's sum stops before the bytes that
    // decide whether the image carries a CRC have all come.
    bytes short_length = sealed;
    put_be32(short_length, 20, 20);
    bytes marker_elsewhere = build_image({.descriptor_offset = 40, .size = 3000});
    put_be32(marker_elsewhere, 8, 0x89435243);
    const struct {
        const char* what;
        bytes image;
        imgseal_check_result want, required;
        bool verify;  // imgseal-verify's verdict is compared too
    } rows[] = {
        {"packed", sealed, ok, ok, true},
        {"CRC field changed", mended(12), bad_crc, bad_crc, true},
        {"marker changed: no CRC", mended(9), ok, no, true},
        {"content changed", mended(3000), bad_crc, bad_crc, true},
        {"signature's neighbour changed", mended(17), bad_crc, bad_crc, true},
        {"no marker", sealed_image(build_image({.size = 3000}), 8), ok, no, true},
        {"marker, descriptor at 40", sealed_image(marker_elsewhere, 40), ok, no, true},
        {"seal broken, CRC broken", broken, checksum, checksum, true},
        {"marker, length below 24", short_length, length, length, false},
        {"unsealed", packed, not_sealed, not_sealed, true},
        {"unsealed, no marker", build_image({.size = 3000}), not_sealed, not_sealed, false},
    };
    for (const auto& row : rows) {
        for (const boot_build* build : {&table_256, &table_16, &no_crc}) {
            expect_every_form(*build, row.image, row.want, row.required, row.what);
        }
        if (row.verify) {
            put_image(row.image);
            EXPECT_EQ(verify_result(image_path_, false), row.want) << row.what;
            EXPECT_EQ(verify_result(image_path_, true), row.required) << row.what;
        }
    }
}

// The trial on the trial's image, a packed image of 94,208 bytes: every
// 256-byte page that holds a byte other than 0xFF, turned to 0xFF as erased
// flash reads, and its last 2 KiB of zeros left erased, are refused by the
// memory, stream and slot forms of both CRC builds, as is each of a sample of
// single-bit flips; the pages of zeros and the tail pass the seal alone, and
// the build without the CRC.
TEST_F(boot_check_crc, EveryErasedPageAndBitFlipOfAPackedImageIsRefused) {
    const bytes sealed = packed_trial_image(dir_);
    ASSERT_EQ(sealed.size(), 94208u);
    std::vector<std::pair<std::string, bytes>> changed;
    bytes tail = sealed;
    std::fill(tail.end() - 2048, tail.end(), 0xFF);
    changed.emplace_back("the last 2 KiB erased", tail);
    for (std::size_t page = 0; page < sealed.size(); page += 256) {
        const auto first = sealed.begin() + static_cast<std::ptrdiff_t>(page);
        if (std::all_of(first, first + 256, [](std::uint8_t b) { return b == 0xFF; })) continue;
        bytes blank = sealed;
        std::fill_n(blank.begin() + static_cast<std::ptrdiff_t>(page), 256, 0xFF);
        changed.emplace_back("page at " + std::to_string(page), blank);
    }
    std::mt19937 positions(33);
    for (int flip = 0; flip < 300; ++flip) {
        const std::size_t bit = positions() % (sealed.size() * 8);
        bytes flipped = sealed;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        changed.emplace_back("bit " + std::to_string(bit), flipped);
    }
    std::size_t seal_blind = 0;
    for (const auto& [what, image] : changed) {
        const auto size = static_cast<std::uint32_t>(image.size());
        const bytes slot = in_slot(image, 131072);
        for (const boot_build* build : {&table_256, &table_16}) {
            EXPECT_NE(build->memory(image.data(), size, nullptr), ok)
                << what << ", " << build->name;
            EXPECT_NE(check_stream(image, {256}, *build).result, ok) << what << ", " << build->name;
            EXPECT_NE(check_stream(slot, {256}, *build, false, true).result, ok)
                << what << ", " << build->name;
        }
        if (seal_passes(image)) {
            ++seal_blind;
            EXPECT_EQ(no_crc.memory(image.data(), size, nullptr), ok) << what;
            EXPECT_EQ(check_stream(slot, {256}, no_crc, false, true).result, ok) << what;
        }
    }
    EXPECT_EQ(changed.size(), 1 + 368u - 7u + 300u);  // all but the name field's 0xFF fill
    EXPECT_TRUE(seal_passes(tail));
    EXPECT_GE(seal_blind, 21u);  // the tail and the pages of zeros
}

// Each entry of both tables is the register after 8 (or 4) steps of a bit
// from the entry's index, as the CRC's definition steps it. imgseal_check(3)'s
// worked example: a table step a byte (two steps of 4 bits with the 16-entry
// table) over "123456789" leaves 0x340BC6D9 in the register, which inverted is
// the check value. And its recipe for a CRC unit, fed [0, 12), 4 zeros,
// [16, 18), 6 zeros and [24, length) of a packed image, here the bitwise
// reference as the unit, gives the image's field.
TEST_F(boot_check_crc, TablesWorkedExampleAndCrcUnitRecipeAreTheManuals) {
    const struct {
        const std::uint32_t* table;
        int bits;
    } tables[] = {{imgseal_check256_table(), 8}, {imgseal_check16_table(), 4}};
    for (const auto& [table, bits] : tables) {
        const std::uint32_t mask = (1u << bits) - 1;
        for (std::uint32_t i = 0; i <= mask; ++i) {
            std::uint32_t reg = i;
            for (int bit = 0; bit < bits; ++bit) {
                reg = (reg & 1) != 0 ? (reg >> 1) ^ 0xEDB88320 : reg >> 1;
            }
            EXPECT_EQ(table[i], reg) << bits << "-bit table, entry " << i;
        }
        std::uint32_t reg = 0xFFFFFFFF;
        for (const char c : std::string("123456789")) {
            reg ^= static_cast<std::uint8_t>(c);
            for (int step = 0; step < 8; step += bits) reg = reg >> bits ^ table[reg & mask];
        }
        EXPECT_EQ(reg, 0x340BC6D9u) << bits << "-bit table";
        EXPECT_EQ(reg ^ 0xFFFFFFFF, 0xCBF43926u) << bits << "-bit table";
    }

    const bytes image = packed_trial_image(dir_);
    const bytes zeros(6);
    const struct {
        const std::uint8_t* data;
        std::size_t size;
    } unit_feeds[] = {{image.data(), 12},
                      {zeros.data(), 4},
                      {image.data() + 16, 2},
                      {zeros.data(), 6},
                      {image.data() + 24, load_be32_at(image, 20) - 24}};
    // reference_crc32 continues a finished CRC, as a unit fed more bytes does.
    std::uint32_t unit = 0;
    for (const auto& [data, size] : unit_feeds) unit = reference_crc32(data, size, unit);
    EXPECT_EQ(unit, load_be32_at(image, 12));
}

}  // namespace
}  // namespace imgseal_test
