// imgseal-verify's lines for each verdict, worded once for every form.
#include "verdict_text.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "image_format.hpp"

namespace imgseal {

namespace {

verdict_class put(char (&text)[verdict_text_size], verdict_class verdict, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
verdict_class put(char (&text)[verdict_text_size], verdict_class verdict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    // clang-tidy 14 misreads the va_list that va_start has just initialised.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return verdict;
}

unsigned long long wide(std::uint64_t value) { return value; }

void hex_digest(char (&hex)[2 * sha256_size + 1], const std::uint8_t* digest) {
    for (std::size_t i = 0; i < sha256_size; ++i) {
        (void)std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(digest[i]));
    }
}

// The verdict on a sealed image against what it must be.
verdict_class judge_expected(char (&text)[verdict_text_size], const seal_values& seal,
                             const expected_seal& expected, const image_record& image) {
    const bool recorded = expected.source == expected_seal::from::record;
    const seal_values& want = expected.record.seal;
    if (expected.source != expected_seal::from::nothing &&
        (want.length != seal.length || want.checksum != seal.checksum)) {
        return put(text, verdict_class::failed,
                   "FAILED: seal differs from the %s: Length = %u, Checksum %04X, %s Length = "
                   "%u, Checksum %04X",
                   recorded ? "record" : "expected seal", seal.length, seal.checksum,
                   recorded ? "recorded" : "expected", want.length, want.checksum);
    }
    if (recorded && expected.record.has_crc &&
        (!image.has_crc || image.crc != expected.record.crc)) {
        char found[16] = "none";
        if (image.has_crc) {
            (void)std::snprintf(found, sizeof found, "%08X", static_cast<unsigned>(image.crc));
        }
        return put(text, verdict_class::failed,
                   "FAILED: CRC-32 differs from the record: %s, recorded %08X", found,
                   static_cast<unsigned>(expected.record.crc));
    }
    if (recorded && expected.record.has_sha256 &&
        std::memcmp(image.sha256, expected.record.sha256, sha256_size) != 0) {
        char computed[2 * sha256_size + 1];
        char wanted[2 * sha256_size + 1];
        hex_digest(computed, image.sha256);
        hex_digest(wanted, expected.record.sha256);
        return put(text, verdict_class::failed,
                   "FAILED: SHA-256 differs from the record: %s, recorded %s", computed, wanted);
    }
    return verdict_class::ok;
}

}  // namespace

verdict_class judge_seal(char (&text)[verdict_text_size], const seal_report& report,
                         seal_scope scope, const expected_seal& expected, const crc_found& crc,
                         bool crc_required, image_record& image) {
    const verdict_class failed = verdict_class::failed;
    const verdict_class trouble = verdict_class::trouble;
    const std::uint32_t length = report.length;
    switch (report.verdict) {
        case seal_verdict::ok: {
            if (crc.carries && crc.computed != crc.stored) {
                return put(text, failed, "FAILED: CRC-32 %08X, computed %08X",
                           static_cast<unsigned>(crc.stored), static_cast<unsigned>(crc.computed));
            }
            if (crc_required && !crc.carries) return put(text, failed, "FAILED: no CRC");
            image.seal = {length, report.checksum};
            image.has_crc = crc.carries;
            image.crc = crc.stored;
            const verdict_class verdict = judge_expected(text, image.seal, expected, image);
            if (verdict == verdict_class::ok) format_record(text, sizeof text, image);
            return verdict;
        }
        case seal_verdict::short_header:
            return put(text, trouble, "ERROR: not an image: the header is %llu bytes",
                       wide(report.size));
        case seal_verdict::erased:
            return put(text, trouble,
                       "ERROR: not an image: erased (the header's 8 bytes are all 0xFF)");
        case seal_verdict::descriptor_outside:
            if (descriptor_position(report.descriptor_offset) < 0) {
                return put(text, trouble,
                           "ERROR: not an image: the descriptor offset %u is 2^31 or more",
                           report.descriptor_offset);
            }
            return put(text, trouble,
                       "ERROR: not an image: the descriptor offset %u lies past the %s (%llu "
                       "bytes)",
                       report.descriptor_offset, scope == seal_scope::slot ? "slot's end" : "end",
                       wide(report.size));
        case seal_verdict::bad_signature:
            return put(text, trouble, "ERROR: not an image: signature byte 0x%02X",
                       report.signature);
        case seal_verdict::not_sealed:
            return put(text, failed, "FAILED: not sealed");
        case seal_verdict::odd_length:
            return put(text, failed, "FAILED: length %u is odd", length);
        case seal_verdict::length_inside_name:
            return put(text, failed, "FAILED: length %u ends inside the name field", length);
        case seal_verdict::length_not_size:
            return put(
                text, failed, "FAILED: length %u, %s %llu%s", length,
                scope == seal_scope::slot ? "slot size" : "file size", wide(report.size),
                report.passes_as_slot ? " (use --slot to ignore what follows the image)" : "");
        case seal_verdict::bad_checksum:
            return put(text, failed, "FAILED: checksum %04X, computed %04X", report.checksum,
                       report.computed);
        case seal_verdict::system_error:
            return put(text, trouble, "ERROR: %s", describe(report.error));
    }
    return trouble;  // not reached: every verdict is listed
}

bool record_matches(const image_record& record, const image_record& image) {
    return record.seal.length == image.seal.length && record.seal.checksum == image.seal.checksum &&
           (!record.has_crc || (image.has_crc && record.crc == image.crc)) &&
           (!record.has_sha256 ||
            (image.has_sha256 && std::memcmp(record.sha256, image.sha256, sha256_size) == 0));
}

}  // namespace imgseal
