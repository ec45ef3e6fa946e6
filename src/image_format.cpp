// check_image: the validation of an unsealed image. It only reads, so an image
// refused here is left exactly as it was.
#include "image_format.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "run.hpp"
#include "terminal_text.hpp"

namespace imgseal {

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

std::uint32_t check_image(int fd) {
    static std::uint8_t header[header_size];
    static std::uint8_t descriptor[descriptor_size];
    static char name[name_size];

    read_exactly(fd, header, sizeof header, exit_status::header_short);
    const std::uint32_t descriptor_offset = load_be32(header + header_descriptor_offset_at);

    seek_to(fd, descriptor_position(descriptor_offset), SEEK_SET, exit_status::seek_failed);
    read_exactly(fd, descriptor, sizeof descriptor, exit_status::read_failed);

    switch (judge_descriptor(descriptor)) {
        case descriptor_verdict::unsealed:
            break;
        case descriptor_verdict::bad_signature:
            print_line("Invalid signature\n");
            end_run(exit_status::bad_signature);
        case descriptor_verdict::nonzero_checksum:
            print_line("Non zero checksum field\n");
            end_run(exit_status::already_sealed);
        case descriptor_verdict::nonzero_length:
            print_line("Non zero length field\n");
            end_run(exit_status::already_sealed);
    }

    read_exactly(fd, name, sizeof name, exit_status::read_failed);
    // The name comes from the image: on a terminal it is shown as text only, so
    // that escape sequences in it are not acted on. strnlen stops the text at
    // the field's end when it holds no zero byte.
    (void)std::fputs("Name: ", stdout);
    print_text(stdout, name, strnlen(name, sizeof name), text_form_for(stdout));
    print_line("\n");
    return descriptor_offset;
}

}  // namespace imgseal
