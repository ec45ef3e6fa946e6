// Arbitrary bytes, cut into arbitrary pieces, through every CRC-32 kernel: the
// plain CRC and the image's, whose bytes 12-15 and 18-23 count as zero, must
// be the bitwise reference's.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image_builder.hpp"
#include "image_crc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the piece sizes; the rest is the image.
    const std::uint32_t seed = (std::uint32_t{data[0]} << 8 | data[1]) + 1;
    const imgseal_test::bytes image(data + 2, data + size);
    const std::uint32_t want_crc = imgseal_test::reference_crc32(image.data(), image.size());
    const std::uint32_t want_image_crc = imgseal_test::reference_image_crc(image);

    std::vector<imgseal::crc_kernel> kernels = {imgseal::crc32_table};
#if defined(__x86_64__)
    if (imgseal::pclmul_supported()) kernels.push_back(imgseal::crc32_pclmul);
#endif
    for (const imgseal::crc_kernel kernel : kernels) {
        if (kernel(0, image.data(), image.size()) != want_crc) std::abort();
        imgseal::image_crc_state state = imgseal::image_crc_init(kernel);
        std::uint32_t pieces = seed;
        for (std::size_t at = 0; at < image.size();) {
            pieces ^= pieces << 13;
            pieces ^= pieces >> 17;
            pieces ^= pieces << 5;
            // Mostly short pieces, so that the zeroed bytes fall anywhere in
            // them; some long enough for the folding.
            const std::size_t piece = 1 + (pieces % 4 == 0 ? pieces % 1000 : pieces % 30);
            const std::size_t take = piece < image.size() - at ? piece : image.size() - at;
            imgseal::image_crc_update(state, image.data() + at, take);
            at += take;
        }
        if (imgseal::image_crc_final(state) != want_image_crc) std::abort();
    }
    return 0;
}
