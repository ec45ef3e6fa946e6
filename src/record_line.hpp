// The record line: the line that imgseal-verify prints for an image that is
// sealed, and that -c reads back as the seal the image must still have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "run.hpp"
#include "terminal_text.hpp"

namespace imgseal {

// A record line is
//
//     PATH: OK, Length = N, Checksum XXXX
//
// N in decimal, XXXX four hexadecimal digits (written upper-case, read in
// either case). The path is written byte for byte, except that a path holding
// a newline, a carriage return or a backslash has them written \n, \r and \\,
// and its line then begins with a backslash that says so, as the digest
// tools' lines do; so one line is always one record, and a record holds no
// raw carriage return. A record is read from the end of its line: the path is
// everything before the last ": OK, Length = ", so a path may hold that text.
//
// Lines end with a newline, or with the end of the file. One carriage return
// right before that end belongs to it, so that records checked out with CRLF
// line ends read the same; any other carriage return makes a line no record.

// What a record says of its image.
struct seal_values {
    std::uint32_t length;
    std::uint16_t checksum;
};

// The longest record line: a path of PATH_MAX (4096) bytes, each of them
// escaped, and its verdict.
inline constexpr std::size_t longest_record = 2 * 4096 + 64;

// Reads the decimal number at `text`, of at most 32 bits, and moves `text`
// past it.
bool parse_decimal(const char*& text, std::uint32_t& value);

// Reads "N,XXXX", a record's length and checksum alone, as in --expect.
bool parse_seal_values(const char* text, seal_values& seal);

// Reads `line`, a line of `size` bytes without its line end and followed by a
// zero byte, as a record. Its path is unescaped in place, and `path` points to
// it.
bool parse_record(char* line, std::size_t size, char*& path, seal_values& seal);

// Writes `path` as a line begins with it, in `form`: where `form` is raw, a
// path that would break the line is escaped as described above.
void print_line_path(std::FILE* stream, const char* path, text_form form);

// Writes what follows the path in a record, "OK, Length = N, Checksum XXXX",
// into `text` (of `size` bytes, cut short if that is too small).
void format_seal(char* text, std::size_t size, const seal_values& seal);

// Reads a records file line by line, through a buffer of its own, waiting for
// input where the descriptor is non-blocking.
struct record_reader {
    int fd;
    std::size_t start;  // the unread bytes of `buffer`, from start to end
    std::size_t end;
    bool at_end;
    outcome error;  // the failed read, if any
    char buffer[1 << 16];
};

// Room for a line: the longest record and one carriage return, and its zero.
using record_line = char[longest_record + 2];

void start_reading(record_reader& reader, int fd);

enum class line_read {
    line,        // a line that may be a record
    not_record,  // a line longer than any record, or holding a zero byte
    none,        // the end of the file, or a failed read (`error`)
};

// Reads the next line into `line` without its line end, `size` bytes
// followed by a zero byte. The rest of a line too long to keep is read and
// dropped.
line_read read_record_line(record_reader& reader, record_line& line, std::size_t& size);

}  // namespace imgseal
