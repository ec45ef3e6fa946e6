// Throughput of the summing kernels on data in memory and in cache, with
// memcpy of the same size as the yardstick, and the boot check's memory form,
// a byte at a time, beside them.
#include "sum_kernels.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "image_builder.hpp"
#include "imgseal_check.h"

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

// A sealed image of random content: the check reads and sums all of it.
void boot_check_memory(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const imgseal_test::bytes image =
        imgseal_test::sealed_image(imgseal_test::build_image({.size = size, .content_seed = 1}), 8);
    for (auto _ : state) {
        std::uint32_t length = 0;
        const imgseal_check_result result =
            imgseal_check_memory(image.data(), static_cast<std::uint32_t>(image.size()), &length);
        if (result != IMGSEAL_CHECK_OK) {
            state.SkipWithError("the sealed image is not OK");
            return;
        }
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(boot_check_memory)->Arg(1 << 20)->Arg(64 << 20);

BENCHMARK(memcpy_yardstick)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);

}  // namespace

BENCHMARK_MAIN();
