// imgseal-verify IMAGE...: checks that each image is sealed and that its seal
// matches its bytes, without changing it. Prints one line per image, in the
// order given; the exit status sums them up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_checksum.hpp"
#include "image_file.hpp"
#include "image_format.hpp"
#include "run.hpp"
#include "terminal_text.hpp"

namespace {

using imgseal::outcome;

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    all_sealed = 0,  // every image is sealed and matches its seal
    failed = 1,      // at least one image does not match its seal, and every image was checked
    trouble = 2,     // at least one image could not be checked, or no image was named
};

// The largest image that can be checked: an odd image of 2^31 - 1 bytes is
// sealed to 2^31 bytes with its fill byte.
constexpr off_t largest_sealed_image = off_t{1} << 31;

// The image's line so far is its path; each ending completes it.
exit_status image_ok(std::uint32_t length, std::uint16_t checksum) {
    imgseal::print_line(": OK, Length = %u, Checksum %04X\n", length, checksum);
    return exit_status::all_sealed;
}

exit_status image_failed(const char* format, std::uint32_t found, std::uint32_t expected) {
    (void)std::fputs(": FAILED: ", stdout);
    imgseal::print_line(format, found, expected);
    return exit_status::failed;
}

exit_status image_error(const outcome& result) {
    imgseal::print_line(": ERROR: %s\n", imgseal::describe(result));
    return exit_status::trouble;
}

// Checks the image open on `fd`, which holds a lock against a seal in progress.
exit_status check_seal(int fd) {
    // Static: the name field alone is 2000 bytes, and one serves every image.
    static imgseal::image_fields image;
    outcome result = imgseal::read_descriptor(fd, image);
    if (result.failed()) return image_error(result);
    if (imgseal::judge_descriptor(image.descriptor) == imgseal::descriptor_verdict::bad_signature) {
        return image_error({imgseal::fault::bad_signature, 0, "Invalid signature"});
    }
    result = imgseal::read_name(fd, image);
    if (result.failed()) return image_error(result);

    const std::uint8_t* const stamp = image.descriptor + imgseal::descriptor_checksum_at;
    const std::uint16_t checksum = imgseal::load_be16(stamp);
    const std::uint32_t length =
        imgseal::load_be32(image.descriptor + imgseal::descriptor_length_at);
    if (checksum == 0 && length == 0) {
        imgseal::print_line(": FAILED: not sealed\n");
        return exit_status::failed;
    }

    imgseal::checksum_state state = imgseal::checksum_init();
    result = imgseal::sum_image(fd, largest_sealed_image, state);
    if (result.failed()) return image_error(result);
    // The size summed is the file's size: a length that differs is a stamp
    // written in part, or a copy cut short or extended.
    if (length != state.byte_count) {
        return image_failed("length %u, file size %u\n", length,
                            static_cast<std::uint32_t>(state.byte_count));
    }
    // Sealing summed the stamp's 6 bytes as zero.
    imgseal::checksum_exclude(
        state, std::uint64_t{image.descriptor_offset} + imgseal::descriptor_checksum_at, stamp,
        imgseal::stamp_size);
    const imgseal::image_sum computed = imgseal::checksum_final(state);
    if (computed.checksum != checksum) {
        return image_failed("checksum %04X, computed %04X\n", checksum, computed.checksum);
    }
    return image_ok(length, checksum);
}

// Opens the image read-only, waits for any seal in progress and checks it.
// The path is printed as given, as text only on a terminal.
exit_status verify_image(const char* path, imgseal::text_form form) {
    imgseal::print_text(stdout, path, std::strlen(path), form);
    const int fd = imgseal::open_regular_file(path, O_RDONLY);
    if (fd == -1) return image_error(imgseal::system_fault(imgseal::fault::open_failed));

    exit_status verdict = exit_status::all_sealed;
    struct stat status {};
    if (!imgseal::lock_image_file(fd, F_RDLCK) || fstat(fd, &status) == -1) {
        verdict = image_error(imgseal::system_fault(imgseal::fault::open_failed));
    } else if (status.st_size > largest_sealed_image) {
        verdict = image_error({imgseal::fault::open_failed, EOVERFLOW, nullptr});
    } else {
        verdict = check_seal(fd);
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
