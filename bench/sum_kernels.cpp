// Throughput of the summing kernels on data in memory and in cache, with
// memcpy of the same size as the yardstick, and the boot check's memory form
// and its stream form in 256-byte pieces beside them (and an earlier version
// of the boot check's, given one at configuration: see bench/CMakeLists.txt).
#include "sum_kernels.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
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

// The boot check's functions, of this version and, where the build was given
// one (IMGSEAL_BOOT_CHECK_BEFORE), of an earlier one, renamed so that both
// link into one program: measured side by side in one run. The earlier
// version's struct is opaque here; its storage is a buffer larger than any
// version's struct.
struct boot_check_forms {
    imgseal_check_result (*memory)(const void*, std::uint32_t, std::uint32_t*);
    void (*begin)(void*);
    void (*feed)(void*, const void*, std::size_t);
    imgseal_check_result (*end)(const void*, std::uint32_t*);
};
constexpr std::size_t boot_check_storage = 64;
static_assert(sizeof(imgseal_check) <= boot_check_storage);

const boot_check_forms current_boot_check = {
    imgseal_check_memory,
    [](void* check) { imgseal_check_begin(static_cast<imgseal_check*>(check)); },
    [](void* check, const void* data, std::size_t size) {
        imgseal_check_feed(static_cast<imgseal_check*>(check), data, size);
    },
    [](const void* check, std::uint32_t* length) {
        return imgseal_check_end(static_cast<const imgseal_check*>(check), length);
    }};

// A sealed image of random content: the check reads and sums all of it, in
// memory or as a stream of 256-byte pieces, as a boot loader reads external
// flash.
void run_boot_check(benchmark::State& state, const boot_check_forms& forms, bool stream) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const imgseal_test::bytes image =
        imgseal_test::sealed_image(imgseal_test::build_image({.size = size, .content_seed = 1}), 8);
    for (auto _ : state) {
        std::uint32_t length = 0;
        imgseal_check_result result{};
        if (stream) {
            alignas(8) unsigned char check[boot_check_storage];
            forms.begin(check);
            for (std::size_t at = 0; at < image.size(); at += 256) {
                forms.feed(check, image.data() + at, std::min<std::size_t>(256, image.size() - at));
            }
            result = forms.end(check, &length);
        } else {
            result = forms.memory(image.data(), static_cast<std::uint32_t>(image.size()), &length);
        }
        if (result != IMGSEAL_CHECK_OK) {
            state.SkipWithError("the sealed image is not OK");
            return;
        }
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void boot_check_memory(benchmark::State& state) {
    run_boot_check(state, current_boot_check, false);
}
BENCHMARK(boot_check_memory)->Arg(1 << 20)->Arg(64 << 20);
void boot_check_stream_256(benchmark::State& state) {
    run_boot_check(state, current_boot_check, true);
}
BENCHMARK(boot_check_stream_256)->Arg(1 << 20)->Arg(64 << 20);

#ifdef IMGSEAL_BOOT_CHECK_BEFORE
}  // namespace
extern "C" {
imgseal_check_result before_imgseal_check_memory(const void*, std::uint32_t, std::uint32_t*);
void before_imgseal_check_begin(void*);
void before_imgseal_check_feed(void*, const void*, std::size_t);
imgseal_check_result before_imgseal_check_end(const void*, std::uint32_t*);
}
namespace {
const boot_check_forms before_boot_check = {before_imgseal_check_memory, before_imgseal_check_begin,
                                            before_imgseal_check_feed, before_imgseal_check_end};
void boot_check_memory_before(benchmark::State& state) {
    run_boot_check(state, before_boot_check, false);
}
BENCHMARK(boot_check_memory_before)->Arg(1 << 20)->Arg(64 << 20);
void boot_check_stream_256_before(benchmark::State& state) {
    run_boot_check(state, before_boot_check, true);
}
BENCHMARK(boot_check_stream_256_before)->Arg(1 << 20)->Arg(64 << 20);
#endif

BENCHMARK(memcpy_yardstick)->RangeMultiplier(4)->Range(4 << 10, 64 << 20);

}  // namespace

BENCHMARK_MAIN();
