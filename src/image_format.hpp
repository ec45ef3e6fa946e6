// The on-disk layout of an image, and check_image, the stage that accepts an
// unsealed image and reads its descriptor and name.
//
// Every multi-byte field is unsigned and big-endian. Offsets are in bytes.
//
//   header, at file offset 0, 8 bytes
//     +0   4  (not examined)
//     +4   4  descriptor_offset   file offset of the descriptor
//   descriptor, at descriptor_offset, 16 bytes
//     +0   8  (not examined)
//     +8   2  signature           byte +8 is 0x55 or 0xAA; byte +9 is any value
//     +10  2  checksum            0 while unsealed
//     +12  4  length              0 while unsealed; the sealed file's size (even)
//   name, at descriptor_offset + 16, 2000 bytes
//     text, ended by its first zero byte if it has one
//
// The descriptor may overlap the header and may lie at an odd offset. Every
// other byte of the file is content. File positions are signed 32-bit: an image
// is at most largest_image_size bytes, and a descriptor_offset of 0x80000000 or
// more is a negative, unreachable offset.
//
// The CRC field, in bytes that the seal leaves free. An image carries a CRC
// when both hold:
//   - descriptor_offset is 8: the descriptor follows the header;
//   - descriptor bytes +0..+3 (file bytes 8-11) hold the marker 89 43 52 43.
// Its descriptor bytes +4..+7 (file bytes 12-15) then hold the CRC. Any other
// image carries none, whatever those bytes hold, so a reader of a stream or a
// slot knows from bytes 4-11 whether a CRC follows, before any byte that the
// CRC takes as zero, and has it by byte 16.
//     +0   4  crc_marker          89 43 52 43 (0x89, then "CRC")
//     +4   4  crc                 the CRC-32 below
// The CRC is the common CRC-32 (reflected, polynomial 0xEDB88320, initial
// value and final XOR 0xFFFFFFFF; 0xCBF43926 over the ASCII "123456789") of
// the sealed image's first `length` bytes, with file bytes 12-15 (the CRC
// itself) and 18-23 (the seal: checksum and length) taken as zero. It covers
// the header, the marker and the signature. The seal cannot tell a word of
// 0x0000 from one of 0xFFFF, so erased flash where the image held zeros
// passes it. The CRC catches every single-bit error and every burst of up to
// 32 bits; a longer burst, an erased page for one, goes unseen only with a
// chance of about 2^-32. The marker is neither all zeros nor all ones, and
// its high first byte keeps text stored there from matching it by chance; an
// image of an earlier version whose bytes 8-11 happen to hold it, with its
// descriptor at 8 (a 2^-32 chance for data there), now fails. A sealed image
// cannot gain a CRC: sealing is one-shot.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "run.hpp"

// Image sizes and positions reach 2^31: a 32-bit off_t would refuse every image.
// The build defines _FILE_OFFSET_BITS=64 on every target; this keeps it so.
static_assert(sizeof(off_t) == 8, "off_t must be 64-bit: build with _FILE_OFFSET_BITS=64");

namespace imgseal {

inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t header_descriptor_offset_at = 4;

inline constexpr std::size_t descriptor_size = 16;
inline constexpr std::size_t descriptor_signature_at = 8;
inline constexpr std::size_t descriptor_checksum_at = 10;
inline constexpr std::size_t descriptor_checksum_size = 2;
inline constexpr std::size_t descriptor_length_at = 12;
inline constexpr std::size_t descriptor_length_size = 4;
// The seal: the checksum field and the length field, which follow one another.
inline constexpr std::size_t stamp_size = descriptor_checksum_size + descriptor_length_size;
inline constexpr std::uint8_t signature_55 = 0x55;
inline constexpr std::uint8_t signature_aa = 0xAA;

inline constexpr std::size_t name_size = 2000;

// The CRC field: where it is, and what makes an image carry one.
inline constexpr std::uint32_t crc_descriptor_offset = 8;
inline constexpr std::size_t crc_marker_at = crc_descriptor_offset;  // a file offset
inline constexpr std::uint8_t crc_marker[4] = {0x89, 0x43, 0x52, 0x43};
inline constexpr std::size_t crc_at = crc_marker_at + sizeof crc_marker;  // a file offset
inline constexpr std::size_t crc_size = 4;
// The bytes an image needs for its first ones to tell whether it carries a CRC.
inline constexpr std::size_t crc_field_end = crc_at + crc_size;
// The seal's place in an image that carries a CRC.
inline constexpr std::size_t crc_stamp_at = crc_descriptor_offset + descriptor_checksum_at;

// The file bytes that the CRC takes as zero, in file order: the CRC field and
// the seal.
struct byte_range {
    std::size_t begin;
    std::size_t end;
};
inline constexpr byte_range crc_zeroed[] = {{crc_at, crc_at + crc_size},
                                            {crc_stamp_at, crc_stamp_at + stamp_size}};

// The largest image, sealed or not. Every position in a file of 2^31 bytes
// fits a signed 32-bit offset and its length fits the field; an odd image of
// 2^31 - 1 bytes grows to 2^31 with its fill byte, and must stay sealable by
// a rerun if the run that appended it failed later.
inline constexpr off_t largest_image_size = off_t{1} << 31;

inline std::uint16_t load_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

inline void store_be16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

inline void store_be32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

// The signed file position that descriptor_offset stands for: values of
// 0x80000000 and more are negative, so the seek to them fails.
inline off_t descriptor_position(std::uint32_t descriptor_offset) {
    return static_cast<std::int32_t>(descriptor_offset);
}

enum class descriptor_verdict {
    unsealed,          // can be sealed
    bad_signature,     // "Invalid signature"
    nonzero_checksum,  // "Non zero checksum field"
    nonzero_length,    // "Non zero length field"
};

// Whether the image whose first `size` bytes are at `first` carries a CRC:
// its descriptor lies at 8 and begins with the marker. Fewer than
// crc_field_end bytes hold no CRC.
bool carries_crc(const std::uint8_t* first, std::size_t size);

// The same, from the header's descriptor_offset and the descriptor read at it.
bool carries_crc(std::uint32_t descriptor_offset,
                 const std::uint8_t (&descriptor)[descriptor_size]);

// The verdict on a descriptor's 16 bytes, tested in the order that decides
// the message: signature, then checksum, then length.
descriptor_verdict judge_descriptor(const std::uint8_t (&descriptor)[descriptor_size]);

// What the checks read from an image.
struct image_fields {
    std::uint32_t descriptor_offset;
    std::uint8_t descriptor[descriptor_size];
    char name[name_size];
    std::size_t name_length;  // up to the field's first zero byte, or all of it
};

// Reads the header from the handle's position 0, seeks to the descriptor it
// points to and reads it.
outcome read_descriptor(int fd, image_fields& image);

// Reads the name field, which follows the descriptor just read.
outcome read_name(int fd, image_fields& image);

// Accepts an unsealed image: reads header and descriptor, refuses a descriptor
// that judge_descriptor does not find unsealed, then reads the name. The
// first failing step decides the outcome; nothing is written.
outcome check_image(int fd, image_fields& image);

}  // namespace imgseal
