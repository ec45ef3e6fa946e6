// Arbitrary bytes, cut into arbitrary pieces, through the image's CRC: with
// its bytes 12-15 and 18-23 taken as zero, it must be the bitwise
// reference's, and the CRC check must find the field of an image that
// carries one and nothing of one that does not.
#include <cstdint>
#include <cstdlib>

#include "image_builder.hpp"
#include "image_crc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the piece sizes; the rest is the image.
    const std::uint32_t seed = (std::uint32_t{data[0]} << 8 | data[1]) + 1;
    const imgseal_test::bytes image(data + 2, data + size);
    const bool carries = image.size() >= 16 && imgseal_test::load_be32_at(image, 4) == 8 &&
                         imgseal_test::load_be32_at(image, 8) == 0x89435243;

    imgseal::image_crc_state state = imgseal::image_crc_init();
    imgseal::crc_check check{};
    imgseal::crc_check_begin(check);
    std::uint32_t pieces = seed;
    for (std::size_t at = 0; at < image.size();) {
        pieces ^= pieces << 13;
        pieces ^= pieces >> 17;
        pieces ^= pieces << 5;
        // Mostly short pieces, so that the zeroed bytes fall anywhere in
        // them; some long enough for the library's folding.
        const std::size_t piece = 1 + (pieces % 4 == 0 ? pieces % 1000 : pieces % 30);
        const std::size_t take = piece < image.size() - at ? piece : image.size() - at;
        imgseal::image_crc_update(state, image.data() + at, take);
        (void)imgseal::crc_check_take(&check, image.data() + at, take);
        at += take;
    }
    const std::uint32_t want = imgseal_test::reference_image_crc(image);
    const imgseal::crc_found found = imgseal::crc_check_end(check);
    if (imgseal::image_crc_final(state) != want || found.carries != carries ||
        (carries &&
         (found.computed != want || found.stored != imgseal_test::load_be32_at(image, 12)))) {
        std::abort();
    }
    return 0;
}
