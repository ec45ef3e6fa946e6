// The summing kernels: a portable loop, and psadbw kernels for x86-64.
#include "sum_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace imgseal {

byte_sums sum_bytes_scalar(const std::uint8_t* data, std::size_t size) {
    byte_sums sums{0, 0};
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sums.even += data[i];
        sums.odd += data[i + 1];
    }
    if (i < size) sums.even += data[i];
    return sums;
}

#if defined(__x86_64__)

// psadbw against zero sums each 8 bytes into a 64-bit lane, exactly and with
// no carry to lose; masking off the odd bytes first gives the even sums, and
// the odd sums are the rest. Four accumulators keep the additions independent.
// In each little-endian 16-bit lane the low byte is the one at the even
// distance from the start, so the mask is 0x00FF per lane.

namespace {

struct sse2_sums {
    __m128i all = _mm_setzero_si128();
    __m128i even = _mm_setzero_si128();
};

inline void add_sse2(sse2_sums& sums, const std::uint8_t* p) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    sums.all = _mm_add_epi64(sums.all, _mm_sad_epu8(v, zero));
    sums.even =
        _mm_add_epi64(sums.even, _mm_sad_epu8(_mm_and_si128(v, _mm_set1_epi16(0xFF)), zero));
}

std::uint64_t add_lanes(__m128i lanes) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(lanes)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(lanes, lanes)));
}

struct avx2_sums {
    __m256i all;
    __m256i even;
};

__attribute__((target("avx2"), always_inline)) inline void add_avx2(avx2_sums& sums,
                                                                    const std::uint8_t* p) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    sums.all = _mm256_add_epi64(sums.all, _mm256_sad_epu8(v, zero));
    sums.even = _mm256_add_epi64(
        sums.even, _mm256_sad_epu8(_mm256_and_si256(v, _mm256_set1_epi16(0xFF)), zero));
}

__attribute__((target("avx2"))) std::uint64_t add_lanes(__m256i lanes) {
    return add_lanes(
        _mm_add_epi64(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1)));
}

}  // namespace

byte_sums sum_bytes_sse2(const std::uint8_t* data, std::size_t size) {
    sse2_sums s0, s1, s2, s3;
    std::size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        add_sse2(s0, data + i);
        add_sse2(s1, data + i + 16);
        add_sse2(s2, data + i + 32);
        add_sse2(s3, data + i + 48);
    }
    for (; i + 16 <= size; i += 16) add_sse2(s0, data + i);
    const std::uint64_t all =
        add_lanes(_mm_add_epi64(_mm_add_epi64(s0.all, s1.all), _mm_add_epi64(s2.all, s3.all)));
    const std::uint64_t even =
        add_lanes(_mm_add_epi64(_mm_add_epi64(s0.even, s1.even), _mm_add_epi64(s2.even, s3.even)));
    // i is even here, so the tail keeps the block's parity.
    const byte_sums tail = sum_bytes_scalar(data + i, size - i);
    return {even + tail.even, all - even + tail.odd};
}

__attribute__((target("avx2"))) byte_sums sum_bytes_avx2(const std::uint8_t* data,
                                                         std::size_t size) {
    const __m256i zero = _mm256_setzero_si256();
    avx2_sums s0{zero, zero}, s1{zero, zero}, s2{zero, zero}, s3{zero, zero};
    std::size_t i = 0;
    for (; i + 128 <= size; i += 128) {
        add_avx2(s0, data + i);
        add_avx2(s1, data + i + 32);
        add_avx2(s2, data + i + 64);
        add_avx2(s3, data + i + 96);
    }
    const std::uint64_t all = add_lanes(
        _mm256_add_epi64(_mm256_add_epi64(s0.all, s1.all), _mm256_add_epi64(s2.all, s3.all)));
    const std::uint64_t even = add_lanes(
        _mm256_add_epi64(_mm256_add_epi64(s0.even, s1.even), _mm256_add_epi64(s2.even, s3.even)));
    // i is even here, so the tail keeps the block's parity.
    const byte_sums tail = sum_bytes_sse2(data + i, size - i);
    return {even + tail.even, all - even + tail.odd};
}

bool avx2_supported() { return __builtin_cpu_supports("avx2") != 0; }

sum_kernel fastest_kernel() { return avx2_supported() ? sum_bytes_avx2 : sum_bytes_sse2; }

#else

sum_kernel fastest_kernel() { return sum_bytes_scalar; }

#endif

}  // namespace imgseal
