// Validation of an image before it is sealed: what is accepted, what is
// refused with which status and message, and that a refused image is unchanged.
#include "image_format.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <functional>

#include "support.hpp"

namespace imgseal_test {
namespace {

using image_format = tool_test;

// Descriptors anywhere, overlapping the header or at an odd offset, and either
// signature byte with any byte after it, are accepted and the name is printed.
TEST_F(image_format, AcceptsDescriptorAnywhereWithEitherSignature) {
    const struct {
        std::uint32_t offset;
        std::uint8_t signature;
        std::uint8_t signature_low;
    } cases[] = {
        {0, 0x55, 0x00}, {8, 0x55, 0xFF}, {8, 0xAA, 0x00}, {13, 0xAA, 0x55}, {4097, 0x55, 0x12}};
    for (const auto& c : cases) {
        bytes image = build_image({.descriptor_offset = c.offset, .signature = c.signature});
        image.at(c.offset + 9) = c.signature_low;
        const run_result run = run_tool({put_image(image)});
        EXPECT_EQ(run.status, 0) << c.offset;
        EXPECT_EQ(run.out.substr(0, 10), "Name: abc\n") << c.offset;
        EXPECT_EQ(run.err, "") << c.offset;
    }
}

// The name line stops at the field's first zero byte, and carries all 2000
// bytes of a field that has none.
TEST_F(image_format, NameLineStopsAtZeroByteOrFieldEnd) {
    const std::string full(2000, 'n');
    const struct {
        std::string name;
        std::string line;
    } cases[] = {
        {"", "Name: \n"}, {std::string("ab\0cd", 5), "Name: ab\n"}, {full, "Name: " + full + "\n"}};
    for (const auto& c : cases) {
        bytes image = build_image({.name = c.name, .size = 8 + 2016 + 100, .content_seed = 7});
        const run_result run = run_tool({put_image(image)});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.substr(0, c.line.size()), c.line);
    }
}

// Each case changes one thing in a valid image (descriptor at 8); the tool
// refuses it with its status and message and leaves the file as it was.
TEST_F(image_format, RefusesEachCorruptionAndLeavesImageUnchanged) {
    const std::size_t d = 8;
    const std::string unexpected_end = "Unexpected end of file\n";
    auto set_offset = [](std::uint32_t offset) {
        return [offset](bytes& image) {
            for (std::size_t i = 0; i < 4; ++i) {
                image[4 + i] = static_cast<std::uint8_t>(offset >> (24 - 8 * i));
            }
        };
    };
    const struct {
        const char* what;
        std::function<void(bytes&)> change;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {"signature byte 0", [&](bytes& i) { i[d + 8] = 0x00; }, 5, "Invalid signature\n", ""},
        {"signature byte 0x54", [&](bytes& i) { i[d + 8] = 0x54; }, 5, "Invalid signature\n", ""},
        {"0xAA as the low byte only",
         [&](bytes& i) {
             i[d + 8] = 0x00;
             i[d + 9] = 0xAA;
         },
         5, "Invalid signature\n", ""},
        {"bad signature beats sealed fields",
         [&](bytes& i) {
             i[d + 8] = 0x12;
             i[d + 10] = 0xDE;
             i[d + 15] = 0x08;
         },
         5, "Invalid signature\n", ""},
        {"checksum high byte", [&](bytes& i) { i[d + 10] = 0x01; }, 6, "Non zero checksum field\n",
         ""},
        {"checksum low byte", [&](bytes& i) { i[d + 11] = 0x80; }, 6, "Non zero checksum field\n",
         ""},
        {"length byte 0", [&](bytes& i) { i[d + 12] = 0x01; }, 6, "Non zero length field\n", ""},
        {"length byte 3", [&](bytes& i) { i[d + 15] = 0x01; }, 6, "Non zero length field\n", ""},
        {"offset 0x80000000 is negative", set_offset(0x80000000u), 3, "", "Invalid argument\n"},
        {"offset 0xFFFFFFFF is negative", set_offset(0xFFFFFFFFu), 3, "", "Invalid argument\n"},
        {"offset beyond the end", set_offset(0x7FFFFFFFu), 4, "", unexpected_end},
        {"15 descriptor bytes before the end", set_offset(2024 - 15), 4, "", unexpected_end},
    };
    for (const auto& c : cases) {
        bytes image = build_image({.descriptor_offset = d});
        c.change(image);
        put_image(image);
        const run_result run = run_tool({image_path_});
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(read_file(image_path_), image) << c.what;
    }
}

// A valid image cut short at any length is refused: status 2 inside the
// header, 4 inside the descriptor or the name, never a name line. The core's
// check is asked at every length; the program at every length where the
// outcome changes (the header's end, the descriptor's, the name field's) and
// at a stride between them.
TEST_F(image_format, TruncatedImageIsRefusedAtEveryLength) {
    const bytes image = build_image({.descriptor_offset = 8, .content_seed = 3});
    const int fd = memfd_create("image", MFD_CLOEXEC);
    ASSERT_NE(fd, -1);
    static imgseal::image_fields fields;
    for (std::size_t length = 0; length <= image.size(); ++length) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, image.data(), length, 0), static_cast<ssize_t>(length));
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        const imgseal::outcome result = imgseal::check_image(fd, fields);
        using imgseal::fault;
        ASSERT_EQ(result.what, length == image.size() ? fault::none
                               : length < 8           ? fault::header_short
                                                      : fault::read_failed)
            << length;
        if (result.failed()) {
            ASSERT_STREQ(imgseal::describe(result), "Unexpected end of file") << length;
        }
    }
    close(fd);
    for (std::size_t length = 0; length < image.size(); ++length) {
        const bool at_an_edge =
            length <= 9 || (length >= 22 && length <= 26) || length + 5 >= image.size();
        if (!at_an_edge && length % 97 != 0) continue;
        const bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
        put_image(cut);
        const run_result run = run_tool({image_path_});
        ASSERT_EQ(run.status, length < 8 ? 2 : 4) << length;
        ASSERT_EQ(run.out, "") << length;
        ASSERT_EQ(run.err, "Unexpected end of file\n") << length;
        ASSERT_EQ(read_file(image_path_), cut) << length;
    }
}

// A read or seek that fails in the check ends the run with the status of the
// step, one report on standard error and nothing printed.
TEST_F(image_format, FailedSystemCallsAreReported) {
    const struct {
        const char* call;
        int nth;
        int status;
    } cases[] = {{"read", 1, 2}, {"read", 2, 4}, {"read", 3, 4}, {"lseek", 1, 3}};
    const bytes image = build_image({});
    for (const auto& c : cases) {
        put_image(image);
        const run_result run =
            run_tool({image_path_}, inject_failure(image_path_, c.call, "EIO", c.nth));
        EXPECT_EQ(run.status, c.status) << c.call << c.nth;
        EXPECT_EQ(run.out, "") << c.call << c.nth;
        EXPECT_EQ(run.err, "Input/output error\n") << c.call << c.nth;
        EXPECT_EQ(read_file(image_path_), image) << c.call << c.nth;
    }
}

}  // namespace
}  // namespace imgseal_test
