// Packing: a raw firmware binary made into an unsealed image that carries a
// CRC-32, written whole or not at all.
//
// The image, from file offset 0 (image_format.hpp has the fields):
//     0     4  the image version, big-endian
//     4     4  descriptor_offset: 8
//     8     4  the CRC marker
//     12    4  the CRC, over the finished image
//     16    1  the signature byte, 0x55 or 0xAA
//     17    1  0x00, the signature word's low byte
//     18    6  the seal's checksum and length: zero
//     24 2000  the name, its ending zero byte, then 0xFF to the field's end
//     2024     0xFF up to the binary's offset, the first multiple of the
//              alignment at or past 2024
//     offset   the binary, then one 0xFF after an odd-sized one
// Every byte of fill is 0xFF, the value of erased flash: a page of fill left
// unprogrammed is then no fault at all. The image's size is even, so sealing
// adds no fill byte and the sealed length is this size: the CRC computed here
// is the sealed image's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image_format.hpp"

namespace imgseal {

inline constexpr std::uint8_t pack_fill = 0xFF;
// The name's ending zero byte must fit the field.
inline constexpr std::size_t longest_pack_name = name_size - 1;
inline constexpr std::size_t pack_name_at = crc_descriptor_offset + descriptor_size;
inline constexpr std::size_t pack_name_end = pack_name_at + name_size;
// The default suits any Cortex-M vector table in a slot aligned to 2 KiB.
inline constexpr std::uint64_t default_pack_align = 2048;
inline constexpr std::uint64_t smallest_pack_align = 4;
inline constexpr std::uint64_t largest_pack_align = 65536;
// The header's version field read as erased flash.
inline constexpr std::uint64_t erased_image_version = 0xFFFFFFFF;

// What the command line asks for. The numbers are kept as given, wider than
// their fields, so that check_pack_settings can refuse what does not fit.
struct pack_settings {
    const char* name = "";
    std::uint64_t image_version = 0;
    std::uint8_t signature = signature_55;
    std::uint64_t align = default_pack_align;
};

// Where packing stopped, and so the packer's exit status.
enum class pack_failure : unsigned char {
    none,
    binary,  // the binary cannot be opened or read, or is empty
    layout,  // the name, the alignment or the version cannot be laid out, or
             // the image would reach 2^31 bytes
    output,  // the output is the binary, is not a regular file, or cannot
             // be written, flushed or renamed into place
};

// A failure with the call's errno, or with a fixed text where none says it.
struct pack_outcome {
    pack_failure what;
    int error;
    const char* text;
};

// What was written.
struct pack_report {
    std::uint64_t binary_offset;
    std::uint64_t binary_size;
    std::uint64_t image_size;
    std::uint32_t crc;
};

// Reads a whole number, decimal or 0x-hex, that is all of `text`; false if
// `text` is none. One beyond 64 bits reads as the largest value, for the
// checks to refuse.
bool parse_pack_number(const char* text, std::uint64_t& value);

// Refuses settings that the layout cannot hold (pack_failure::layout).
pack_outcome check_pack_settings(const pack_settings& settings);

// The binary's offset for an alignment that check_pack_settings accepts.
std::uint64_t binary_offset(std::uint64_t align);

// Writes the image's first binary_offset(settings.align) bytes into `head`,
// with the CRC field zero.
void lay_out_head(const pack_settings& settings, std::uint8_t* head);

// Packs the binary at `binary_path` into a new image at `image_path`: checks
// the settings, the binary and the output, then writes the image to a
// temporary file in the output's directory, flushes it and renames it into
// place. Whatever fails, nothing is left behind: the temporary file is
// removed, on SIGHUP, SIGINT, SIGQUIT and SIGTERM too, and an output that
// existed keeps its bytes.
pack_outcome pack_image(const char* binary_path, const char* image_path,
                        const pack_settings& settings, pack_report& report);

}  // namespace imgseal
