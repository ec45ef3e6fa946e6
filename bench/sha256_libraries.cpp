// SHA-256 from the two well-kept libraries that imgseal-verify could use, the
// library alone over a buffer that stays in the processor's cache: nettle,
// which imgseal-verify links, and OpenSSL's libcrypto (its EVP interface, the
// one that OpenSSL 3 keeps undeprecated), for the choice to be measured again
// on any host.
#include <benchmark/benchmark.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

namespace {

constexpr std::size_t block = std::size_t{1} << 20;

std::vector<std::uint8_t> data() {
    std::vector<std::uint8_t> bytes(block);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

void nettle_sha256(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = data();
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    for (auto _ : state) {
        sha256_ctx context;
        sha256_init(&context);
        sha256_update(&context, bytes.size(), bytes.data());
        sha256_digest(&context, sizeof digest, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block));
}

void openssl_sha256(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = data();
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        EVP_DigestUpdate(context, bytes.data(), bytes.size());
        EVP_DigestFinal_ex(context, digest, &size);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block));
}

BENCHMARK(nettle_sha256)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(openssl_sha256)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
