// Record lines: what reads as a record and what does not, written and read
// back alike, and a records file as people's editors leave it.
#include "record_line.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "support.hpp"

namespace imgseal_test {
namespace {

const std::string digest(64, 'a');
const std::string seal = ": OK, Length = 2024, Checksum DEAC";
const std::string old = "a.img" + seal;  // 1.2.0's form
const std::string sha = ", SHA-256 " + digest;

// Each line, and the record it holds, if any.
const struct {
    const char* what;
    std::string line;
    bool is_record;
    std::string path = {};
    std::uint32_t length = 2024;
    bool has_crc = false;
    bool has_sha256 = false;
} record_cases[] = {
    {"1.2.0's form", old, true, "a.img"},
    {"with the digest", old + sha, true, "a.img", 2024, false, true},
    {"upper-case digest", old + ", SHA-256 " + std::string(64, 'F'), true, "a.img", 2024, false,
     true},
    {"with the CRC-32 and the digest", old + ", CRC-32 0badF00d" + sha, true, "a.img", 2024, true,
     true},
    {"a path holding the record's text", "x" + seal + ": OK, Length = 12, Checksum 0000" + sha,
     true, "x" + seal, 12, false, true},
    {"an escaped path", "\\a\\nb\\\\c" + seal, true, "a\nb\\c"},
    {"a length of 4294967295", "a: OK, Length = 4294967295, Checksum 0000", true, "a", 4294967295u},
    {"a length that begins with 9", "a: OK, Length = 9999, Checksum 0000", true, "a", 9999},
    {"a length of 4294967296", "a: OK, Length = 4294967296, Checksum 0000", false},
    {"an empty path", seal, false},
    {"an empty escaped path", "\\" + seal, false},
    {"an unknown escape", "\\a\\tb" + seal, false},
    {"junk after the checksum", old + " ", false},
    {"a digest a digit short", old + sha.substr(0, sha.size() - 1), false},
    {"a digest a digit long", old + sha + "a", false},
    {"a digest that is not hexadecimal", old + sha.substr(0, sha.size() - 1) + "g", false},
    {"a CRC-32 without the digest", old + ", CRC-32 0BADF00D", false},
    {"a CRC-32 a digit short", old + ", CRC-32 BADF00D" + sha, false},
    {"the digest before the CRC-32", old + sha + ", CRC-32 0BADF00D", false},
    {"a carriage return in the path", "a\rb" + seal, false},
    // A zero byte anywhere, after the checksum too, where what precedes it
    // would read as 1.2.0's form.
    {"a zero byte after the checksum", old + std::string("\0", 1), false},
    {"a zero byte before the digest", old + std::string("\0", 1) + sha, false},
    {"a zero byte in the path", std::string("a\0b", 3) + seal, false},
    {"a checksum of three digits", "a: OK, Length = 2024, Checksum DEA", false},
};

TEST(record_line, EachFieldIsReadExactlyOrTheLineIsNoRecord) {
    for (const auto& c : record_cases) {
        std::string line = c.line;
        char* path = nullptr;
        imgseal::image_record record{};
        ASSERT_EQ(imgseal::parse_record(line.data(), line.size(), path, record), c.is_record)
            << c.what;
        if (!c.is_record) continue;
        EXPECT_EQ(path, c.path) << c.what;
        EXPECT_EQ(record.seal.length, c.length) << c.what;
        EXPECT_EQ(record.has_crc, c.has_crc) << c.what;
        EXPECT_EQ(record.has_sha256, c.has_sha256) << c.what;
    }
}

std::string written(const char* path, const imgseal::image_record& record) {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    if (stream == nullptr) std::abort();
    imgseal::print_line_path(stream, path, imgseal::text_form::raw, true);
    char text[imgseal::longest_record];
    imgseal::format_record(text, sizeof text, record);
    std::fprintf(stream, ": %s", text);
    std::fclose(stream);
    std::string result(data, size);
    std::free(data);
    return result;
}

// What is written reads back as it was: every field, and paths that would
// break the line or begin with #, which are written escaped.
TEST(record_line, WrittenRecordsReadBackTheSame) {
    imgseal::image_record record{{2147483648u, 0x0C0F}, true, 0x00ABCDEF, true, {}};
    for (std::size_t i = 0; i < imgseal::sha256_size; ++i) {
        record.sha256[i] = static_cast<std::uint8_t>(i * 37);
    }
    const struct {
        const char* path;
        bool escaped;
    } paths[] = {{"out/app.img", false},
                 {"#1.img", true},
                 {"a\nb\r\\c", true},
                 {"x: OK, Length = 1", false}};
    for (const auto& p : paths) {
        for (const bool with_crc : {false, true}) {
            record.has_crc = with_crc;
            std::string line = written(p.path, record);
            EXPECT_EQ(line[0] == '\\', p.escaped) << line;
            char* path = nullptr;
            imgseal::image_record read{};
            ASSERT_TRUE(imgseal::parse_record(line.data(), line.size(), path, read)) << line;
            EXPECT_STREQ(path, p.path);
            EXPECT_EQ(read.seal.length, record.seal.length) << line;
            EXPECT_EQ(read.seal.checksum, record.seal.checksum) << line;
            EXPECT_EQ(read.has_crc, with_crc) << line;
            EXPECT_EQ(read.crc, with_crc ? record.crc : 0) << line;
            EXPECT_EQ(std::memcmp(read.sha256, record.sha256, imgseal::sha256_size), 0) << line;
        }
    }
    EXPECT_EQ(written("a", record).substr(1),
              ": OK, Length = 2147483648, Checksum 0C0F, CRC-32 00ABCDEF, SHA-256 "
              "00254a6f94b9de03284d7297bce1062b50759abfe4092e53789dc2e70c31567b");
}

imgseal::record_reader reader;
imgseal::record_line line;

// What the reader makes of each line of `text`, fed to it `piece` bytes at a
// time (0: all at once): a letter per line that it returns, r for a record,
// h for 1.2.0's record of a path that begins with #, n for no record, with
// its line number, and at the end the error, if any. The pieces are packets
// of a socket, which a read returns one at a time, so that no process or
// thread need feed them.
std::string read_all(const std::string& text, std::size_t piece = 0) {
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == -1) std::abort();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t size = piece == 0 ? text.size() - at : std::min(piece, text.size() - at);
        if (write(fds[1], text.data() + at, size) != static_cast<ssize_t>(size)) std::abort();
        at += size;
    }
    close(fds[1]);
    imgseal::start_reading(reader, fds[0]);
    std::string seen;
    for (;;) {
        char* path = nullptr;
        imgseal::image_record record{};
        const imgseal::record_read read = imgseal::next_record(reader, line, path, record);
        if (read == imgseal::record_read::end) break;
        seen += read == imgseal::record_read::record        ? "r"
                : read == imgseal::record_read::hash_record ? "h"
                                                            : "n";
        seen += std::to_string(reader.line_number);
        if (path != nullptr && read != imgseal::record_read::not_record)
            seen += std::string("=") + path;
        seen += " ";
    }
    close(fds[0]);
    if (reader.error.failed()) seen += imgseal::describe(reader.error);
    return seen;
}

TEST(record_line, RecordsFilesAsEditorsLeaveThem) {
    const std::string a = "a" + seal;
    const std::string escaped_longest = std::string(2 * 4096, '\\');
    const std::string longest = "\\" + escaped_longest +
                                ": OK, Length = 4294967295, Checksum FFFF, CRC-32 FFFFFFFF, "
                                "SHA-256 " +
                                digest;
    ASSERT_EQ(longest.size(), imgseal::longest_record);
    const std::string longest_path = "=" + std::string(4096, '\\');
    const struct {
        const char* what;
        std::string text;
        std::string seen;
    } cases[] = {
        {"a UTF-8 byte-order mark", "\xef\xbb\xbf" + a + "\n" + a, "r1=a r2=a "},
        {"a byte-order mark only at the start", a + "\n\xef\xbb\xbf" + a + "\n",
         "r1=a r2=\xef\xbb\xbf"
         "a "},
        {"UTF-16, little-endian", "\xff\xfe" + std::string("a\0:\0", 4),
         "records are UTF-16; save them as UTF-8"},
        {"UTF-16, big-endian", "\xfe\xff" + std::string("\0a\0:", 4),
         "records are UTF-16; save them as UTF-8"},
        {"blank lines", "\n" + a + "\n \t \n\r\n\n" + a + "\n\n", "r2=a r6=a "},
        {"comments", "# release 1.4\n" + a + "\n#a" + seal + ", SHA-256 " + digest + "\n#\n",
         "r2=a "},
        {"1.2.0's record of a path that begins with #", "#a" + seal + "\n\\#b" + seal + "\n",
         "h1=#a r2=#b "},
        {"a zero byte", std::string("a\0", 2) + seal + "\n" + a + std::string("\0", 1) + "\n" + a,
         "n1 n2 r3=a "},
        {"only comments and blank lines", "# none\n\n", ""},
        {"the longest line, ending in CRLF", longest + "\r\n" + a, "r1" + longest_path + " r2=a "},
        {"a line a byte longer",
         "\\x" + escaped_longest + longest.substr(escaped_longest.size() + 1) + "\n" + a,
         "n1 r2=a "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_all(c.text), c.seen) << c.what;
        // A pipe that gives the bytes one or two at a time, the byte-order
        // mark's among them, reads the same.
        if (c.text.size() < 100) {
            EXPECT_EQ(read_all(c.text, 1), c.seen) << c.what << ", a byte at a time";
            EXPECT_EQ(read_all(c.text, 2), c.seen) << c.what << ", two bytes at a time";
        }
    }
}

}  // namespace
}  // namespace imgseal_test
