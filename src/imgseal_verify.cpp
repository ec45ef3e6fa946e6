// imgseal-verify [OPTION]... IMAGE...: checks that each image is sealed and
// that its seal matches its bytes, without changing it, and, with -c,
// --expect or --same-as, that the seal is the one recorded or expected. Prints
// one line per image, in the order given; the exit status sums them up.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image_file.hpp"
#include "image_format.hpp"
#include "record_line.hpp"
#include "run.hpp"
#include "seal_check.hpp"
#include "terminal_text.hpp"

namespace {

using imgseal::outcome;
using imgseal::seal_verdict;

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    all_sealed = 0,  // every image is sealed and matches its seal (and its record)
    failed = 1,      // at least one image does not, and every image was checked
    trouble = 2,     // at least one image could not be checked, no image was
                     // named, the command line was wrong, a line given to -c
                     // was not a record, or the output could not be written
};

constexpr const char* usage_line =
    "Usage: imgseal-verify [OPTION]... IMAGE...\n"
    "  or:  imgseal-verify [OPTION]... -c FILE\n";
constexpr const char* usage_text =
    "Check that each IMAGE is sealed and matches its seal, without changing it.\n"
    "An IMAGE of -, or a FILE of -, is standard input.\n"
    "\n"
    "  -c, --check=FILE    check the images recorded in FILE, one line each as\n"
    "                        an OK line of this program\n"
    "      --expect=N,XXXX each IMAGE must have length N and checksum XXXX\n"
    "      --same-as=FILE  each IMAGE must have the seal of the sealed image FILE\n"
    "      --slot          each IMAGE holds an image at its start; the rest is\n"
    "                        ignored (a block device is accepted)\n"
    "  -q, --quiet         print no OK lines\n"
    "      --status        print nothing; the exit status tells\n"
    "      --wait=SECONDS  wait at most SECONDS for another process's lock\n"
    "                        (default 60; 0: do not wait)\n"
    "      --help          print this help and exit\n"
    "      --version       print the version and exit\n"
    "\n"
    "Exit status: 0 all OK, 1 an image failed, 2 trouble.\n";

struct settings {
    bool quiet = false;        // no OK lines
    bool status_only = false;  // nothing on standard output
    imgseal::seal_scope scope = imgseal::seal_scope::whole_image;
    unsigned wait_seconds = 60;
    imgseal::text_form form = imgseal::text_form::raw;        // of standard output
    imgseal::text_form error_form = imgseal::text_form::raw;  // of standard error
};
settings options;

// The seal an image must have: from a record, or from --expect or --same-as.
struct expected_seal {
    enum class from : unsigned char { nothing, record, option } source;
    imgseal::seal_values seal;
};

void print_path(std::FILE* stream, const char* path) {
    imgseal::print_line_path(stream, path, stream == stdout ? options.form : options.error_form);
}

// Set where standard error would write into an image or the records: the run
// is then refused, and its messages on standard error go nowhere.
bool errors_silenced = false;

// "imgseal-verify: NAME: MESSAGE" on `stream`, NAME shown as paths are.
void complain(const char* name, const char* message, std::FILE* stream = stderr) {
    if (stream == stderr && errors_silenced) return;
    (void)std::fputs("imgseal-verify: ", stream);
    print_path(stream, name);
    (void)std::fprintf(stream, ": %s\n", message);
}

// Ends the run at the first line lost: one lost to a full file system or to
// a reader that has gone would leave a failed image unseen, or a list of
// records short of an image, behind status 0.
[[noreturn]] void write_error(int error) {
    if (!errors_silenced) {
        (void)std::fprintf(stderr, "imgseal-verify: write error: %s\n", std::strerror(error));
    }
    std::_Exit(static_cast<int>(exit_status::trouble));  // the output is not flushed again
}

void flush_output() {
    // errno is still that of the failed write, whether the flush failed or a
    // write before it did.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) write_error(errno);
}

[[noreturn]] void finish(exit_status status) {
    if (std::ferror(stdout) != 0 || std::fclose(stdout) != 0) write_error(errno);
    std::exit(static_cast<int>(status));
}

// The image's line: its path, written before any wait when OK lines are
// shown, or with its verdict otherwise.
const char* line_path = nullptr;
bool line_started = false;

void start_line(const char* path) {
    line_path = path;
    line_started = false;
    if (!options.quiet && !options.status_only) {
        print_path(stdout, path);
        flush_output();
        line_started = true;
    }
}

// Ends the image's line with `text`, unless the settings keep it off.
exit_status end_line(exit_status verdict, const char* text) {
    if (options.status_only || (options.quiet && verdict == exit_status::all_sealed)) {
        return verdict;
    }
    if (!line_started) print_path(stdout, line_path);
    (void)std::printf(": %s\n", text);
    flush_output();
    return verdict;
}

// What follows the path on an image's line.
char verdict_text[256];

exit_status verdict_is(exit_status verdict, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
exit_status verdict_is(exit_status verdict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    // clang-tidy 14 misreads the va_list that va_start has just initialised.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(verdict_text, sizeof verdict_text, format, args);
    va_end(args);
    return verdict;
}

unsigned long long wide(std::uint64_t value) { return value; }

// Puts the verdict on `report`, for an image checked as `scope` whose seal
// must be `expected`, into verdict_text.
exit_status judge(const imgseal::seal_report& report, imgseal::seal_scope scope,
                  const expected_seal& expected) {
    const exit_status failed = exit_status::failed;
    const exit_status trouble = exit_status::trouble;
    const std::uint32_t length = report.length;
    switch (report.verdict) {
        case seal_verdict::ok:
            if (expected.source != expected_seal::from::nothing &&
                (expected.seal.length != length || expected.seal.checksum != report.checksum)) {
                const bool recorded = expected.source == expected_seal::from::record;
                return verdict_is(failed,
                                  "FAILED: seal differs from the %s: Length = %u, Checksum "
                                  "%04X, %s Length = %u, Checksum %04X",
                                  recorded ? "record" : "expected seal", length, report.checksum,
                                  recorded ? "recorded" : "expected", expected.seal.length,
                                  expected.seal.checksum);
            }
            imgseal::format_seal(verdict_text, sizeof verdict_text, {length, report.checksum});
            return exit_status::all_sealed;
        case seal_verdict::short_header:
            return verdict_is(trouble, "ERROR: not an image: the header is %llu bytes",
                              wide(report.size));
        case seal_verdict::erased:
            return verdict_is(trouble,
                              "ERROR: not an image: erased (the header's 8 bytes are all 0xFF)");
        case seal_verdict::descriptor_outside:
            if (imgseal::descriptor_position(report.descriptor_offset) < 0) {
                return verdict_is(trouble,
                                  "ERROR: not an image: the descriptor offset %u is 2^31 or more",
                                  report.descriptor_offset);
            }
            return verdict_is(trouble,
                              "ERROR: not an image: the descriptor offset %u lies past the %s "
                              "(%llu bytes)",
                              report.descriptor_offset,
                              scope == imgseal::seal_scope::slot ? "slot's end" : "end",
                              wide(report.size));
        case seal_verdict::bad_signature:
            return verdict_is(trouble, "ERROR: not an image: signature byte 0x%02X",
                              report.signature);
        case seal_verdict::not_sealed:
            return verdict_is(failed, "FAILED: not sealed");
        case seal_verdict::odd_length:
            return verdict_is(failed, "FAILED: length %u is odd", length);
        case seal_verdict::length_inside_name:
            return verdict_is(failed, "FAILED: length %u ends inside the name field", length);
        case seal_verdict::length_not_size:
            return verdict_is(failed, "FAILED: length %u, %s %llu", length,
                              scope == imgseal::seal_scope::slot ? "slot size" : "file size",
                              wide(report.size));
        case seal_verdict::bad_checksum:
            return verdict_is(failed, "FAILED: checksum %04X, computed %04X", report.checksum,
                              report.computed);
        case seal_verdict::system_error:
            return verdict_is(trouble, "ERROR: %s", imgseal::describe(report.error));
    }
    return trouble;  // not reached: every verdict is listed
}

exit_status image_error(const outcome& error) {
    return end_line(verdict_is(exit_status::trouble, "ERROR: %s", imgseal::describe(error)),
                    verdict_text);
}

// Where standard output and error would write into an image or the records
// (redirected into it, or into a device node or loop device of it), the run
// ends before a line goes there: the refusal goes to the stream that is not
// the file, or nowhere. `what` names the file.
void guard_output(const char* path, const imgseal::storage& file, const char* what) {
    const bool out = imgseal::writes_into(STDOUT_FILENO, file);
    const bool err = imgseal::writes_into(STDERR_FILENO, file);
    if (!out && !err) return;
    char message[64];
    (void)std::snprintf(message, sizeof message, "Refusing to write output into the %s", what);
    errors_silenced = errors_silenced || err;
    if (!err) {
        complain(path, message);
    } else if (!out) {
        complain(path, message, stdout);
    }
    finish(exit_status::trouble);
}

void guard_image(const char* path) {
    guard_output(
        path,
        std::strcmp(path, "-") == 0 ? imgseal::storage_of(STDIN_FILENO) : imgseal::storage_at(path),
        "image");
}

// Opens the image read-only as `scope` allows. The image, even one that cannot
// be opened, is looked at once more here: its path may have changed since the
// guard before the first line.
outcome open_image(const char* path, imgseal::seal_scope scope, int& fd) {
    const outcome opened = scope == imgseal::seal_scope::slot
                               ? imgseal::open_file_or_block_device(path, O_RDONLY, fd)
                               : imgseal::open_regular_file(path, O_RDONLY, fd);
    guard_output(path, fd != -1 ? imgseal::storage_of(fd) : imgseal::storage_at(path), "image");
    return opened;
}

constexpr outcome locked_by_another{imgseal::fault::open_failed, 0, "locked by another process"};

// Waits for any seal in progress, checks the open image and closes it. The
// lock is gone before the verdict is written, so that a reader of the output
// that stops never holds up a seal.
imgseal::seal_report check_open_image(int fd, imgseal::seal_scope scope) {
    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    switch (imgseal::lock_image_file_within(fd, F_RDLCK, options.wait_seconds)) {
        case imgseal::lock_result::held:
            report = imgseal::check_seal_of_file(fd, scope);
            break;
        case imgseal::lock_result::busy:
            report.error = locked_by_another;
            break;
        case imgseal::lock_result::failed:
            report.error = imgseal::system_fault(imgseal::fault::open_failed);
            break;
    }
    (void)close(fd);  // read-only: nothing to lose
    return report;
}

exit_status verify_image(const char* path, const expected_seal& expected) {
    imgseal::seal_report report{};
    if (std::strcmp(path, "-") == 0) {
        guard_output(path, imgseal::storage_of(STDIN_FILENO), "image");
        start_line(path);
        report = imgseal::check_seal_stream(STDIN_FILENO, options.scope);
    } else {
        int fd = -1;
        const outcome opened = open_image(path, options.scope, fd);
        start_line(path);
        if (opened.failed()) return image_error(opened);
        report = check_open_image(fd, options.scope);
    }
    return end_line(judge(report, options.scope, expected), verdict_text);
}

// The seal of the image that --same-as names, checked first and always as a
// whole image, becomes the one every image must have. If it does not verify,
// nothing else is checked.
void take_seal_of(const char* path, expected_seal& expected) {
    int fd = -1;
    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    report.error = open_image(path, imgseal::seal_scope::whole_image, fd);
    if (!report.error.failed()) report = check_open_image(fd, imgseal::seal_scope::whole_image);
    if (judge(report, imgseal::seal_scope::whole_image, {}) != exit_status::all_sealed) {
        (void)std::fputs("imgseal-verify: --same-as ", stderr);
        print_path(stderr, path);
        (void)std::fprintf(stderr, ": %s\n", verdict_text);
        finish(exit_status::trouble);
    }
    expected = {expected_seal::from::option, {report.length, report.checksum}};
}

imgseal::record_reader reader;
imgseal::record_line line;

// Every image that the records open on `fd` name is looked up before the
// first line: the run ends if the output would go into one, or if the
// records cannot be read. Only a file that can be read twice is read twice.
void guard_recorded_images(const char* records, int fd) {
    imgseal::start_reading(reader, fd);
    std::size_t size = 0;
    for (imgseal::line_read read;
         (read = imgseal::read_record_line(reader, line, size)) != imgseal::line_read::none;) {
        char* path = nullptr;
        imgseal::seal_values seal{};
        if (read == imgseal::line_read::line && imgseal::parse_record(line, size, path, seal) &&
            std::strcmp(path, "-") != 0) {
            guard_image(path);
        }
    }
    if (reader.error.failed()) {
        complain(records, imgseal::describe(reader.error));
        finish(exit_status::trouble);
    }
    if (lseek(fd, 0, SEEK_SET) == -1) {
        complain(records, std::strerror(errno));
        finish(exit_status::trouble);
    }
}

constexpr outcome names_stdin{imgseal::fault::open_failed, 0,
                              "a record cannot name standard input"};

// Checks every image that `records` (a path, or - for standard input) names,
// in its order.
exit_status check_records(const char* records) {
    const bool from_stdin = std::strcmp(records, "-") == 0;
    const int fd = from_stdin ? STDIN_FILENO : open(records, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) {
        complain(records, std::strerror(errno));
        return exit_status::trouble;
    }
    // Lines written into the records would be read back as records, for ever.
    guard_output(records, imgseal::storage_of(fd), "records");
    struct stat status {};
    if (!from_stdin && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        guard_recorded_images(records, fd);
    }
    imgseal::start_reading(reader, fd);
    exit_status worst = exit_status::all_sealed;
    unsigned long line_number = 0;
    unsigned long found = 0;
    std::size_t size = 0;
    for (imgseal::line_read read;
         (read = imgseal::read_record_line(reader, line, size)) != imgseal::line_read::none;) {
        ++line_number;
        char* path = nullptr;
        expected_seal expected{expected_seal::from::record, {}};
        if (read != imgseal::line_read::line ||
            !imgseal::parse_record(line, size, path, expected.seal)) {
            print_path(stderr, records);
            (void)std::fprintf(stderr, ":%lu: not a record\n", line_number);
            worst = exit_status::trouble;
            continue;
        }
        ++found;
        exit_status verdict = exit_status::all_sealed;
        if (std::strcmp(path, "-") == 0) {
            start_line(path);
            verdict = image_error(names_stdin);
        } else {
            verdict = verify_image(path, expected);
        }
        if (verdict > worst) worst = verdict;
    }
    if (reader.error.failed()) {
        complain(records, imgseal::describe(reader.error));
        worst = exit_status::trouble;
    } else if (found == 0) {
        complain(records, "no record");
        worst = exit_status::trouble;
    }
    if (!from_stdin) (void)close(fd);
    return worst;
}

// Whether standard error writes into a file that an argument names, as a
// path or as an option's value (--check=FILE, -cFILE, -qcFILE). Such a run
// is refused before its first line, and a mistake on its command line is not
// written there either.
bool errors_into_an_argument(int argc, char** argv) {
    const imgseal::storage errors = imgseal::storage_of(STDERR_FILENO);
    if (!errors.is_file && !errors.is_block) return false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* value = nullptr;
        if (argument[0] == '-' && argument[1] == '-') {
            value = std::strchr(argument, '=');
        } else if (argument[0] == '-') {
            value = std::strchr(argument, 'c');
        }
        const char* const paths[] = {argument, value != nullptr ? value + 1 : nullptr};
        for (const char* path : paths) {
            if (path != nullptr && *path != '\0' &&
                imgseal::writes_into(STDERR_FILENO, imgseal::storage_at(path))) {
                return true;
            }
        }
    }
    return false;
}

// A command line that names no image gets the usage; any other mistake one
// line that says what is wrong.
[[noreturn]] void usage_error(const char* message) {
    if (errors_silenced) finish(exit_status::trouble);
    if (message != nullptr) {
        (void)std::fprintf(stderr, "imgseal-verify: %s\n", message);
    } else {
        (void)std::fputs(usage_line, stderr);
    }
    finish(exit_status::trouble);
}

}  // namespace

int main(int argc, char** argv) {
    if (imgseal::hold_standard_streams().failed()) return static_cast<int>(exit_status::trouble);
    imgseal::block_on_standard_output();
    errors_silenced = errors_into_an_argument(argc, argv);
    enum long_only : int {
        expect_option = 256,
        same_as_option,
        slot_option,
        status_option,
        wait_option,
        help_option,
        version_option
    };
    static const option long_options[] = {
        {"check", required_argument, nullptr, 'c'},
        {"expect", required_argument, nullptr, expect_option},
        {"same-as", required_argument, nullptr, same_as_option},
        {"slot", no_argument, nullptr, slot_option},
        {"quiet", no_argument, nullptr, 'q'},
        {"status", no_argument, nullptr, status_option},
        {"wait", required_argument, nullptr, wait_option},
        {"help", no_argument, nullptr, help_option},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    const char* records = nullptr;
    const char* same_as = nullptr;
    expected_seal expected{};
    // Its own messages would show the argument raw; complain() escapes it.
    opterr = 0;
    options.error_form = imgseal::text_form_for(stderr);
    // "-" first: the arguments stay in their order, images come back as
    // option 1, and so the argument that holds the option being read is the
    // one at optind before the call, a group of short options included. The
    // images are gathered at the front of argv, after the program's name.
    int images = 1;
    for (;;) {
        const int at = optind;
        const int option = getopt_long(argc, argv, "-c:q", long_options, nullptr);
        if (option == -1) break;
        switch (option) {
            case 1:
                argv[images++] = optarg;
                break;
            case 'c':
                records = optarg;
                break;
            case 'q':
                options.quiet = true;
                break;
            case expect_option:
                expected.source = expected_seal::from::option;
                if (!imgseal::parse_seal_values(optarg, expected.seal)) {
                    usage_error("--expect takes LENGTH,CHECKSUM, as in --expect=2024,DEAC");
                }
                break;
            case same_as_option:
                if (*optarg == '\0') usage_error("--same-as takes the path of a sealed image");
                if (std::strcmp(optarg, "-") == 0) {
                    usage_error("--same-as takes an image file, not standard input");
                }
                same_as = optarg;
                break;
            case slot_option:
                options.scope = imgseal::seal_scope::slot;
                break;
            case status_option:
                options.status_only = true;
                break;
            case wait_option: {
                const char* text = optarg;
                std::uint32_t seconds = 0;
                if (!imgseal::parse_decimal(text, seconds) || *text != '\0') {
                    usage_error("--wait takes a whole number of seconds, 0 or more");
                }
                options.wait_seconds = seconds;
                break;
            }
            case help_option:
                (void)std::fputs(usage_line, stdout);
                (void)std::fputs(usage_text, stdout);
                finish(exit_status::all_sealed);
            case version_option:
                (void)std::puts("imgseal-verify (imgseal) " IMGSEAL_VERSION);
                finish(exit_status::all_sealed);
            default:  // the option is not known, or lacks its argument
                complain(argv[at], "unknown option, or one that lacks its value");
                finish(exit_status::trouble);
        }
    }
    while (optind < argc) argv[images++] = argv[optind++];  // those after --
    const bool expect_given = expected.source != expected_seal::from::nothing;
    if (records != nullptr && images > 1) usage_error("-c cannot be combined with images");
    if (records != nullptr && expect_given) usage_error("-c cannot be combined with --expect");
    if (records != nullptr && same_as != nullptr) {
        usage_error("-c cannot be combined with --same-as");
    }
    if (same_as != nullptr && expect_given) {
        usage_error("--same-as cannot be combined with --expect");
    }
    if (records == nullptr && images == 1) usage_error(nullptr);
    options.form = imgseal::text_form_for(stdout);

    if (records != nullptr) finish(check_records(records));
    // Nothing is written before every image named is known not to be where
    // the output goes.
    if (same_as != nullptr) guard_image(same_as);
    for (int i = 1; i < images; ++i) guard_image(argv[i]);
    if (same_as != nullptr) take_seal_of(same_as, expected);
    exit_status worst = exit_status::all_sealed;
    for (int i = 1; i < images; ++i) {
        const exit_status verdict = verify_image(argv[i], expected);
        if (verdict > worst) worst = verdict;
    }
    finish(worst);
}
