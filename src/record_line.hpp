// The record line: the line that imgseal-verify prints for an image that is
// sealed, and that -c and --find read back as what the image must still be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image_file.hpp"
#include "run.hpp"
#include "terminal_text.hpp"

namespace imgseal {

// A record line is
//
//     PATH: OK, Length = N, Checksum XXXX[, CRC-32 XXXXXXXX], SHA-256 H
//
// N in decimal; XXXX and XXXXXXXX hexadecimal digits, written upper-case; H
// the 64 hexadecimal digits of the SHA-256 of the image's first N bytes,
// written lower-case, as sha256sum prints them. Digits are read in either
// case. The CRC-32 field is there only for an image that carries a CRC-32.
// 1.2.0 wrote records that end after the checksum; they are read as records
// without a digest. A field after the checksum that is not exactly one of
// these (a digest one digit short, a CRC-32 without the digest after it)
// makes the line no record.
//
// The path is written byte for byte, except that a path holding a newline, a
// carriage return or a backslash has them written \n, \r and \\, and its
// line then begins with a backslash that says so, as the digest tools' lines
// do; so one line is always one record, and a record holds no raw carriage
// return. A path that begins with # is written with that backslash too, so
// that its line is not taken for a comment. A record is read from the end of
// its line: the path is everything before the last ": OK, Length = ", so a
// path may hold that text; it is never empty.
//
// Records files: lines end with a newline, or with the end of the file. One
// carriage return right before that end belongs to it, so that records
// checked out with CRLF line ends read the same; any other carriage return
// makes a line no record. A UTF-8 byte-order mark at the start is skipped;
// records that start with a UTF-16 one are refused. Lines that are empty or
// hold only spaces and tabs are skipped, and so are comments: lines that
// begin with #, except one that reads as a record of 1.2.0's form, which
// 1.2.0 wrote for a path that begins with #.

// What a record says of its image.
struct seal_values {
    std::uint32_t length;
    std::uint16_t checksum;
};

inline constexpr std::size_t sha256_size = 32;

struct image_record {
    seal_values seal;
    bool has_crc;  // the image carries a CRC-32
    std::uint32_t crc;
    bool has_sha256;  // false in 1.2.0's records only
    std::uint8_t sha256[sha256_size];
};

// The longest record line: a path of PATH_MAX (4096) bytes, each of them
// escaped, its line's leading backslash, and the longest verdict.
inline constexpr std::size_t longest_record =
    1 + 2 * 4096 + sizeof ": OK, Length = 4294967295, Checksum FFFF, CRC-32 FFFFFFFF, SHA-256 " -
    1 + 2 * sha256_size;

// Reads the decimal number at `text`, of at most 32 bits, and moves `text`
// past it.
bool parse_decimal(const char*& text, std::uint32_t& value);

// Reads "N,XXXX", a record's length and checksum alone, as in --expect.
bool parse_seal_values(const char* text, seal_values& seal);

// Reads `line`, a line of `size` bytes without its line end and followed by a
// zero byte, as a record: one that holds a zero byte of its own is none. Its path is unescaped in
// place, and `path` points to it.
bool parse_record(char* line, std::size_t size, char*& path, image_record& record);

// Writes `path` in `form`: where `form` is raw, a path that would break the
// line is escaped as described above, and so is one that begins with # where
// it begins the line (`starts_line`).
void print_line_path(std::FILE* stream, const char* path, text_form form, bool starts_line);

// Writes what follows the path in a record, "OK, Length = N, ...", into `text`
// (of `size` bytes, cut short if that is too small). The digest is written
// only where `record` has one.
void format_record(char* text, std::size_t size, const image_record& record);

// Reads a records file line by line, through a buffer of its own, waiting for
// input where the descriptor is non-blocking.
struct record_reader {
    int fd;
    std::size_t start;  // the unread bytes of `buffer`, from start to end
    std::size_t end;
    bool at_end;
    bool started;               // the byte-order mark has been looked for
    unsigned long line_number;  // of the line read last
    outcome error;              // the failed read, or records in UTF-16
    char buffer[1 << 16];
};

// Room for a line: the longest record and one carriage return, and its zero.
using record_line = char[longest_record + 2];

void start_reading(record_reader& reader, int fd);

enum class line_read {
    line,        // a line that may be a record
    not_record,  // a line longer than any record
    none,        // the end of the file, or a failed read (`error`)
};

// Reads the next line into `line` without its line end, `size` bytes
// followed by a zero byte. The rest of a line too long to keep is read and
// dropped.
line_read read_record_line(record_reader& reader, record_line& line, std::size_t& size);

enum class record_read {
    record,       // a record: `path` and `record` tell it
    hash_record,  // a record of 1.2.0's form whose path begins with #
    not_record,   // a line that is no record, no comment and not blank
    end,          // the end of the file, or a failed read (`error`)
};

// Reads lines up to the next that is not blank and no comment, and reads it
// as a record; reader.line_number is its number.
record_read next_record(record_reader& reader, record_line& line, char*& path,
                        image_record& record);

// The records that -c or --find name, open on `fd` from `start`, where they
// can be read again from there (a regular file, standard input included), and
// their state then, which tells whether anyone rewrote them between two
// readings; `start` is -1 for those that can be read once only.
struct records_file {
    const char* name;
    int fd;
    off_t start;
    file_state state;
};

// Opens the records at `name` (- for standard input). A directory is refused
// here, as no records, whatever is looked up in them.
outcome open_records(const char* name, records_file& records);

}  // namespace imgseal
