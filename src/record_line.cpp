// Writing and reading record lines: the escaping of paths, and the line ends
// that a records file may come with.
#include "record_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace imgseal {

namespace {

// Written and read here only, so that both keep to the same text.
constexpr const char* seal_marker = ": OK, Length = ";
constexpr const char* checksum_marker = ", Checksum ";

bool parse_checksum(const char*& text, std::uint16_t& value) {
    unsigned number = 0;
    for (int i = 0; i < 4; ++i, ++text) {
        const char c = *text;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return false;
        number = number * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<std::uint16_t>(number);
    return true;
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

bool parse_record(char* line, std::size_t size, char*& path, seal_values& seal) {
    if (std::memchr(line, '\r', size) != nullptr) return false;
    char* found = nullptr;
    for (char* at = std::strstr(line, seal_marker); at != nullptr;
         at = std::strstr(at + 1, seal_marker)) {
        found = at;
    }
    if (found == nullptr || found == line) return false;
    const char* rest = found + std::strlen(seal_marker);
    const std::size_t checksum_marker_size = std::strlen(checksum_marker);
    if (!parse_decimal(rest, seal.length) ||
        std::strncmp(rest, checksum_marker, checksum_marker_size) != 0) {
        return false;
    }
    rest += checksum_marker_size;
    if (!parse_checksum(rest, seal.checksum) || *rest != '\0') return false;
    *found = '\0';
    path = line;
    if (*line != '\\') return true;
    path = line + 1;
    return unescape(path);
}

void print_line_path(std::FILE* stream, const char* path, text_form form) {
    const std::size_t size = std::strlen(path);
    if (form == text_form::raw && breaks_line(path, size)) {
        (void)std::fputc('\\', stream);
        print_text(stream, path, size, text_form::one_line);
    } else {
        print_text(stream, path, size, form);
    }
}

void format_seal(char* text, std::size_t size, const seal_values& seal) {
    // The text that parse_record reads: seal_marker and checksum_marker.
    (void)std::snprintf(text, size, "OK, Length = %u, Checksum %04X", seal.length, seal.checksum);
}

void start_reading(record_reader& reader, int fd) {
    reader.fd = fd;
    reader.start = reader.end = 0;
    reader.at_end = false;
    reader.error = succeeded;
}

line_read read_record_line(record_reader& reader, record_line& line, std::size_t& size) {
    constexpr std::size_t room = sizeof(record_line) - 1;
    size = 0;
    bool kept_whole = true;
    bool any = false;
    for (;;) {
        if (reader.start == reader.end) {
            if (reader.at_end) break;
            const ssize_t got = read_waiting(reader.fd, reader.buffer, sizeof reader.buffer);
            if (got == -1) {
                reader.error = system_fault(fault::read_failed);
                return line_read::none;
            }
            reader.start = 0;
            reader.end = static_cast<std::size_t>(got);
            reader.at_end = got == 0;
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
    if (size != 0 && line[size - 1] == '\r') --size;
    line[size] = '\0';
    const bool record_like =
        kept_whole && size <= longest_record && std::memchr(line, '\0', size) == nullptr;
    return record_like ? line_read::line : line_read::not_record;
}

}  // namespace imgseal
