// check_image and the reads it is made of. They only read, so an image refused
// here is left exactly as it was.
#include "image_format.hpp"

#include <unistd.h>

#include <cstring>

namespace imgseal {

bool carries_crc(std::uint32_t descriptor_offset,
                 const std::uint8_t (&descriptor)[descriptor_size]) {
    return descriptor_offset == crc_descriptor_offset &&
           std::memcmp(descriptor, crc_marker, sizeof crc_marker) == 0;
}

bool carries_crc(const std::uint8_t* first, std::size_t size) {
    return size >= crc_field_end &&
           load_be32(first + header_descriptor_offset_at) == crc_descriptor_offset &&
           std::memcmp(first + crc_marker_at, crc_marker, sizeof crc_marker) == 0;
}

descriptor_verdict judge_descriptor(const std::uint8_t (&descriptor)[descriptor_size]) {
    const std::uint8_t signature = descriptor[descriptor_signature_at];
    if (signature != signature_55 && signature != signature_aa) {
        return descriptor_verdict::bad_signature;
    }
    if (load_be16(descriptor + descriptor_checksum_at) != 0) {
        return descriptor_verdict::nonzero_checksum;
    }
    if (load_be32(descriptor + descriptor_length_at) != 0) {
        return descriptor_verdict::nonzero_length;
    }
    return descriptor_verdict::unsealed;
}

outcome read_descriptor(int fd, image_fields& image) {
    std::uint8_t header[header_size];
    outcome result = read_exactly(fd, header, sizeof header, fault::header_short);
    if (result.failed()) return result;
    image.descriptor_offset = load_be32(header + header_descriptor_offset_at);

    result =
        seek_to(fd, descriptor_position(image.descriptor_offset), SEEK_SET, fault::seek_failed);
    if (result.failed()) return result;
    return read_exactly(fd, image.descriptor, sizeof image.descriptor, fault::read_failed);
}

outcome read_name(int fd, image_fields& image) {
    const outcome result = read_exactly(fd, image.name, sizeof image.name, fault::read_failed);
    if (result.failed()) return result;
    const void* end = std::memchr(image.name, 0, sizeof image.name);
    image.name_length = end != nullptr
                            ? static_cast<std::size_t>(static_cast<const char*>(end) - image.name)
                            : sizeof image.name;
    return succeeded;
}

outcome check_image(int fd, image_fields& image) {
    const outcome result = read_descriptor(fd, image);
    if (result.failed()) return result;
    switch (judge_descriptor(image.descriptor)) {
        case descriptor_verdict::unsealed:
            break;
        case descriptor_verdict::bad_signature:
            return {fault::bad_signature, 0, "Invalid signature"};
        case descriptor_verdict::nonzero_checksum:
            return {fault::nonzero_checksum, 0, "Non zero checksum field"};
        case descriptor_verdict::nonzero_length:
            return {fault::nonzero_length, 0, "Non zero length field"};
    }
    return read_name(fd, image);
}

}  // namespace imgseal
