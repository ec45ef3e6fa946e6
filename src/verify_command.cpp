// Reading imgseal-verify's options with getopt_long, without a word written.
#include "verify_command.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "image_file.hpp"

namespace imgseal {

const char* const verify_usage_line =
    "Usage: imgseal-verify [OPTION]... IMAGE...\n"
    "  or:  imgseal-verify [OPTION]... -c FILE\n"
    "  or:  imgseal-verify [OPTION]... --find=FILE IMAGE...\n";
const char* const verify_usage_text =
    "Check that each IMAGE is sealed and matches its seal, and its CRC-32 where it\n"
    "carries one, without changing it.\n"
    "An IMAGE of -, or a FILE of -, is standard input.\n"
    "\n"
    "  -c, --check=FILE    check the images recorded in FILE, one line each as\n"
    "                        an OK line of this program\n"
    "      --find=FILE     print the records in FILE that each IMAGE matches\n"
    "      --expect=N,XXXX each IMAGE must have length N and checksum XXXX\n"
    "      --same-as=FILE  each IMAGE must hold the bytes of the sealed image FILE\n"
    "      --slot          each IMAGE holds an image at its start; the rest is\n"
    "                        ignored (a block device is accepted)\n"
    "      --require-crc   each IMAGE must carry a CRC-32, as imgseal-pack writes it\n"
    "  -q, --quiet         print no OK lines (and compute no SHA-256 for them)\n"
    "      --status        print nothing; the exit status tells\n"
    "      --wait=SECONDS  wait at most SECONDS for another process's lock\n"
    "                        (default 60; 0: do not wait)\n"
    "      --help          print this help and exit\n"
    "      --version       print the version and exit\n"
    "\n"
    "Exit status: 0 all OK, 1 an image failed, 2 trouble.\n";

namespace {

void mistake(verify_command& run, const char* message, const char* argument = nullptr) {
    if (run.what != verify_command::action::run) return;
    run.what = verify_command::action::mistake;
    run.mistake = message;
    run.argument = argument;
}

void take_first(verify_command& run, verify_command::action what) {
    if (run.what == verify_command::action::run) run.what = what;
}

// The combinations that make no sense, once every option is known.
void check_combinations(verify_command& run, char** argv) {
    const bool expect_given = run.expected.source != expected_seal::from::nothing;
    const bool named_records = run.records != nullptr || run.find != nullptr;
    if (run.records != nullptr && run.find != nullptr) {
        mistake(run, "-c cannot be combined with --find");
    }
    if (run.records != nullptr && run.images > 1) mistake(run, "-c cannot be combined with images");
    if (named_records && expect_given)
        mistake(run, "-c and --find cannot be combined with --expect");
    if (named_records && run.same_as != nullptr) {
        mistake(run, "-c and --find cannot be combined with --same-as");
    }
    if (run.same_as != nullptr && expect_given) {
        mistake(run, "--same-as cannot be combined with --expect");
    }
    for (int i = 1; run.find != nullptr && std::strcmp(run.find, "-") == 0 && i < run.images; ++i) {
        if (std::strcmp(argv[i], "-") == 0) mistake(run, "--find=- takes no IMAGE of -");
    }
    if (run.records == nullptr && run.images == 1) mistake(run, nullptr);
}

}  // namespace

verify_command read_verify_command(int argc, char** argv) {
    enum long_only : int {
        expect_option = 256,
        find_option,
        same_as_option,
        require_crc_option,
        slot_option,
        status_option,
        wait_option,
        help_option,
        version_option
    };
    static const option long_options[] = {
        {"check", required_argument, nullptr, 'c'},
        {"expect", required_argument, nullptr, expect_option},
        {"find", required_argument, nullptr, find_option},
        {"same-as", required_argument, nullptr, same_as_option},
        {"require-crc", no_argument, nullptr, require_crc_option},
        {"slot", no_argument, nullptr, slot_option},
        {"quiet", no_argument, nullptr, 'q'},
        {"status", no_argument, nullptr, status_option},
        {"wait", required_argument, nullptr, wait_option},
        {"help", no_argument, nullptr, help_option},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    verify_command run;
    // Its own messages would show the argument raw, and come too early.
    opterr = 0;
    // "-" first: the arguments stay in their order, images come back as
    // option 1, and so the argument that holds the option being read is the
    // one at optind before the call, a group of short options included.
    for (;;) {
        const int at = optind;
        const int option = getopt_long(argc, argv, "-c:q", long_options, nullptr);
        if (option == -1) break;
        switch (option) {
            case 1:
                argv[run.images++] = optarg;
                break;
            case 'c':
                run.records = optarg;
                break;
            case find_option:
                run.find = optarg;
                break;
            case 'q':
                run.quiet = true;
                break;
            case expect_option:
                run.expected.source = expected_seal::from::option;
                if (!parse_seal_values(optarg, run.expected.record.seal)) {
                    mistake(run, "--expect takes LENGTH,CHECKSUM, as in --expect=2024,DEAC");
                }
                break;
            case same_as_option:
                if (*optarg == '\0') mistake(run, "--same-as takes the path of a sealed image");
                if (std::strcmp(optarg, "-") == 0) {
                    mistake(run, "--same-as takes an image file, not standard input");
                }
                run.same_as = optarg;
                break;
            case require_crc_option:
                run.require_crc = true;
                break;
            case slot_option:
                run.scope = seal_scope::slot;
                break;
            case status_option:
                run.status_only = true;
                break;
            case wait_option: {
                const char* text = optarg;
                std::uint32_t seconds = 0;
                if (!parse_decimal(text, seconds) || *text != '\0') {
                    mistake(run, "--wait takes a whole number of seconds, 0 or more");
                }
                run.wait_seconds = seconds;
                break;
            }
            case help_option:
                take_first(run, verify_command::action::help);
                break;
            case version_option:
                take_first(run, verify_command::action::version);
                break;
            default:  // the option is not known, or lacks its argument
                mistake(run, "unknown option, or one that lacks its value", argv[at]);
        }
    }
    while (optind < argc) argv[run.images++] = argv[optind++];  // those after --
    check_combinations(run, argv);
    return run;
}

const char* argument_written_into(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* value = nullptr;
        if (argument[0] == '-' && argument[1] == '-') {
            value = std::strchr(argument, '=');
        } else if (argument[0] == '-') {
            value = std::strchr(argument, 'c');
        }
        for (const char* path : {argument, value != nullptr ? value + 1 : nullptr}) {
            if (path == nullptr || *path == '\0') continue;
            const output_into into = streams_into(
                std::strcmp(path, "-") == 0 ? storage_of(STDIN_FILENO) : storage_at(path));
            if (into.out || into.err) return path;
        }
    }
    return nullptr;
}

}  // namespace imgseal
