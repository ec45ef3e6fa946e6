// Throughput of the CRC-32 that imgseal-pack and imgseal-verify compute,
// libdeflate's, alone and as the image's CRC with its zeroed bytes fed in the
// pass's blocks, beside zlib's crc32_z. All compute the same CRC.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "image_builder.hpp"
#include "image_checksum.hpp"
#include "image_crc.hpp"

namespace {

using crc_function = std::uint32_t (*)(std::uint32_t crc, const std::uint8_t* data,
                                       std::size_t size);

std::vector<std::uint8_t> random_data(std::size_t size) {
    std::vector<std::uint8_t> data(size);
    std::mt19937 generator(1);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    return data;
}

void run_crc(benchmark::State& state, crc_function crc32) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> data = random_data(size);
    // A function that gets the CRC wrong measures nothing.
    if (crc32(0, data.data(), size) != imgseal_test::reference_crc32(data.data(), size)) {
        state.SkipWithError("differs from the reference");
        return;
    }
    for (auto _ : state) {
        std::uint32_t crc = crc32(0, data.data(), size);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

std::uint32_t libdeflate_crc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return libdeflate_crc32(crc, data, size);
}

std::uint32_t zlib_crc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}

void libdeflate(benchmark::State& state) { run_crc(state, libdeflate_crc); }
BENCHMARK(libdeflate)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);

void zlib(benchmark::State& state) { run_crc(state, zlib_crc); }
BENCHMARK(zlib)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);

// The image's CRC as the verifier computes it: its bytes in the read loop's
// blocks, bytes 12-15 and 18-23 taken as zero.
void image_crc(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> data = random_data(size);
    if (imgseal::image_crc(data.data(), size) != imgseal_test::reference_image_crc(data)) {
        state.SkipWithError("differs from the reference");
        return;
    }
    for (auto _ : state) {
        imgseal::image_crc_state crc = imgseal::image_crc_init();
        for (std::size_t at = 0; at < size; at += imgseal::checksum_buffer_size) {
            imgseal::image_crc_update(crc, data.data() + at,
                                      std::min(imgseal::checksum_buffer_size, size - at));
        }
        std::uint32_t result = imgseal::image_crc_final(crc);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(image_crc)->RangeMultiplier(16)->Range(4 << 10, 64 << 20);

}  // namespace

BENCHMARK_MAIN();
