// Names shown on a terminal: every byte that is not printable text escaped,
// valid UTF-8 as it is; on a pipe the name's bytes exactly as stored.
#include "terminal_text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "support.hpp"

namespace imgseal_test {
namespace {

std::string escaped(const std::string& text, std::size_t text_size = std::string::npos) {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    if (stream == nullptr) std::abort();
    imgseal::print_text(stream, text.data(), std::min(text_size, text.size()),
                        imgseal::text_form::escaped);
    std::fclose(stream);
    std::string result(data, size);
    std::free(data);
    return result;
}

// Each byte string, and how a terminal is shown it.
const struct {
    const char* what;
    std::string text;
    std::string shown;
} escape_cases[] = {
    {"cursor and erase sequences", "\x1b[2J\x1b[HAll good", "\\x1B[2J\\x1B[HAll good"},
    {"window title", "\x1b]0;x\x07", "\\x1B]0;x\\x07"},
    {"C0 bounds, DEL, zero byte", std::string("\x01\x1f \x7e\x7f\0", 6), "\\x01\\x1F ~\\x7F\\x00"},
    {"backslash", "a\\x41\\", "a\\\\x41\\\\"},
    {"C1 controls, each byte", "\xc2\x80\xc2\x9b\xc2\x9f", "\\xC2\\x80\\xC2\\x9B\\xC2\\x9F"},
    {"stray high bytes", "\x80\xbf\xc1\xf5\xff", "\\x80\\xBF\\xC1\\xF5\\xFF"},
    {"overlong forms", "\xc0\xaf\xe0\x9f\xbf\xf0\x8f\xbf\xbf",
     "\\xC0\\xAF\\xE0\\x9F\\xBF\\xF0\\x8F\\xBF\\xBF"},
    {"surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
    {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
    {"cut off by the end", "a\xf0\x9f\x98", "a\\xF0\\x9F\\x98"},
    {"cut off by the next character",
     "\xe6\x97"
     "A\xc3é",
     "\\xE6\\x97A\\xC3é"},
    // U+00A0, U+D7FF, U+E000, U+10FFFF: next to the ranges that are escaped.
    {"valid text and its bounds", "Grüße 日本 😀 \u00a0\ud7ff\ue000\U0010ffff",
     "Grüße 日本 😀 \u00a0\ud7ff\ue000\U0010ffff"},
    // U+202E reverses what follows; U+2029 breaks the line. Their neighbours
    // U+2027, U+202F, U+2065 and U+206A are shown.
    {"text that shows other text", "a\u202eb\u2066\u2069\u200e\u200f\u061c\u2028\u2029",
     "a\\xE2\\x80\\xAEb\\xE2\\x81\\xA6\\xE2\\x81\\xA9\\xE2\\x80\\x8E\\xE2\\x80\\x8F\\xD8\\x9C"
     "\\xE2\\x80\\xA8\\xE2\\x80\\xA9"},
    {"their neighbours", "\u2027\u202f\u2065\u206a\u061b", "\u2027\u202f\u2065\u206a\u061b"},
};

TEST(terminal_text, EscapesEverythingButPrintableText) {
    for (const auto& c : escape_cases) EXPECT_EQ(escaped(c.text), c.shown) << c.what;
    // The size ends the text, whatever bytes follow it.
    EXPECT_EQ(escaped("a\xf0\x9f\x98\x80", 4), "a\\xF0\\x9F\\x98");
}

using name_on_terminal = tool_test;

// On a terminal the name line carries the escapes, on a pipe the raw bytes,
// and the image is sealed the same either way. The last case fills the field
// with controls, four bytes shown for each, and the field's end cuts off its
// final character.
TEST_F(name_on_terminal, TerminalGetsEscapesPipeGetsRawBytes) {
    std::vector<std::pair<std::string, std::string>> names;
    for (const auto& c : escape_cases) {
        if (c.text.find('\0') == std::string::npos) names.emplace_back(c.text, c.shown);
    }
    std::string full_shown;
    for (int i = 0; i < 1998; ++i) full_shown += "\\x01";
    names.emplace_back(std::string(1998, '\x01') + "\xe6\x97", full_shown + "\\xE6\\x97");
    for (const auto& [name, shown] : names) {
        const bytes image = build_image({.name = name, .size = 2101, .content_seed = 5});
        const bytes sealed = sealed_image(image, 8);
        const reference_result sum = reference_checksum(image);

        const run_result on_terminal = run_tool_on_terminal({put_image(image)});
        EXPECT_EQ(on_terminal.status, 0) << shown;
        EXPECT_EQ(on_terminal.out, sealed_output(shown, sum.padded_length, sum.checksum));
        EXPECT_EQ(on_terminal.err, "") << shown;
        EXPECT_EQ(read_file(image_path_), sealed) << shown;

        const run_result on_pipe = run_tool({put_image(image)});
        EXPECT_EQ(on_pipe.status, 0) << shown;
        EXPECT_EQ(on_pipe.out, sealed_output(name, sum.padded_length, sum.checksum)) << shown;
        EXPECT_EQ(read_file(image_path_), sealed) << shown;
    }
}

// imgseal-verify prints paths as given: on a terminal as text, on a pipe raw.
// A terminal whose locale is not UTF-8 takes 0x9B as CSI: there every byte
// from 0x80 up is escaped, valid UTF-8 or not, for both programs.
TEST_F(name_on_terminal, VerifierShowsPathsAsText) {
    const std::string path = (dir_ / "\x1b]0;title\x07.img").string();
    write_file(path, build_image({}));
    const std::string shown = dir_.string() + "/\\x1B]0;title\\x07.img: FAILED: not sealed\n";
    EXPECT_EQ(run_tool_on_terminal({path}, IMGSEAL_VERIFY_BINARY).out, shown);
    EXPECT_EQ(run_verify({path}).out, path + ": FAILED: not sealed\n");

    const std::string name =
        "\xc3\x9b"
        "2J";  // "Û2J"
    const std::string escaped_name = "\\xC3\\x9B2J";
    const std::string eight_bit_path = (dir_ / name).string();
    write_file(eight_bit_path, build_image({.name = name}));
    for (const char* locale : {"C", "POSIX", "no_such_locale"}) {
        EXPECT_EQ(run_tool_on_terminal({eight_bit_path}, IMGSEAL_VERIFY_BINARY, locale).out,
                  dir_.string() + "/" + escaped_name + ": FAILED: not sealed\n")
            << locale;
    }
    const run_result seal = run_tool_on_terminal({eight_bit_path}, IMGSEAL_BINARY, "C");
    EXPECT_EQ(seal.out.substr(0, seal.out.find('\n')), "Name: " + escaped_name);

    // Names on standard error are shown as text too.
    const run_result missing = run_tool_on_terminal({"-c", (dir_ / "\x1b[2J.txt").string()},
                                                    IMGSEAL_VERIFY_BINARY, "C.UTF-8", true);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out,
              "imgseal-verify: " + dir_.string() + "/\\x1B[2J.txt: No such file or directory\n");
}

}  // namespace
}  // namespace imgseal_test
