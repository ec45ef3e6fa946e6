// Arbitrary bytes, cut into arbitrary pieces, through every summing kernel:
// each must give the checksum of the unit-by-unit reference.
#include <cstdint>
#include <cstdlib>

#include "image_builder.hpp"
#include "image_checksum.hpp"

namespace {

struct named_kernel {
    imgseal::sum_kernel kernel;
    bool runnable;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the piece sizes; the rest is the stream.
    std::uint32_t state = (std::uint32_t{data[0]} << 8 | data[1]) + 1;
    const std::uint8_t* stream = data + 2;
    const std::size_t length = size - 2;
    const imgseal_test::reference_result want = imgseal_test::reference_checksum(stream, length);

    const named_kernel kernels[] = {
        {imgseal::sum_bytes_scalar, true},
#if defined(__x86_64__)
        {imgseal::sum_bytes_sse2, true},
        {imgseal::sum_bytes_avx2, imgseal::avx2_supported()},
#endif
    };
    for (const named_kernel& k : kernels) {
        if (!k.runnable) continue;
        imgseal::checksum_state sums = imgseal::checksum_init(k.kernel);
        std::uint32_t pieces = state;
        for (std::size_t at = 0; at < length;) {
            pieces ^= pieces << 13;
            pieces ^= pieces >> 17;
            pieces ^= pieces << 5;
            const std::size_t piece = 1 + pieces % 300;
            const std::size_t take = piece < length - at ? piece : length - at;
            imgseal::checksum_update(sums, stream + at, take);
            at += take;
        }
        const imgseal::image_sum got = imgseal::checksum_final(sums);
        if (got.checksum != want.checksum || got.padded_length != want.padded_length ||
            got.odd_tail != want.odd_tail) {
            std::abort();
        }
    }
    return 0;
}
