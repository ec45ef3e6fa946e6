// check_seal: reads header and descriptor at their offsets, judges the seal's
// fields, and only then sums the bytes the length covers.
#include "seal_check.hpp"

#include <unistd.h>

#include "image_checksum.hpp"
#include "image_format.hpp"

namespace imgseal {

namespace {

// The file was measured before: a read that comes back short means it shrank.
outcome read_at(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
    const ssize_t got = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got == -1) return system_fault(fault::read_failed);
    if (static_cast<std::size_t>(got) != size) return changed_size;
    return succeeded;
}

seal_report failed_to_read(seal_report report, const outcome& error) {
    report.verdict = seal_verdict::system_error;
    report.error = error;
    return report;
}

}  // namespace

seal_report check_seal(int fd, std::uint64_t size, seal_scope scope) {
    seal_report report{};
    report.size = size;
    if (size < header_size) {
        report.verdict = seal_verdict::short_header;
        return report;
    }
    std::uint8_t header[header_size];
    outcome result = read_at(fd, header, sizeof header, 0);
    if (result.failed()) return failed_to_read(report, result);
    report.descriptor_offset = load_be32(header + header_descriptor_offset_at);
    const std::uint64_t descriptor_at = report.descriptor_offset;
    if (descriptor_position(report.descriptor_offset) < 0 ||
        descriptor_at + descriptor_size > size) {
        report.verdict = seal_verdict::descriptor_outside;
        return report;
    }

    std::uint8_t descriptor[descriptor_size];
    result = read_at(fd, descriptor, sizeof descriptor, descriptor_at);
    if (result.failed()) return failed_to_read(report, result);
    report.signature = descriptor[descriptor_signature_at];
    if (report.signature != signature_55 && report.signature != signature_aa) {
        report.verdict = seal_verdict::bad_signature;
        return report;
    }
    const std::uint8_t* const stamp = descriptor + descriptor_checksum_at;
    report.checksum = load_be16(stamp);
    report.length = load_be32(descriptor + descriptor_length_at);
    const std::uint64_t length = report.length;
    if (report.checksum == 0 && report.length == 0) {
        report.verdict = seal_verdict::not_sealed;
    } else if (length % 2 != 0) {
        report.verdict = seal_verdict::odd_length;
    } else if (length < descriptor_at + descriptor_size + name_size) {
        report.verdict = seal_verdict::length_inside_name;
    } else if (scope == seal_scope::whole_image ? length != size : length > size) {
        report.verdict = seal_verdict::length_not_size;
    }
    if (report.verdict != seal_verdict::ok) return report;

    checksum_state state = checksum_init();
    result = sum_prefix(fd, length, state);
    if (result.failed()) return failed_to_read(report, result);
    // Sealing summed the stamp's 6 bytes as zero.
    checksum_exclude(state, descriptor_at + descriptor_checksum_at, stamp, stamp_size);
    report.computed = checksum_final(state).checksum;
    if (report.computed != report.checksum) report.verdict = seal_verdict::bad_checksum;
    return report;
}

}  // namespace imgseal
