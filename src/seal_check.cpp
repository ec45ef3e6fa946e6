// check_seal: reads header and descriptor at their offsets, judges the seal's
// fields, and only then sums the bytes the length covers.
#include "seal_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "image_checksum.hpp"
#include "image_file.hpp"
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

// Erased flash reads as this byte: a header of nothing else is no image yet.
constexpr std::uint8_t erased_byte = 0xFF;

// Checks of the fields, the first that fails deciding: everything but the
// sum. `header` is read only when `size` holds it, `descriptor` only when the
// descriptor lies within `size`.
seal_report judge_fields(const std::uint8_t* header, std::uint32_t descriptor_offset,
                         const std::uint8_t* descriptor, std::uint64_t size, seal_scope scope) {
    seal_report report{};
    report.size = size;
    report.descriptor_offset = descriptor_offset;
    const std::uint64_t descriptor_at = descriptor_offset;
    if (size < header_size) {
        report.verdict = seal_verdict::short_header;
        return report;
    }
    if (std::all_of(header, header + header_size,
                    [](std::uint8_t byte) { return byte == erased_byte; })) {
        report.verdict = seal_verdict::erased;
        return report;
    }
    if (descriptor_position(descriptor_offset) < 0 || descriptor_at + descriptor_size > size) {
        report.verdict = seal_verdict::descriptor_outside;
        return report;
    }
    report.signature = descriptor[descriptor_signature_at];
    if (report.signature != signature_55 && report.signature != signature_aa) {
        report.verdict = seal_verdict::bad_signature;
        return report;
    }
    report.checksum = load_be16(descriptor + descriptor_checksum_at);
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
    return report;
}

// The last check: the sum of the length's bytes, the stamp taken as zero as
// sealing summed it.
void judge_sum(seal_report& report, checksum_state& state, const std::uint8_t* descriptor) {
    checksum_exclude(state, std::uint64_t{report.descriptor_offset} + descriptor_checksum_at,
                     descriptor + descriptor_checksum_at, stamp_size);
    report.computed = checksum_final(state).checksum;
    if (report.computed != report.checksum) report.verdict = seal_verdict::bad_checksum;
}

// Whether an image whose bytes run on past its length, `state` the sum of its
// first `length` bytes, would pass as a slot: a slot read back into a file.
bool passes_as_slot(seal_report report, checksum_state& state, const std::uint8_t* descriptor) {
    judge_sum(report, state, descriptor);
    return report.verdict == seal_verdict::length_not_size;
}

}  // namespace

seal_report check_seal(int fd, std::uint64_t size, seal_scope scope,
                       const block_observer* observer) {
    std::uint8_t header[header_size] = {};
    std::uint8_t descriptor[descriptor_size] = {};
    std::uint32_t descriptor_offset = 0;
    if (size >= header_size) {
        const outcome result = read_at(fd, header, sizeof header, 0);
        if (result.failed()) return failed_to_read({}, result);
        descriptor_offset = load_be32(header + header_descriptor_offset_at);
        if (descriptor_position(descriptor_offset) >= 0 &&
            std::uint64_t{descriptor_offset} + descriptor_size <= size) {
            const outcome read = read_at(fd, descriptor, sizeof descriptor, descriptor_offset);
            if (read.failed()) return failed_to_read({}, read);
        }
    }
    seal_report report = judge_fields(header, descriptor_offset, descriptor, size, scope);
    if (report.verdict == seal_verdict::length_not_size && report.length < size) {
        checksum_state state = checksum_init();
        report.passes_as_slot = !sum_prefix(fd, report.length, state).failed() &&
                                passes_as_slot(report, state, descriptor);
        return report;
    }
    if (report.verdict != seal_verdict::ok) return report;

    if (observer != nullptr && observer->wants != nullptr &&
        !observer->wants(observer->context, descriptor_offset, descriptor)) {
        observer = nullptr;
    }
    checksum_state state = checksum_init();
    const outcome result = sum_prefix(fd, report.length, state, observer);
    if (result.failed()) return failed_to_read(report, result);
    judge_sum(report, state, descriptor);
    return report;
}

seal_report check_seal_of_file(int fd, seal_scope scope, const block_observer* observer) {
    seal_report report{};
    report.verdict = seal_verdict::system_error;
    file_state before{};
    report.error = record_file_state(fd, before);
    if (report.error.failed()) return report;
    if (scope == seal_scope::whole_image && before.size > largest_image_size) {
        report.error = {fault::open_failed, EOVERFLOW, nullptr};
        return report;
    }
    const seal_report checked =
        check_seal(fd, static_cast<std::uint64_t>(before.size), scope, observer);
    report.error = compare_file_state(fd, before);
    return report.error.failed() ? report : checked;
}

namespace {

// Copies what `chunk`, at stream offset `at`, holds of the `size` bytes that
// start at stream offset `from` into `field`.
void capture(std::uint8_t* field, std::uint64_t from, std::size_t size, const std::uint8_t* chunk,
             std::uint64_t at, std::size_t length) {
    const std::uint64_t begin = std::max(from, at);
    const std::uint64_t end = std::min(from + size, at + length);
    for (std::uint64_t i = begin; i < end; ++i) field[i - from] = chunk[i - at];
}

}  // namespace

// The stream is read once: the header and the descriptor are kept as they
// pass, and the bytes are summed up to the length, once the descriptor has
// told it (no shorter length can pass the checks of the fields).
seal_report check_seal_stream(int fd, seal_scope scope, const block_observer* observer) {
    alignas(64) static std::uint8_t buffer[checksum_buffer_size];
    // A descriptor that overlaps the header lies within the first 24 bytes.
    constexpr std::size_t head_size = header_size + descriptor_size;
    std::uint8_t head[head_size] = {};
    std::uint8_t descriptor[descriptor_size] = {};
    checksum_state state = checksum_init();
    // A pipe's buffer as large as the reads: a writer then fills it while the
    // pass sums, instead of both waiting on the default 64 KiB, which makes a
    // large image's stream several times faster. Where the pipe cannot grow,
    // or is larger already, it is read as it is.
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) &&
        fcntl(fd, F_GETPIPE_SZ) < static_cast<int>(sizeof buffer)) {
        (void)fcntl(fd, F_SETPIPE_SZ, static_cast<int>(sizeof buffer));
    }
    std::uint64_t position = 0;
    std::uint64_t descriptor_at = 0;
    std::uint64_t sum_limit = UINT64_MAX;
    // The observer sees the bytes before the fields can be judged: its
    // failure counts only for a stream whose fields pass, as for a file.
    outcome observed = succeeded;
    for (;;) {
        const ssize_t got = read_waiting(fd, buffer, sizeof buffer);
        if (got == -1) return failed_to_read({}, system_fault(fault::read_failed));
        if (got == 0) break;
        const auto length = static_cast<std::size_t>(got);
        // A stream that is to be one image is none once it is longer than
        // any image: there is no need to read it to its end, if it has one.
        if (scope == seal_scope::whole_image &&
            position + length > static_cast<std::uint64_t>(largest_image_size)) {
            return failed_to_read({}, {fault::read_failed, EOVERFLOW, nullptr});
        }
        capture(head, 0, head_size, buffer, position, length);
        if (position < header_size && position + length >= header_size) {
            descriptor_at = load_be32(head + header_descriptor_offset_at);
        }
        if (position + length >= header_size) {
            capture(descriptor, descriptor_at, descriptor_size, buffer, position, length);
            if (descriptor_at < header_size) {
                capture(descriptor, descriptor_at, descriptor_size, head, 0, head_size);
            }
            const std::uint64_t descriptor_end = descriptor_at + descriptor_size;
            if (sum_limit == UINT64_MAX && position + length >= descriptor_end) {
                sum_limit = std::max(std::uint64_t{load_be32(descriptor + descriptor_length_at)},
                                     descriptor_end);
            }
        }
        if (state.byte_count < sum_limit) {
            const auto summed =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, sum_limit - position));
            checksum_update(state, buffer, summed);
            if (observer != nullptr && !observed.failed()) {
                observed = observer->take(observer->context, buffer, summed);
            }
        }
        position += length;
    }
    seal_report report =
        judge_fields(head, static_cast<std::uint32_t>(descriptor_at), descriptor, position, scope);
    // The bytes past the length were read, not summed.
    if (report.verdict == seal_verdict::length_not_size && report.length < position) {
        report.passes_as_slot = passes_as_slot(report, state, descriptor);
    }
    if (report.verdict != seal_verdict::ok) return report;
    if (observed.failed()) return failed_to_read(report, observed);
    judge_sum(report, state, descriptor);
    return report;
}

}  // namespace imgseal
