// imgseal-verify IMAGE...: checks that each image is sealed and that its seal
// matches its bytes, without changing it. Prints one line per image, in the
// order given; the exit status sums them up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_file.hpp"
#include "image_format.hpp"
#include "run.hpp"
#include "seal_check.hpp"
#include "terminal_text.hpp"

namespace {

using imgseal::outcome;

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    all_sealed = 0,  // every image is sealed and matches its seal
    failed = 1,      // at least one image does not match its seal, and every image was checked
    trouble = 2,     // at least one image could not be checked, or no image was named
};

// The image's line so far is its path; each ending completes it.
exit_status image_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
exit_status image_error(const char* format, ...) {
    (void)std::fputs(": ERROR: ", stdout);
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vprintf(format, args);
    va_end(args);
    imgseal::print_line("\n");
    return exit_status::trouble;
}

exit_status image_error(const outcome& result) {
    return image_error("%s", imgseal::describe(result));
}

// The line that ends the image's, for the verdict in `report`.
exit_status report_verdict(const imgseal::seal_report& report) {
    using imgseal::seal_verdict;
    const std::uint32_t length = report.length;
    switch (report.verdict) {
        case seal_verdict::ok:
            imgseal::print_line(": OK, Length = %u, Checksum %04X\n", length, report.checksum);
            return exit_status::all_sealed;
        case seal_verdict::short_header:
            return image_error("not an image: the header is %llu bytes",
                               static_cast<unsigned long long>(report.size));
        case seal_verdict::descriptor_outside:
            return image_error(
                "not an image: the descriptor offset %u lies past the end (%llu bytes)",
                report.descriptor_offset, static_cast<unsigned long long>(report.size));
        case seal_verdict::bad_signature:
            return image_error("not an image: signature byte 0x%02X", report.signature);
        case seal_verdict::not_sealed:
            imgseal::print_line(": FAILED: not sealed\n");
            break;
        case seal_verdict::odd_length:
            imgseal::print_line(": FAILED: length %u is odd\n", length);
            break;
        case seal_verdict::length_inside_name:
            imgseal::print_line(": FAILED: length %u ends inside the name field\n", length);
            break;
        case seal_verdict::length_not_size:
            imgseal::print_line(": FAILED: length %u, file size %llu\n", length,
                                static_cast<unsigned long long>(report.size));
            break;
        case seal_verdict::bad_checksum:
            imgseal::print_line(": FAILED: checksum %04X, computed %04X\n", report.checksum,
                                report.computed);
            break;
        case seal_verdict::system_error:
            return image_error(report.error);
    }
    return exit_status::failed;
}

// Checks the image open on `fd`, once it holds a lock against a seal in
// progress. A write by anyone else during the check makes its verdict void.
exit_status check_locked_image(int fd) {
    imgseal::file_state before{};
    outcome result = imgseal::record_file_state(fd, before);
    if (result.failed()) return image_error(result);
    if (before.size > imgseal::largest_image_size) {
        return image_error({imgseal::fault::open_failed, EOVERFLOW, nullptr});
    }
    const imgseal::seal_report report = imgseal::check_seal(
        fd, static_cast<std::uint64_t>(before.size), imgseal::seal_scope::whole_image);
    result = imgseal::compare_file_state(fd, before);
    if (result.failed()) return image_error(result);
    return report_verdict(report);
}

// Opens the image read-only, waits for any seal in progress and checks it.
// The path is printed as given, as text only on a terminal, once the image is
// known not to be standard output itself, where the line would be written
// into the image.
exit_status verify_image(const char* path, imgseal::text_form form) {
    int fd = -1;
    const outcome opened = imgseal::open_regular_file(path, O_RDONLY, fd);
    struct stat image {};
    if (!opened.failed() && fstat(fd, &image) == 0 && imgseal::same_file(STDOUT_FILENO, image)) {
        (void)close(fd);
        imgseal::print_text(stderr, path, std::strlen(path), form);
        (void)std::fputs(": ERROR: Refusing to write output into the image\n", stderr);
        return exit_status::trouble;
    }
    imgseal::print_text(stdout, path, std::strlen(path), form);
    if (opened.failed()) return image_error(opened);

    exit_status verdict = exit_status::all_sealed;
    if (!imgseal::lock_image_file(fd, F_RDLCK)) {
        verdict = image_error(imgseal::system_fault(imgseal::fault::open_failed));
    } else {
        verdict = check_locked_image(fd);
    }
    (void)close(fd);  // read-only: nothing to lose
    return verdict;
}

}  // namespace

int main(int argc, char** argv) {
    if (imgseal::hold_standard_streams().failed()) return static_cast<int>(exit_status::trouble);
    if (argc < 2) {
        (void)std::fputs("usage: imgseal-verify IMAGE...\n", stderr);
        return static_cast<int>(exit_status::trouble);
    }
    const imgseal::text_form form = imgseal::text_form_for(stdout);
    exit_status worst = exit_status::all_sealed;
    for (int i = 1; i < argc; ++i) {
        const exit_status verdict = verify_image(argv[i], form);
        if (verdict > worst) worst = verdict;
    }
    return static_cast<int>(worst);
}
