// Throughput of the CRC-32 kernels beside the libraries that could do the
// job: zlib's crc32_z, and libdeflate's where the build found it. All four
// compute the same CRC; the figures chose the kernels in src/image_crc.cpp.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "image_builder.hpp"
#include "image_crc.hpp"

#if defined(IMGSEAL_BENCH_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

std::vector<std::uint8_t> random_data(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::mt19937 generator(1);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    return data;
}

void run_crc(benchmark::State& state, imgseal::crc_kernel kernel) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> data = random_data(size);
    // A kernel that gets the CRC wrong measures nothing.
    if (kernel(0, data.data(), size) != imgseal_test::reference_crc32(data.data(), size)) {
        state.SkipWithError("differs from the reference");
        return;
    }
    for (auto _ : state) {
        std::uint32_t crc = kernel(0, data.data(), size);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

std::uint32_t zlib_crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}

void table(benchmark::State& state) { run_crc(state, imgseal::crc32_table); }
BENCHMARK(table)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);

#if defined(__x86_64__)
void pclmul(benchmark::State& state) {
    if (!imgseal::pclmul_supported()) {
        state.SkipWithError("no PCLMULQDQ on this processor");
        return;
    }
    run_crc(state, imgseal::crc32_pclmul);
}
BENCHMARK(pclmul)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);
#endif

void zlib(benchmark::State& state) { run_crc(state, zlib_crc32); }
BENCHMARK(zlib)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);

#if defined(IMGSEAL_BENCH_LIBDEFLATE)
std::uint32_t libdeflate_crc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return libdeflate_crc32(crc, data, size);
}

void libdeflate(benchmark::State& state) { run_crc(state, libdeflate_crc); }
BENCHMARK(libdeflate)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);
#endif

}  // namespace

BENCHMARK_MAIN();
