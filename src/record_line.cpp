// Writing and reading record lines: the fields, the escaping of paths, and
// what people's editors leave in a records file.
#include "record_line.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace imgseal {

namespace {

// Written and read here only, so that both keep to the same text.
constexpr const char* seal_marker = ": OK, Length = ";
constexpr const char* checksum_marker = ", Checksum ";
constexpr const char* crc_marker = ", CRC-32 ";
constexpr const char* sha256_marker = ", SHA-256 ";

int hex_digit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

// Reads exactly `digits` hexadecimal digits (at most 8) at `text`.
bool parse_hex(const char*& text, int digits, std::uint32_t& value) {
    std::uint32_t number = 0;
    for (int i = 0; i < digits; ++i, ++text) {
        const int digit = hex_digit(*text);
        if (digit < 0) return false;
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    value = number;
    return true;
}

bool parse_checksum(const char*& text, std::uint16_t& value) {
    std::uint32_t number = 0;
    if (!parse_hex(text, 4, number)) return false;
    value = static_cast<std::uint16_t>(number);
    return true;
}

// Moves `text` past `marker` if it starts with it.
bool skip(const char*& text, const char* marker) {
    const std::size_t size = std::strlen(marker);
    if (std::strncmp(text, marker, size) != 0) return false;
    text += size;
    return true;
}

// The fields after the checksum: none, as 1.2.0 wrote them, or the digest,
// after the CRC-32 where the image carries one.
bool parse_new_fields(const char* rest, image_record& record) {
    record.has_crc = false;
    record.has_sha256 = false;
    if (*rest == '\0') return true;
    if (skip(rest, crc_marker)) {
        if (!parse_hex(rest, 8, record.crc)) return false;
        record.has_crc = true;
    }
    if (!skip(rest, sha256_marker)) return false;
    for (std::uint8_t& byte : record.sha256) {
        std::uint32_t value = 0;
        if (!parse_hex(rest, 2, value)) return false;
        byte = static_cast<std::uint8_t>(value);
    }
    record.has_sha256 = true;
    return *rest == '\0';
}

// Unescapes the path of an escaped line in place: \n, \r and \\ only.
bool unescape(char* path) {
    char* out = path;
    for (const char* in = path; *in != '\0'; ++in) {
        if (*in == '\\') {
            ++in;
            if (*in == 'n') {
                *out++ = '\n';
            } else if (*in == 'r') {
                *out++ = '\r';
            } else if (*in == '\\') {
                *out++ = '\\';
            } else {
                return false;
            }
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return *path != '\0';
}

}  // namespace

bool parse_decimal(const char*& text, std::uint32_t& value) {
    if (*text < '0' || *text > '9') return false;
    std::uint64_t number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
        if (number > UINT32_MAX) return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool parse_seal_values(const char* text, seal_values& seal) {
    return parse_decimal(text, seal.length) && *text++ == ',' &&
           parse_checksum(text, seal.checksum) && *text == '\0';
}

bool parse_record(char* line, std::size_t size, char*& path, image_record& record) {
    if (std::memchr(line, '\r', size) != nullptr || std::memchr(line, '\0', size) != nullptr) {
        return false;
    }
    char* found = nullptr;
    for (char* at = std::strstr(line, seal_marker); at != nullptr;
         at = std::strstr(at + 1, seal_marker)) {
        found = at;
    }
    if (found == nullptr || found == line) return false;
    const char* rest = found + std::strlen(seal_marker);
    if (!parse_decimal(rest, record.seal.length) || !skip(rest, checksum_marker) ||
        !parse_checksum(rest, record.seal.checksum) || !parse_new_fields(rest, record)) {
        return false;
    }
    *found = '\0';
    path = line;
    if (*line != '\\') return true;
    path = line + 1;
    return unescape(path);
}

void print_line_path(std::FILE* stream, const char* path, text_form form, bool starts_line) {
    const std::size_t size = std::strlen(path);
    if (form == text_form::raw && (breaks_line(path, size) || (starts_line && path[0] == '#'))) {
        (void)std::fputc('\\', stream);
        print_text(stream, path, size, text_form::one_line);
    } else {
        print_text(stream, path, size, form);
    }
}

void format_record(char* text, std::size_t size, const image_record& record) {
    char crc[24] = "";
    if (record.has_crc) {
        (void)std::snprintf(crc, sizeof crc, "%s%08X", crc_marker,
                            static_cast<unsigned>(record.crc));
    }
    char digest[2 * sha256_size + 1] = "";
    for (std::size_t i = 0; record.has_sha256 && i < sha256_size; ++i) {
        (void)std::snprintf(digest + 2 * i, 3, "%02x", static_cast<unsigned>(record.sha256[i]));
    }
    // The text that parse_record reads, marker by marker.
    (void)std::snprintf(text, size, "OK, Length = %u, Checksum %04X%s%s%s", record.seal.length,
                        record.seal.checksum, crc, record.has_sha256 ? sha256_marker : "", digest);
}

void start_reading(record_reader& reader, int fd) {
    reader.fd = fd;
    reader.start = reader.end = 0;
    reader.at_end = false;
    reader.started = false;
    reader.line_number = 0;
    reader.error = succeeded;
}

namespace {

constexpr outcome utf16_records{fault::read_failed, 0, "records are UTF-16; save them as UTF-8"};

// Reads more into the buffer after its `end`; false at the end or on a failure.
bool read_more(record_reader& reader) {
    const ssize_t got =
        read_waiting(reader.fd, reader.buffer + reader.end, sizeof reader.buffer - reader.end);
    if (got == -1) {
        reader.error = system_fault(fault::read_failed);
        reader.at_end = true;
        return false;
    }
    reader.end += static_cast<std::size_t>(got);
    reader.at_end = got == 0;
    return got != 0;
}

// Looks at the first bytes, however few each read gives, for a byte-order
// mark: UTF-8's is skipped, UTF-16's (either order) ends the reading.
void look_for_byte_order_mark(record_reader& reader) {
    reader.started = true;
    while (reader.end < 3 && read_more(reader)) {
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(reader.buffer);
    if (reader.end >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        reader.start = 3;
    } else if (reader.end >= 2 &&
               ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        reader.error = utf16_records;
        reader.start = reader.end;
        reader.at_end = true;
    }
}

bool is_blank(const char* line, std::size_t size) {
    return std::all_of(line, line + size, [](char c) { return c == ' ' || c == '\t'; });
}

}  // namespace

line_read read_record_line(record_reader& reader, record_line& line, std::size_t& size) {
    constexpr std::size_t room = sizeof(record_line) - 1;
    if (!reader.started) look_for_byte_order_mark(reader);
    size = 0;
    bool kept_whole = true;
    bool any = false;
    for (;;) {
        if (reader.start == reader.end) {
            if (reader.at_end) break;
            reader.start = reader.end = 0;
            if (!read_more(reader) && reader.error.failed()) return line_read::none;
            continue;
        }
        any = true;
        const char* from = reader.buffer + reader.start;
        const std::size_t available = reader.end - reader.start;
        const void* newline = std::memchr(from, '\n', available);
        const std::size_t taken =
            newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - from)
                               : available;
        const std::size_t kept = std::min(taken, room - size);
        std::memcpy(line + size, from, kept);
        size += kept;
        kept_whole = kept_whole && kept == taken;
        reader.start += taken + (newline != nullptr ? 1 : 0);
        if (newline != nullptr) break;
    }
    if (!any) return line_read::none;
    ++reader.line_number;
    if (size != 0 && line[size - 1] == '\r') --size;
    line[size] = '\0';
    return kept_whole && size <= longest_record ? line_read::line : line_read::not_record;
}

record_read next_record(record_reader& reader, record_line& line, char*& path,
                        image_record& record) {
    for (;;) {
        std::size_t size = 0;
        const line_read read = read_record_line(reader, line, size);
        if (read == line_read::none) return record_read::end;
        if (read == line_read::line && is_blank(line, size)) continue;
        const bool parsed = read == line_read::line && parse_record(line, size, path, record);
        if (line[0] == '#') {
            // Records written since 1.2.0 escape such a path: only 1.2.0's
            // form can be a record here.
            if (parsed && !record.has_sha256) return record_read::hash_record;
            continue;
        }
        return parsed ? record_read::record : record_read::not_record;
    }
}

outcome open_records(const char* name, records_file& records) {
    records = {name, -1, -1, {}};
    records.fd =
        std::strcmp(name, "-") == 0 ? STDIN_FILENO : open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (records.fd == -1) return system_fault(fault::open_failed);
    struct stat status {};
    if (fstat(records.fd, &status) == -1) return system_fault(fault::open_failed);
    if (S_ISDIR(status.st_mode)) return {fault::open_failed, EISDIR, nullptr};
    if (S_ISREG(status.st_mode)) {
        records.start = lseek(records.fd, 0, SEEK_CUR);
        return record_file_state(records.fd, records.state);
    }
    return succeeded;
}

}  // namespace imgseal
