// The CRC-32 kernels, and the image's CRC with its zeroed bytes.
//
// The CRC's register is kept inverted inside the kernels: the CRC of a
// message is the register after it, from an initial 0xFFFFFFFF, inverted.
// Reflected, the register's bit 0 goes with the lowest bit of the next byte,
// so a step takes the next byte into the register's low 8 bits.
#include "image_crc.hpp"

#include <algorithm>
#include <array>

#include "image_format.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace imgseal {

namespace {

constexpr std::uint32_t reflected_polynomial = 0xEDB88320;

// tables[0][n] is the register after the 8 steps that a byte n in its low 8
// bits takes; tables[k][n] is that of the byte followed by k zero bytes, so
// that 16 bytes are taken in one step of 16 look-ups, each independent of the
// others.
constexpr std::size_t table_step = 16;
using crc_tables = std::array<std::array<std::uint32_t, 256>, table_step>;

constexpr crc_tables make_tables() {
    crc_tables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t reg = n;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) != 0 ? reg >> 1 ^ reflected_polynomial : reg >> 1;
        tables[0][n] = reg;
    }
    for (std::size_t k = 1; k < table_step; ++k) {
        for (std::size_t n = 0; n < 256; ++n) {
            tables[k][n] = tables[k - 1][n] >> 8 ^ tables[0][tables[k - 1][n] & 0xFF];
        }
    }
    return tables;
}

constexpr crc_tables tables = make_tables();

// Assembled from bytes, so that the first byte is the low one on any host.
inline std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline std::uint32_t byte_of(std::uint32_t word, std::size_t index) {
    return word >> (8 * index) & 0xFF;
}

// The register after `size` more bytes.
std::uint32_t table_register(std::uint32_t reg, const std::uint8_t* data, std::size_t size) {
    for (; size >= table_step; size -= table_step, data += table_step) {
        std::uint32_t next = 0;
        for (std::size_t word = 0; word < 4; ++word) {
            // The register overlaps the first word; the last byte takes
            // table 0, the first table 15.
            const std::uint32_t w = load_le32(data + 4 * word) ^ (word == 0 ? reg : 0);
            for (std::size_t b = 0; b < 4; ++b) next ^= tables[15 - 4 * word - b][byte_of(w, b)];
        }
        reg = next;
    }
    for (; size > 0; --size, ++data) reg = tables[0][(reg ^ *data) & 0xFF] ^ reg >> 8;
    return reg;
}

}  // namespace

std::uint32_t crc32_table(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return ~table_register(~crc, data, size);
}

#if defined(__x86_64__)

// Folding. A 16-byte block, loaded as it lies in memory, holds 128 terms of
// the message's polynomial, its first byte's low bit the highest power; its
// low 8 bytes, L, are the higher half. Moving the block D bits further on
// multiplies it by x^D: L * x^(D+64) + H * x^D, and modulo the polynomial
// each of those is a 64-bit half times a 32-bit constant, 96 bits at most,
// which fits a block again and is added (exclusive or) to the block it lands
// on. The carry-less product of two such reflected values comes out one bit
// short of the register's alignment (a factor x), so each constant is x^(D-1)
// modulo the polynomial, reflected into the high half of its 64 bits. The
// register itself is the message's first 32 terms to add, and what is left
// at the end, 16 bytes, is reduced by the tables.

namespace {

// x^n modulo the polynomial, reflected: bit 31 - i holds the term x^i.
constexpr std::uint32_t x_power(unsigned n) {
    std::uint32_t reflected = 0x80000000;  // x^0
    for (unsigned i = 0; i < n; ++i) {
        reflected = (reflected & 1) != 0 ? reflected >> 1 ^ reflected_polynomial : reflected >> 1;
    }
    return reflected;
}

constexpr std::uint64_t fold_constant(unsigned distance) {
    return std::uint64_t{x_power(distance - 1)} << 32;
}

// The constants for a distance, for the high and the low half of a block:
// computed once, by the compiler, not by every call.
struct fold_constants {
    long long high_half;
    long long low_half;
};

constexpr fold_constants constants_for(unsigned distance) {
    return {static_cast<long long>(fold_constant(distance)),
            static_cast<long long>(fold_constant(distance + 64))};
}

constexpr fold_constants by_512 = constants_for(512);
constexpr fold_constants by_128 = constants_for(128);

// The low half's constant in the low 64 bits, the high half's above.
inline __m128i constants(const fold_constants& pair) {
    return _mm_set_epi64x(pair.high_half, pair.low_half);
}

__attribute__((target("pclmul"))) inline __m128i fold(__m128i block, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                         _mm_clmulepi64_si128(block, constants, 0x11));
}

inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Four blocks in flight hide the multiplication's latency.
constexpr std::size_t fold_step = 64;

}  // namespace

__attribute__((target("pclmul"))) std::uint32_t crc32_pclmul(std::uint32_t crc,
                                                             const std::uint8_t* data,
                                                             std::size_t size) {
    std::uint32_t reg = ~crc;
    if (size >= fold_step) {
        const __m128i fold_512 = constants(by_512);
        const __m128i fold_128 = constants(by_128);
        __m128i b0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
        __m128i b1 = load(data + 16);
        __m128i b2 = load(data + 32);
        __m128i b3 = load(data + 48);
        data += fold_step;
        size -= fold_step;
        for (; size >= fold_step; size -= fold_step, data += fold_step) {
            b0 = _mm_xor_si128(fold(b0, fold_512), load(data));
            b1 = _mm_xor_si128(fold(b1, fold_512), load(data + 16));
            b2 = _mm_xor_si128(fold(b2, fold_512), load(data + 32));
            b3 = _mm_xor_si128(fold(b3, fold_512), load(data + 48));
        }
        __m128i folded = _mm_xor_si128(fold(b0, fold_128), b1);
        folded = _mm_xor_si128(fold(folded, fold_128), b2);
        folded = _mm_xor_si128(fold(folded, fold_128), b3);
        for (; size >= 16; size -= 16, data += 16) {
            folded = _mm_xor_si128(fold(folded, fold_128), load(data));
        }
        std::uint8_t rest[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), folded);
        reg = table_register(0, rest, sizeof rest);
    }
    return ~table_register(reg, data, size);
}

bool pclmul_supported() { return __builtin_cpu_supports("pclmul") != 0; }

crc_kernel fastest_crc_kernel() { return pclmul_supported() ? crc32_pclmul : crc32_table; }

#else

crc_kernel fastest_crc_kernel() { return crc32_table; }

#endif

image_crc_state image_crc_init(crc_kernel kernel) { return {kernel, 0, 0}; }

void image_crc_update(image_crc_state& state, const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t zeros[stamp_size] = {};
    static_assert(crc_size <= sizeof zeros && stamp_size <= sizeof zeros);
    while (size > 0) {
        // The longest run from here that is either all given bytes or all
        // zeroed ones.
        const std::uint64_t at = state.byte_count;
        std::size_t take = size;
        const std::uint8_t* from = data;
        for (const byte_range& zeroed : crc_zeroed) {
            if (at < zeroed.begin) {
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, zeroed.begin - at));
                break;
            }
            if (at < zeroed.end) {
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, zeroed.end - at));
                from = zeros;
                break;
            }
        }
        state.crc = state.kernel(state.crc, from, take);
        state.byte_count += take;
        data += take;
        size -= take;
    }
}

std::uint32_t image_crc_final(const image_crc_state& state) { return state.crc; }

std::uint32_t image_crc(const std::uint8_t* data, std::size_t size) {
    image_crc_state state = image_crc_init();
    image_crc_update(state, data, size);
    return image_crc_final(state);
}

void crc_check_begin(crc_check& check) { check = {0, {}, false, image_crc_init()}; }

outcome crc_check_take(void* context, const std::uint8_t* data, std::size_t size) {
    auto& check = *static_cast<crc_check*>(context);
    if (check.given < crc_field_end) {
        const auto kept =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, crc_field_end - check.given));
        std::copy(data, data + kept, check.first + check.given);
        check.given += kept;
        data += kept;
        size -= kept;
        if (check.given < crc_field_end) return succeeded;
        check.carries = carries_crc(check.first, crc_field_end);
        if (check.carries) image_crc_update(check.state, check.first, crc_field_end);
    }
    if (check.carries) image_crc_update(check.state, data, size);
    check.given += size;
    return succeeded;
}

crc_found crc_check_end(const crc_check& check) {
    return {check.carries, load_be32(check.first + crc_at), image_crc_final(check.state)};
}

}  // namespace imgseal
