// The verdict on a sealed image: the checks that imgseal-verify and the boot
// code's check make, in the same order, so that both reach the same verdict.
#pragma once

#include <cstdint>

#include "image_checksum.hpp"
#include "run.hpp"

namespace imgseal {

// In the order the checks are made; the first that fails decides.
enum class seal_verdict : unsigned char {
    ok,
    short_header,        // fewer than 8 bytes: no header
    erased,              // the header's 8 bytes are all 0xFF: erased flash, no image
    descriptor_outside,  // the descriptor offset is 2^31 or more (a negative file
                         // position), or the 16-byte descriptor does not lie
                         // within the bytes given
    bad_signature,       // the signature byte is neither 0x55 nor 0xAA
    not_sealed,          // checksum and length fields are both zero
    odd_length,          // the length field is odd: no seal writes one
    length_inside_name,  // the length ends before the name field does
    length_not_size,     // an image: the length is not its size; a slot: the
                         // length runs past the slot's end
    bad_checksum,        // the checksum field does not match the bytes
    system_error,        // the image could not be read: `error` says why
};

struct seal_report {
    seal_verdict verdict;
    outcome error;                    // with seal_verdict::system_error
    std::uint32_t descriptor_offset;  // from bad_signature on
    std::uint8_t signature;           // from bad_signature on
    std::uint32_t length;             // the length field, from not_sealed on
    std::uint16_t checksum;           // the checksum field, from not_sealed on
    std::uint16_t computed;           // with ok and bad_checksum
    std::uint64_t size;               // the bytes given
    bool passes_as_slot;              // with length_not_size, for an image longer
                                      // than its length: its first `length` bytes
                                      // would pass as a slot's
};

enum class seal_scope : unsigned char {
    whole_image,  // the bytes given are the image: its size must be the length
    slot,         // they hold an image at their start: the length decides how
                  // many are checked, and the rest is ignored
};

// Judges the first `size` bytes of the file open on `fd` (a file at least that
// long) as `scope` says. Reads at explicit offsets and leaves the file offset
// anywhere. Whether the file changed meanwhile is the caller's to check.
// Where the fields pass, `observer` (if any) is given the bytes that the
// length covers, in the one pass that sums them, unless it wants none of
// this image's.
seal_report check_seal(int fd, std::uint64_t size, seal_scope scope,
                       const block_observer* observer = nullptr);

// check_seal over the whole file open on `fd` (a block device: the whole
// device), its state recorded before the pass and compared after it: a write
// by anyone else meanwhile makes the verdict void, a system_error that says
// so. As a whole image, a file longer than largest_image_size fails with
// EOVERFLOW before anything is read.
seal_report check_seal_of_file(int fd, seal_scope scope, const block_observer* observer = nullptr);

// The same verdict on a stream read from `fd` to its end (a pipe, standard
// input): the bytes given are all the stream's bytes, read once, whatever
// follows the image in a slot included. As a whole image, a stream longer
// than largest_image_size fails with EOVERFLOW as soon as it is. `observer`
// (if any) is given the bytes summed, as they come: all of them until the
// descriptor has told the length, then up to it. They are the image's only
// where the verdict is ok; where the fields fail, a failure of the observer
// is not reported. Its `wants` is not asked: the first bytes go by before
// the descriptor is known.
seal_report check_seal_stream(int fd, seal_scope scope, const block_observer* observer = nullptr);

}  // namespace imgseal
