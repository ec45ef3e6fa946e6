// Arbitrary bytes as a records file, through the reader and the grammar: no
// access outside the line, and every record read is written back to the same
// line's fields and read again to the same record.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record_line.hpp"

namespace {

imgseal::record_reader reader;
imgseal::record_line line;
imgseal::record_line again;

bool same(const imgseal::image_record& a, const imgseal::image_record& b) {
    return a.seal.length == b.seal.length && a.seal.checksum == b.seal.checksum &&
           a.has_crc == b.has_crc && (!a.has_crc || a.crc == b.crc) &&
           a.has_sha256 == b.has_sha256 &&
           (!a.has_sha256 || std::memcmp(a.sha256, b.sha256, sizeof a.sha256) == 0);
}

// Writes the record as the program would and reads it back.
void round_trip(const char* path, const imgseal::image_record& record) {
    std::FILE* stream = fmemopen(again, sizeof again, "w");
    if (stream == nullptr) std::abort();
    imgseal::print_line_path(stream, path, imgseal::text_form::raw, true);
    char fields[imgseal::longest_record];
    imgseal::format_record(fields, sizeof fields, record);
    std::fprintf(stream, ": %s", fields);
    const long size = std::ftell(stream);
    std::fclose(stream);
    char* path_again = nullptr;
    imgseal::image_record read{};
    if (size <= 0 ||
        !imgseal::parse_record(again, static_cast<std::size_t>(size), path_again, read) ||
        std::strcmp(path_again, path) != 0 || !same(read, record)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("records", MFD_CLOEXEC);
    if (fd == -1 || write(fd, data, size) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    imgseal::start_reading(reader, fd);
    for (;;) {
        char* path = nullptr;
        imgseal::image_record record{};
        const imgseal::record_read read = imgseal::next_record(reader, line, path, record);
        if (read == imgseal::record_read::end) break;
        if (read != imgseal::record_read::not_record) round_trip(path, record);
    }
    close(fd);
    return 0;
}
