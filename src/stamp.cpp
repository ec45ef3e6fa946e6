// The write-back of the seal, ordered so that a failure leaves an image that a
// rerun either seals identically or refuses.
#include "stamp.hpp"

#include <unistd.h>

#include <cerrno>

#include "image_format.hpp"

namespace imgseal {

outcome stamp_image(int fd, std::uint32_t descriptor_offset, const image_sum& sum) {
    static const std::uint8_t fill_byte[1] = {0x00};
    static std::uint8_t checksum_field[descriptor_checksum_size];
    static std::uint8_t length_field[descriptor_length_size];

    // The fill byte goes first. A failed append then leaves the image as it
    // was, and a trailing zero changes neither the checksum nor the length of a
    // rerun. Appended last, its failure would leave a stamp whose length the
    // file's size contradicts: an image every later run refuses.
    if (sum.odd_tail) {
        outcome result = seek_to(fd, 0, SEEK_END, fault::seek_failed);
        if (result.failed()) return result;
        result = write_exactly(fd, fill_byte, sizeof fill_byte, fault::write_failed);
        if (result.failed()) return result;
    }

    store_be16(checksum_field, sum.checksum);
    store_be32(length_field, sum.padded_length);
    const off_t checksum_position =
        descriptor_position(descriptor_offset) + static_cast<off_t>(descriptor_checksum_at);
    outcome result = seek_to(fd, checksum_position, SEEK_SET, fault::seek_failed);
    if (result.failed()) return result;
    result = write_exactly(fd, checksum_field, sizeof checksum_field, fault::write_failed);
    if (result.failed()) return result;
    result = write_exactly(fd, length_field, sizeof length_field, fault::write_failed);
    if (result.failed()) return result;

    // EINVAL: this file system cannot sync this file, and never will. Any other
    // error means the seal may not be on stable storage.
    if (fsync(fd) == -1 && errno != EINVAL) return system_fault(fault::write_failed);
    // After EINTR the descriptor is closed all the same and nothing was lost.
    if (close(fd) == -1 && errno != EINTR) return system_fault(fault::write_failed);
    return succeeded;
}

}  // namespace imgseal
