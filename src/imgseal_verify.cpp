// imgseal-verify [OPTION]... IMAGE...: checks that each image is sealed and
// that its seal matches its bytes, without changing it, and, with -c or
// --expect, that the seal is the one recorded. Prints one line per image, in
// the order given; the exit status sums them up.
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
                     // named, the command line was wrong, or a line given to
                     // -c was not a record
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

// The seal an image must have, from a record or --expect.
struct expected_seal {
    bool given;
    std::uint32_t length;
    std::uint16_t checksum;
};

// The image's line: its path, written before any wait when OK lines are
// shown, or with its verdict otherwise.
const char* line_path = nullptr;
bool line_started = false;

void print_path(std::FILE* stream, const char* path) {
    const std::size_t size = std::strlen(path);
    const imgseal::text_form form = stream == stdout ? options.form : options.error_form;
    if (form == imgseal::text_form::raw && imgseal::breaks_line(path, size)) {
        // Like the digest tools' lines: the leading backslash says that the
        // path on this line is escaped.
        (void)std::fputc('\\', stream);
        imgseal::print_text(stream, path, size, imgseal::text_form::one_line);
    } else {
        imgseal::print_text(stream, path, size, form);
    }
}

// "imgseal-verify: NAME: MESSAGE" on standard error, NAME shown as paths are.
void complain(const char* name, const char* message) {
    (void)std::fputs("imgseal-verify: ", stderr);
    print_path(stderr, name);
    (void)std::fprintf(stderr, ": %s\n", message);
}

void start_line(const char* path) {
    line_path = path;
    line_started = false;
    if (!options.quiet && !options.status_only) {
        print_path(stdout, path);
        (void)std::fflush(stdout);
        line_started = true;
    }
}

// Ends the image's line with `format`, unless the settings keep it off.
exit_status end_line(exit_status verdict, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
exit_status end_line(exit_status verdict, const char* format, ...) {
    if (options.status_only || (options.quiet && verdict == exit_status::all_sealed)) {
        return verdict;
    }
    if (!line_started) print_path(stdout, line_path);
    va_list args;
    va_start(args, format);
    // clang-tidy 14 misreads the va_list that va_start has just initialised.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vprintf(format, args);
    va_end(args);
    (void)std::fflush(stdout);
    return verdict;
}

exit_status image_error(const outcome& result) {
    return end_line(exit_status::trouble, ": ERROR: %s\n", imgseal::describe(result));
}

unsigned long long wide(std::uint64_t value) { return value; }

// The end of the image's line for the verdict in `report`, and for a seal
// that must be `expected`.
exit_status report_verdict(const imgseal::seal_report& report, const expected_seal& expected) {
    const exit_status failed = exit_status::failed;
    const exit_status trouble = exit_status::trouble;
    const std::uint32_t length = report.length;
    const char* const size_name =
        options.scope == imgseal::seal_scope::slot ? "slot size" : "file size";
    switch (report.verdict) {
        case seal_verdict::ok:
            if (expected.given &&
                (expected.length != length || expected.checksum != report.checksum)) {
                return end_line(failed,
                                ": FAILED: seal differs from the record: Length = %u, Checksum "
                                "%04X, recorded Length = %u, Checksum %04X\n",
                                length, report.checksum, expected.length, expected.checksum);
            }
            return end_line(exit_status::all_sealed, ": OK, Length = %u, Checksum %04X\n", length,
                            report.checksum);
        case seal_verdict::short_header:
            return end_line(trouble, ": ERROR: not an image: the header is %llu bytes\n",
                            wide(report.size));
        case seal_verdict::erased:
            return end_line(trouble,
                            ": ERROR: not an image: erased (the header's 8 bytes are all 0xFF)\n");
        case seal_verdict::descriptor_outside:
            return end_line(trouble,
                            ": ERROR: not an image: the descriptor offset %u lies past the end "
                            "(%llu bytes)\n",
                            report.descriptor_offset, wide(report.size));
        case seal_verdict::bad_signature:
            return end_line(trouble, ": ERROR: not an image: signature byte 0x%02X\n",
                            report.signature);
        case seal_verdict::not_sealed:
            return end_line(failed, ": FAILED: not sealed\n");
        case seal_verdict::odd_length:
            return end_line(failed, ": FAILED: length %u is odd\n", length);
        case seal_verdict::length_inside_name:
            return end_line(failed, ": FAILED: length %u ends inside the name field\n", length);
        case seal_verdict::length_not_size:
            return end_line(failed, ": FAILED: length %u, %s %llu\n", length, size_name,
                            wide(report.size));
        case seal_verdict::bad_checksum:
            return end_line(failed, ": FAILED: checksum %04X, computed %04X\n", report.checksum,
                            report.computed);
        case seal_verdict::system_error:
            return image_error(report.error);
    }
    return trouble;  // not reached: every verdict is listed
}

// Checks the image open on `fd`, once it holds a lock against a seal in
// progress. A write by anyone else during the check makes its verdict void.
imgseal::seal_report check_locked_image(int fd) {
    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    imgseal::file_state before{};
    report.error = imgseal::record_file_state(fd, before);
    if (report.error.failed()) return report;
    const auto size = static_cast<std::uint64_t>(before.size);
    if (options.scope == imgseal::seal_scope::whole_image &&
        before.size > imgseal::largest_image_size) {
        report.error = {imgseal::fault::open_failed, EOVERFLOW, nullptr};
        return report;
    }
    const imgseal::seal_report checked = imgseal::check_seal(fd, size, options.scope);
    report.error = imgseal::compare_file_state(fd, before);
    return report.error.failed() ? report : checked;
}

constexpr outcome locked_by_another{imgseal::fault::open_failed, 0, "locked by another process"};

// Opens the image read-only, waits for any seal in progress and checks it.
// The path is printed once the image is known not to be standard output
// itself, where the line would be written into the image. The lock is gone
// before the verdict is written, so that a reader of the output that stops
// never holds up a seal.
// Whether standard output is the file `image` (a regular file or a device,
// not the terminal or pipe that input and output may share). The refusal then
// goes to standard error, unless that is the image too.
bool refuse_output_into(const char* path, const struct stat& image) {
    if (!(S_ISREG(image.st_mode) || S_ISBLK(image.st_mode)) ||
        !imgseal::same_file(STDOUT_FILENO, image)) {
        return false;
    }
    if (!imgseal::same_file(STDERR_FILENO, image)) {
        print_path(stderr, path);
        (void)std::fputs(": ERROR: Refusing to write output into the image\n", stderr);
    }
    return true;
}

// Standard input as a stream.
exit_status verify_stream(const char* path, const expected_seal& expected) {
    struct stat image {};
    if (fstat(STDIN_FILENO, &image) == 0 && refuse_output_into(path, image)) {
        return exit_status::trouble;
    }
    start_line(path);
    return report_verdict(imgseal::check_seal_stream(STDIN_FILENO, options.scope), expected);
}

exit_status verify_image(const char* path, const expected_seal& expected) {
    if (std::strcmp(path, "-") == 0) return verify_stream(path, expected);
    int fd = -1;
    const outcome opened = options.scope == imgseal::seal_scope::slot
                               ? imgseal::open_file_or_block_device(path, O_RDONLY, fd)
                               : imgseal::open_regular_file(path, O_RDONLY, fd);
    // An image that cannot be opened may still be standard output.
    struct stat image {};
    if ((fd != -1 ? fstat(fd, &image) : stat(path, &image)) == 0 &&
        refuse_output_into(path, image)) {
        if (fd != -1) (void)close(fd);
        return exit_status::trouble;
    }
    start_line(path);
    if (opened.failed()) return image_error(opened);

    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    switch (imgseal::lock_image_file_within(fd, F_RDLCK, options.wait_seconds)) {
        case imgseal::lock_result::held:
            report = check_locked_image(fd);
            break;
        case imgseal::lock_result::busy:
            report.error = locked_by_another;
            break;
        case imgseal::lock_result::failed:
            report.error = imgseal::system_fault(imgseal::fault::open_failed);
            break;
    }
    (void)close(fd);  // read-only: nothing to lose
    return report_verdict(report, expected);
}

// A record's length and checksum, "N,XXXX" after --expect or the numbers of
// an OK line: decimal, and four hexadecimal digits.
bool parse_number(const char*& text, std::uint32_t& value) {
    if (*text < '0' || *text > '9') return false;
    std::uint64_t number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
        if (number > UINT32_MAX) return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool parse_checksum(const char*& text, std::uint16_t& value) {
    unsigned number = 0;
    for (int i = 0; i < 4; ++i, ++text) {
        const char c = *text;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return false;
        number = number * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

bool parse_expect(const char* text, expected_seal& expected) {
    expected.given = true;
    return parse_number(text, expected.length) && *text++ == ',' &&
           parse_checksum(text, expected.checksum) && *text == '\0';
}

// The longest line of a record file: a path of PATH_MAX (4096) bytes, each
// of them escaped, and its verdict.
constexpr std::size_t longest_record = 2 * 4096 + 64;

// Reads `line` (its newline removed) as a record: "PATH: OK, Length = N,
// Checksum XXXX", its path escaped where the line begins with a backslash.
// The path goes to `path`, unescaped.
bool parse_record(char* line, char*& path, expected_seal& expected) {
    constexpr const char* marker = ": OK, Length = ";
    char* found = nullptr;
    for (char* at = std::strstr(line, marker); at != nullptr; at = std::strstr(at + 1, marker)) {
        found = at;
    }
    if (found == nullptr || found == line) return false;
    const char* rest = found + std::strlen(marker);
    expected.given = true;
    if (!parse_number(rest, expected.length) || std::strncmp(rest, ", Checksum ", 11) != 0) {
        return false;
    }
    rest += 11;
    if (!parse_checksum(rest, expected.checksum) || *rest != '\0') return false;
    *found = '\0';
    path = line;
    if (*line != '\\') return true;
    // Unescaped in place: \n, \r and \\ only.
    path = line + 1;
    char* out = path;
    for (const char* in = path; *in != '\0'; ++in) {
        if (*in == '\\') {
            ++in;
            if (*in == 'n') {
                *out++ = '\n';
            } else if (*in == 'r') {
                *out++ = '\r';
            } else if (*in == '\\') {
                *out++ = '\\';
            } else {
                return false;
            }
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return *path != '\0';
}

// Reads the next line of `file` into `line` without its newline; false at the
// end. A line is not record_like when it is longer than longest_record or
// holds a zero byte; the rest of a long line is read and dropped.
bool read_line(std::FILE* file, char (&line)[longest_record + 1], std::size_t& size,
               bool& record_like) {
    size = 0;
    record_like = true;
    int c = std::getc(file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(file)) {
        if (c == '\0') record_like = false;
        if (size == longest_record) {
            record_like = false;
        } else {
            line[size++] = static_cast<char>(c);
        }
    }
    line[size] = '\0';
    return true;
}

constexpr outcome names_stdin{imgseal::fault::open_failed, 0,
                              "a record cannot name standard input"};

// Checks every image that `records` (a path, or - for standard input) names,
// in its order.
exit_status check_records(const char* records) {
    const bool from_stdin = std::strcmp(records, "-") == 0;
    std::FILE* file = from_stdin ? stdin : std::fopen(records, "re");
    if (file == nullptr) {
        complain(records, std::strerror(errno));
        return exit_status::trouble;
    }
    // Lines appended to the records would be read back as records, for ever.
    struct stat status {};
    if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode) &&
        imgseal::same_file(STDOUT_FILENO, status)) {
        if (!imgseal::same_file(STDERR_FILENO, status)) {
            complain(records, "Refusing to write output into the records");
        }
        if (!from_stdin) (void)std::fclose(file);
        return exit_status::trouble;
    }
    static char line[longest_record + 1];
    exit_status worst = exit_status::all_sealed;
    unsigned long line_number = 0;
    unsigned long found = 0;
    std::size_t size = 0;
    bool record_like = true;
    while (read_line(file, line, size, record_like)) {
        ++line_number;
        char* path = nullptr;
        expected_seal expected{};
        if (!record_like || !parse_record(line, path, expected)) {
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
    if (std::ferror(file) != 0) {
        complain(records, std::strerror(errno));
        worst = exit_status::trouble;
    } else if (found == 0) {
        complain(records, "no record");
        worst = exit_status::trouble;
    }
    if (!from_stdin) (void)std::fclose(file);
    return worst;
}

// A command line that names no image gets the usage; any other mistake one
// line that says what is wrong.
[[noreturn]] void usage_error(const char* message) {
    if (message != nullptr) {
        (void)std::fprintf(stderr, "imgseal-verify: %s\n", message);
    } else {
        (void)std::fputs(usage_line, stderr);
    }
    std::exit(static_cast<int>(exit_status::trouble));
}

}  // namespace

int main(int argc, char** argv) {
    if (imgseal::hold_standard_streams().failed()) return static_cast<int>(exit_status::trouble);
    enum long_only : int {
        expect_option = 256,
        slot_option,
        status_option,
        wait_option,
        help_option,
        version_option
    };
    static const option long_options[] = {
        {"check", required_argument, nullptr, 'c'},
        {"expect", required_argument, nullptr, expect_option},
        {"slot", no_argument, nullptr, slot_option},
        {"quiet", no_argument, nullptr, 'q'},
        {"status", no_argument, nullptr, status_option},
        {"wait", required_argument, nullptr, wait_option},
        {"help", no_argument, nullptr, help_option},
        {"version", no_argument, nullptr, version_option},
        {nullptr, 0, nullptr, 0},
    };
    const char* records = nullptr;
    expected_seal expected{};
    // Its own messages would show the argument raw; complain() escapes it.
    opterr = 0;
    options.error_form = imgseal::text_form_for(stderr);
    for (int option = 0; (option = getopt_long(argc, argv, "c:q", long_options, nullptr)) != -1;) {
        switch (option) {
            case 'c':
                records = optarg;
                break;
            case 'q':
                options.quiet = true;
                break;
            case expect_option:
                if (!parse_expect(optarg, expected)) {
                    usage_error("--expect takes LENGTH,CHECKSUM, as in --expect=2024,DEAC");
                }
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
                if (!parse_number(text, seconds) || *text != '\0') {
                    usage_error("--wait takes a whole number of seconds, 0 or more");
                }
                options.wait_seconds = seconds;
                break;
            }
            case help_option:
                (void)std::fputs(usage_line, stdout);
                (void)std::fputs(usage_text, stdout);
                return static_cast<int>(exit_status::all_sealed);
            case version_option:
                (void)std::puts("imgseal-verify (imgseal) " IMGSEAL_VERSION);
                return static_cast<int>(exit_status::all_sealed);
            default: {  // the option is not known, or lacks its argument
                // A short option is named by optopt: its argument word may
                // hold more of them.
                const char short_option[3] = {'-', static_cast<char>(optopt), '\0'};
                const bool is_short = optopt > ' ' && optopt < 0x7F;
                complain(is_short ? short_option : argv[optind - 1],
                         "unknown option, or one that lacks its value");
                return static_cast<int>(exit_status::trouble);
            }
        }
    }
    if (records != nullptr && optind < argc) usage_error("-c cannot be combined with images");
    if (records != nullptr && expected.given) usage_error("-c cannot be combined with --expect");
    if (records == nullptr && optind == argc) usage_error(nullptr);
    options.form = imgseal::text_form_for(stdout);

    if (records != nullptr) return static_cast<int>(check_records(records));
    exit_status worst = exit_status::all_sealed;
    for (int i = optind; i < argc; ++i) {
        const exit_status verdict = verify_image(argv[i], expected);
        if (verdict > worst) worst = verdict;
    }
    return static_cast<int>(worst);
}
