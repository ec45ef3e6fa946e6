// imgseal IMAGE: checks that IMAGE is an unsealed image, sums every byte of it,
// writes checksum and length into its descriptor, pads it to an even size,
// forces it to stable storage and prints its name, length and checksum. The
// exit status tells whether it was sealed and, if not, where the run stopped.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "image_checksum.hpp"
#include "image_file.hpp"
#include "image_format.hpp"
#include "run.hpp"
#include "stamp.hpp"
#include "terminal_text.hpp"

namespace {

using imgseal::fault;
using imgseal::outcome;

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    sealed = 0,          // the image was sealed
    usage_or_open = 1,   // not exactly one argument, the image cannot be opened, or
                         // the output would be written into it
    header_short = 2,    // the 8-byte image header cannot be read in full
    seek_failed = 3,     // a seek fails
    read_failed = 4,     // a read fails or returns fewer bytes than asked, or the
                         // image was changed by another writer during the run
    bad_signature = 5,   // the descriptor's signature byte is neither 0x55 nor 0xAA
    already_sealed = 6,  // the descriptor's checksum or length field is not zero
    write_failed = 8,    // a write, the flush or the close fails; there is no status 7
};

// The only way a run ends.
[[noreturn]] void end_run(exit_status status) { std::exit(static_cast<int>(status)); }

exit_status status_of(fault what) {
    switch (what) {
        case fault::none:
            return exit_status::sealed;
        case fault::open_failed:
            return exit_status::usage_or_open;
        case fault::header_short:
            return exit_status::header_short;
        case fault::seek_failed:
            return exit_status::seek_failed;
        case fault::read_failed:
            return exit_status::read_failed;
        case fault::bad_signature:
            return exit_status::bad_signature;
        case fault::nonzero_checksum:
        case fault::nonzero_length:
            return exit_status::already_sealed;
        case fault::write_failed:
            return exit_status::write_failed;
    }
    return exit_status::write_failed;  // not reached: every fault is listed
}

// A refusal of the image is a fixed line on standard output; a failed system
// call is one line on standard error. The run then ends with the stage's status.
void end_run_on(const outcome& result) {
    if (!result.failed()) return;
    const exit_status status = status_of(result.what);
    if (status == exit_status::bad_signature || status == exit_status::already_sealed) {
        imgseal::print_line("%s\n", result.text);
    } else {
        (void)std::fprintf(stderr, "%s\n", imgseal::describe(result));
    }
    end_run(status);
}

// Locks the image just opened and records its state. Only a regular file of
// at most largest_image_size bytes is an image.
outcome lock_image(int fd, imgseal::file_state& state) {
    // Runs on one image follow one another: a later run waits, then finds the
    // image sealed. Two runs at once would both append a fill byte.
    if (!imgseal::lock_image_file(fd, F_WRLCK)) return imgseal::system_fault(fault::open_failed);
    const outcome result = imgseal::record_file_state(fd, state);
    if (result.failed()) return {fault::open_failed, result.error, nullptr};
    if (state.size > imgseal::largest_image_size) return {fault::open_failed, EOVERFLOW, nullptr};
    return imgseal::succeeded;
}

// The lines written into the image itself (imgseal img >> img, or a loop
// device of it) would lengthen it past its seal, or overwrite its header.
// Every argument is looked at before anything is printed, the usage line
// included, since any of them may be an image; the image is looked at again
// once opened (or, where the open failed, by its path), since the path may
// lead elsewhere by then. The refusal goes to the stream that is not the
// image, if any.
void refuse_output_into(const imgseal::storage& image) {
    const imgseal::output_into into = imgseal::streams_into(image);
    if (!into.out && !into.err) return;
    constexpr const char* refusal = "Refusing to write output into the image\n";
    if (!into.out) {
        imgseal::print_line("%s", refusal);
    } else if (!into.err) {
        (void)std::fputs(refusal, stderr);
    }
    end_run(exit_status::usage_or_open);
}

}  // namespace

int main(int argc, char** argv) {
    end_run_on(imgseal::hold_standard_streams());
    // An append beyond the file size limit then fails with EFBIG and is
    // reported, instead of the signal killing the run half-way.
    (void)std::signal(SIGXFSZ, SIG_IGN);  // cannot fail for a valid signal
    // The seal must not depend on whoever reads the lines: a reader that has
    // gone only loses them, and the run goes on to its own status.
    (void)std::signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < argc; ++i) refuse_output_into(imgseal::storage_at(argv[i]));
    if (argc != 2) {
        imgseal::print_line("Invalid number of arguments\n");
        end_run(exit_status::usage_or_open);
    }
    int fd = -1;
    const outcome opened = imgseal::open_regular_file(argv[1], O_RDWR, fd);
    refuse_output_into(fd != -1 ? imgseal::storage_of(fd) : imgseal::storage_at(argv[1]));
    end_run_on(opened);
    imgseal::file_state before{};
    end_run_on(lock_image(fd, before));

    // Static: the name field alone is 2000 bytes.
    static imgseal::image_fields image;
    end_run_on(imgseal::check_image(fd, image));
    // The name comes from the image: on a terminal it is shown as text only,
    // so that escape sequences in it are not acted on.
    (void)std::fputs("Name: ", stdout);
    imgseal::print_text(stdout, image.name, image.name_length, imgseal::text_form_for(stdout));
    imgseal::print_line("\n");

    // A write by anyone else since the open, even one that keeps the size,
    // would make a seal that does not match the file: the state is compared
    // after the pass, and stamp_image compares it again as late as it can.
    imgseal::image_sum sum{};
    end_run_on(imgseal::image_checksum(fd, imgseal::largest_image_size, sum));
    end_run_on(imgseal::compare_file_state(fd, before));
    imgseal::print_line("Length = %u\n", sum.padded_length);

    end_run_on(imgseal::stamp_image(fd, image.descriptor_offset, sum, before));
    imgseal::print_line("Checksum %04X\n", sum.checksum);
    end_run(exit_status::sealed);
}
