// imgseal-pack [OPTION]... BINARY IMAGE: makes IMAGE, an unsealed image that
// carries a CRC-32, from the raw firmware binary BINARY, for imgseal to seal.
// Prints one line for the image written; the exit status tells which part
// failed, and nothing is left behind when one does.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_pack.hpp"
#include "run.hpp"
#include "terminal_text.hpp"

namespace {

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    written = 0,  // the image was written
    usage = 1,    // the command line was wrong
    binary = 2,   // the binary is missing, cannot be read, or is empty
    layout = 3,   // the name, the alignment or the version cannot be laid
                  // out, or the image would reach 2^31 bytes
    output = 4,   // the output is the binary or not a regular file, or it
                  // cannot be written, flushed or renamed into place
};

constexpr const char* usage_line = "Usage: imgseal-pack [OPTION]... BINARY IMAGE\n";
constexpr const char* usage_text =
    "Make IMAGE, an unsealed image that carries a CRC-32, from the raw binary\n"
    "BINARY; imgseal then seals it.\n"
    "\n"
    "      --name=TEXT        the image's name: at most 1999 bytes, no control\n"
    "                           character (default: empty)\n"
    "      --image-version=N  header bytes 0-3 (default 0; 0xFFFFFFFF is refused)\n"
    "      --signature=55|AA  the signature byte (default 55)\n"
    "      --align=N          the binary starts at the first multiple of N at or\n"
    "                           past byte 2024: a power of two from 4 to 65536\n"
    "                           (default 2048)\n"
    "      --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "Numbers are decimal or 0x-hex.\n"
    "\n"
    "Exit status: 0 written, 1 usage, 2 the binary, 3 the layout, 4 the output.\n";

[[noreturn]] void finish(exit_status status) { std::exit(static_cast<int>(status)); }

// A path as one line holds it: escaped on a terminal, so that its bytes cannot
// act on it; elsewhere byte for byte, unless it would break the line.
void print_path(std::FILE* stream, const char* path) {
    imgseal::text_form form = imgseal::text_form_for(stream);
    if (form == imgseal::text_form::raw && imgseal::breaks_line(path, std::strlen(path))) {
        form = imgseal::text_form::one_line;
    }
    imgseal::print_text(stream, path, std::strlen(path), form);
}

// "imgseal-pack: [NAME: ]MESSAGE" on standard error.
void complain(const char* name, const char* message) {
    (void)std::fputs("imgseal-pack: ", stderr);
    if (name != nullptr) {
        print_path(stderr, name);
        (void)std::fputs(": ", stderr);
    }
    (void)std::fprintf(stderr, "%s\n", message);
}

[[noreturn]] void usage_error(const char* name, const char* message) {
    complain(name, message);
    finish(exit_status::usage);
}

exit_status status_of(imgseal::pack_failure what) {
    switch (what) {
        case imgseal::pack_failure::none:
            return exit_status::written;
        case imgseal::pack_failure::binary:
            return exit_status::binary;
        case imgseal::pack_failure::layout:
            return exit_status::layout;
        case imgseal::pack_failure::output:
            return exit_status::output;
    }
    return exit_status::output;  // not reached: every failure is listed
}

std::uint64_t number_of(const char* option, const char* text) {
    std::uint64_t value = 0;
    if (!imgseal::parse_pack_number(text, value)) {
        char message[64];
        (void)std::snprintf(message, sizeof message, "--%s takes a number, decimal or 0x-hex",
                            option);
        usage_error(nullptr, message);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (imgseal::hold_standard_streams().failed()) finish(exit_status::output);
    imgseal::block_on_standard_output();
    // The image does not depend on whoever reads the line; a write past the
    // file size limit fails with EFBIG and is reported, instead of a signal
    // stopping the run half-way.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    enum long_only : int {
        name_option = 256,
        version_number_option,
        signature_option,
        align_option,
        help_option,
        version_option
    };
    static const option long_options[] = {
        {"name", required_argument, nullptr, name_option},
        {"image-version", required_argument, nullptr, version_number_option},
        {"signature", required_argument, nullptr, signature_option},
        {"align", required_argument, nullptr, align_option},
        {"help", no_argument, nullptr, help_option},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    imgseal::pack_settings settings;
    // Its own messages would show the argument raw; complain() escapes it.
    opterr = 0;
    // "-" first: the arguments stay in their order and operands come back as
    // option 1, so the argument that holds the option being read is the one
    // at optind before the call. The operands are gathered at argv[1].
    int operands = 1;
    for (;;) {
        const int at = optind;
        const int option = getopt_long(argc, argv, "-", long_options, nullptr);
        if (option == -1) break;
        switch (option) {
            case 1:
                argv[operands++] = optarg;
                break;
            case name_option:
                settings.name = optarg;
                break;
            case version_number_option:
                settings.image_version = number_of("image-version", optarg);
                break;
            case signature_option:
                if (strcasecmp(optarg, "55") == 0) {
                    settings.signature = imgseal::signature_55;
                } else if (strcasecmp(optarg, "AA") == 0) {
                    settings.signature = imgseal::signature_aa;
                } else {
                    usage_error(nullptr, "--signature takes 55 or AA");
                }
                break;
            case align_option:
                settings.align = number_of("align", optarg);
                break;
            case help_option:
                (void)std::fputs(usage_line, stdout);
                (void)std::fputs(usage_text, stdout);
                finish(exit_status::written);
            case version_option:
                (void)std::puts("imgseal-pack (imgseal) " IMGSEAL_VERSION);
                finish(exit_status::written);
            default:  // the option is not known, or lacks its value
                usage_error(argv[at], "unknown option, or one that lacks its value");
        }
    }
    while (optind < argc) argv[operands++] = argv[optind++];  // those after --
    if (operands != 3) {
        (void)std::fputs(usage_line, stderr);
        finish(exit_status::usage);
    }
    const char* binary = argv[1];
    const char* image = argv[2];

    imgseal::pack_report report{};
    const imgseal::pack_outcome result = imgseal::pack_image(binary, image, settings, report);
    if (result.what != imgseal::pack_failure::none) {
        complain(result.what == imgseal::pack_failure::binary ? binary : image,
                 result.text != nullptr ? result.text : std::strerror(result.error));
        finish(status_of(result.what));
    }
    print_path(stdout, image);
    imgseal::print_line(": binary of %llu bytes at %llu, Length = %llu, CRC-32 %08X\n",
                        static_cast<unsigned long long>(report.binary_size),
                        static_cast<unsigned long long>(report.binary_offset),
                        static_cast<unsigned long long>(report.image_size), report.crc);
    finish(exit_status::written);
}
