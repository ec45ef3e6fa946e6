// Throughput of the summing kernels on data in memory and in cache, with
// memcpy of the same size as the yardstick.
#include "sum_kernels.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<std::uint8_t> random_data(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::mt19937 generator(1);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    return data;
}

void run_kernel(benchmark::State& state, imgseal::sum_kernel kernel) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> data = random_data(size);
    for (auto _ : state) {
        imgseal::byte_sums sums = kernel(data.data(), size);
        benchmark::DoNotOptimize(sums);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void memcpy_yardstick(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> data = random_data(size);
    // The destination is offset by a cache line: glibc's copy is many times
    // slower on some processors when source and destination share their
    // offset within a page.
    std::vector<std::uint8_t> copy(size + 64);
    for (auto _ : state) {
        std::memcpy(copy.data() + 64, data.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void scalar(benchmark::State& state) { run_kernel(state, imgseal::sum_bytes_scalar); }
BENCHMARK(scalar)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);

#if defined(__x86_64__)
void sse2(benchmark::State& state) { run_kernel(state, imgseal::sum_bytes_sse2); }
BENCHMARK(sse2)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);

void avx2(benchmark::State& state) {
    if (!imgseal::avx2_supported()) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    run_kernel(state, imgseal::sum_bytes_avx2);
}
BENCHMARK(avx2)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);
#endif

BENCHMARK(memcpy_yardstick)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);

}  // namespace

BENCHMARK_MAIN();
