// The summing kernels: the sums of a block's bytes at even and odd distances
// from its start, the one piece of arithmetic that every byte of an image meets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imgseal {

// Sums of the bytes at even and odd distances from the start of a block.
struct byte_sums {
    std::uint64_t even;
    std::uint64_t odd;
};

using sum_kernel = byte_sums (*)(const std::uint8_t* data, std::size_t size);

// The kernels give the same sums; they differ in speed only.
byte_sums sum_bytes_scalar(const std::uint8_t* data, std::size_t size);
#if defined(__x86_64__)
byte_sums sum_bytes_sse2(const std::uint8_t* data, std::size_t size);
byte_sums sum_bytes_avx2(const std::uint8_t* data, std::size_t size);  // needs AVX2
bool avx2_supported();
#endif
// The fastest kernel that this processor runs.
sum_kernel fastest_kernel();

}  // namespace imgseal
