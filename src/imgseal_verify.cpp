// imgseal-verify [OPTION]... IMAGE...: checks that each image is sealed and
// that its seal matches its bytes, and its CRC where it carries one, without
// changing it, and, with -c, --expect or --same-as, that it is the image
// recorded or expected; with --find, which records an image matches. Prints
// one line per image, in the order given; the exit status sums them up.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "image_crc.hpp"
#include "image_digest.hpp"
#include "image_file.hpp"
#include "record_line.hpp"
#include "run.hpp"
#include "same_bytes.hpp"
#include "seal_check.hpp"
#include "terminal_text.hpp"
#include "verdict_text.hpp"
#include "verify_command.hpp"

namespace {

using imgseal::expected_seal;
using imgseal::outcome;
using imgseal::seal_verdict;

// The run ends with exactly one of these; nothing else is ever returned.
enum class exit_status : int {
    all_sealed = 0,  // every image is sealed and matches its seal (and its record)
    failed = 1,      // at least one image does not, or matches no record, and
                     // every image was checked
    trouble = 2,     // at least one image could not be checked, no image was
                     // named, the command line was wrong, a line of the
                     // records was not a record, or the output could not be
                     // written
};

// The command line, and the forms that paths are shown in.
imgseal::verify_command options;
imgseal::text_form output_form = imgseal::text_form::raw;
imgseal::text_form error_form = imgseal::text_form::raw;

// `path` as the lines of records have it where it starts a line on standard
// output (`record`).
void print_path(std::FILE* stream, const char* path, bool record = false) {
    imgseal::print_line_path(stream, path, stream == stdout ? output_form : error_form, record);
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

exit_status worse(exit_status a, exit_status b) { return a > b ? a : b; }

// The image's line: its path, written before any wait when OK lines are
// shown, or with its verdict otherwise.
const char* line_path = nullptr;
bool line_started = false;

void start_line(const char* path) {
    line_path = path;
    line_started = false;
    if (!options.quiet && !options.status_only) {
        print_path(stdout, path, true);
        flush_output();
        line_started = true;
    }
}

// Ends the image's line with `text`, unless the settings keep it off; an OK
// line is one of status 0.
exit_status end_line(exit_status verdict, const char* text) {
    if (options.status_only || (options.quiet && verdict == exit_status::all_sealed)) {
        return verdict;
    }
    if (!line_started) print_path(stdout, line_path, true);
    line_started = false;
    (void)std::printf(": %s\n", text);
    flush_output();
    return verdict;
}

exit_status status_of(imgseal::verdict_class verdict) {
    return verdict == imgseal::verdict_class::ok       ? exit_status::all_sealed
           : verdict == imgseal::verdict_class::failed ? exit_status::failed
                                                       : exit_status::trouble;
}

char verdict_text[imgseal::verdict_text_size];

exit_status image_error(const outcome& error) {
    (void)std::snprintf(verdict_text, sizeof verdict_text, "ERROR: %s", imgseal::describe(error));
    return end_line(exit_status::trouble, verdict_text);
}

// Where standard output and error would write into an image or the records
// (redirected into it, or into a device node or loop device of it), the run
// ends before a line goes there: the refusal goes to the stream that is not
// the file, or nowhere. `what` names the file.
void guard_output(const char* path, const imgseal::storage& file, const char* what) {
    const imgseal::output_into into = imgseal::streams_into(file);
    if (!into.out && !into.err) return;
    char message[64];
    (void)std::snprintf(message, sizeof message, "Refusing to write output into the %s", what);
    errors_silenced = errors_silenced || into.err;
    if (!into.err) {
        complain(path, message);
    } else if (!into.out) {
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

// Waits for any seal in progress and checks the open image, `observer` riding
// on its pass; the image is closed unless `keep` is set. The lock is gone
// before the verdict is written, so that a reader of the output that stops
// never holds up a seal.
imgseal::seal_report check_open_image(int fd, imgseal::seal_scope scope,
                                      const imgseal::block_observer* observer, bool keep = false) {
    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    switch (imgseal::lock_image_file_within(fd, F_RDLCK, options.wait_seconds)) {
        case imgseal::lock_result::held:
            report = imgseal::check_seal_of_file(fd, scope, observer);
            break;
        case imgseal::lock_result::busy:
            report.error = locked_by_another;
            break;
        case imgseal::lock_result::failed:
            report.error = imgseal::system_fault(imgseal::fault::open_failed);
            break;
    }
    if (!keep) (void)close(fd);  // read-only: nothing to lose
    return report;
}

// The image of --same-as, open and locked for the whole run, and its state
// once its own seal was checked: each image is compared with its bytes.
struct sealed_image {
    const char* path = nullptr;
    int fd = -1;
    imgseal::file_state state{};
} same_as;

// What rides on the pass over an image: its CRC check, its SHA-256, where its
// line or its record asks for one, and the comparison with the image of
// --same-as.
struct riders {
    imgseal::crc_check crc;
    bool digest;
    imgseal::sha256_pass sha256;
    bool compare;
    imgseal::byte_comparison comparison;
} ride;

outcome take_block(void* context, const std::uint8_t* data, std::size_t size) {
    auto& taking = *static_cast<riders*>(context);
    (void)imgseal::crc_check_take(&taking.crc, data, size);
    if (taking.digest) (void)imgseal::sha256_take(&taking.sha256, data, size);
    return taking.compare ? imgseal::comparison_take(&taking.comparison, data, size)
                          : imgseal::succeeded;
}

// The CRC alone needs no byte of an image that carries none.
bool wants_blocks(void* context, std::uint32_t descriptor_offset,
                  const std::uint8_t (&descriptor)[imgseal::descriptor_size]) {
    const auto& taking = *static_cast<const riders*>(context);
    return taking.digest || taking.compare || imgseal::carries_crc(descriptor_offset, descriptor);
}
const imgseal::block_observer riding{take_block, &ride, wants_blocks};

constexpr outcome reference_changed{imgseal::fault::read_failed, 0,
                                    "the image of --same-as changed during the check"};

// Checks the image at `path` (- for standard input) and puts the words of its
// line into verdict_text; `image` gets what an OK line would record of it.
// Where it differs from the image of --same-as, ride.comparison says where.
imgseal::verdict_class check_image(const char* path, const expected_seal& expected,
                                   imgseal::image_record& image, bool digest) {
    imgseal::crc_check_begin(ride.crc);
    ride.digest = digest;
    ride.compare = same_as.fd != -1;
    imgseal::sha256_begin(ride.sha256);
    imgseal::comparison_begin(ride.comparison, same_as.fd, expected.record.seal.length);
    imgseal::seal_report report{};
    if (std::strcmp(path, "-") == 0) {
        guard_output(path, imgseal::storage_of(STDIN_FILENO), "image");
        start_line(path);
        report = imgseal::check_seal_stream(STDIN_FILENO, options.scope, &riding);
    } else {
        int fd = -1;
        report.verdict = seal_verdict::system_error;
        report.error = open_image(path, options.scope, fd);
        start_line(path);
        if (!report.error.failed()) report = check_open_image(fd, options.scope, &riding);
    }
    if (report.verdict == seal_verdict::ok && ride.compare &&
        imgseal::compare_file_state(same_as.fd, same_as.state).failed()) {
        report.verdict = seal_verdict::system_error;
        report.error = reference_changed;
    }
    image = {};
    image.has_sha256 = ride.digest && report.verdict == seal_verdict::ok;
    if (image.has_sha256) imgseal::sha256_end(ride.sha256, image.sha256);
    // A read-back that differs from the image of --same-as gets the
    // comparison's line, which says where: that image's CRC passed, so a CRC
    // that fails here is such a difference.
    imgseal::crc_found crc = imgseal::crc_check_end(ride.crc);
    if (ride.compare && ride.comparison.differs) crc.computed = crc.stored;
    return imgseal::judge_seal(verdict_text, report, options.scope, expected, crc,
                               options.require_crc, image);
}

// Whether an image's SHA-256 is needed: for its OK line, or for its record.
bool digest_for(const expected_seal& expected) {
    return (!options.quiet && !options.status_only) ||
           (expected.source == expected_seal::from::record && expected.record.has_sha256);
}

exit_status verify_image(const char* path, const expected_seal& expected) {
    imgseal::image_record image{};
    const imgseal::verdict_class verdict = check_image(path, expected, image, digest_for(expected));
    const imgseal::byte_comparison& compared = ride.comparison;
    if (verdict != imgseal::verdict_class::ok || !ride.compare || !compared.differs) {
        return end_line(status_of(verdict), verdict_text);
    }
    // The sealed image's path is shown as every path is.
    if (!options.status_only) {
        if (!line_started) print_path(stdout, path, true);
        line_started = false;
        (void)std::fputs(": FAILED: differs from ", stdout);
        print_path(stdout, same_as.path);
        (void)std::printf(" at byte %llu (%02X expected, %02X read)\n",
                          static_cast<unsigned long long>(compared.at), compared.expected,
                          compared.found);
        flush_output();
    }
    return exit_status::failed;
}

// The image that --same-as names, checked first and always as a whole image,
// gives the seal and the bytes that every image must have. If it does not
// verify, nothing else is checked.
void take_seal_of(const char* path, expected_seal& expected) {
    int fd = -1;
    imgseal::seal_report report{};
    report.verdict = seal_verdict::system_error;
    report.error = open_image(path, imgseal::seal_scope::whole_image, fd);
    // Checked before any other image: only its CRC rides.
    imgseal::crc_check_begin(ride.crc);
    if (!report.error.failed()) {
        report = check_open_image(fd, imgseal::seal_scope::whole_image, &riding, true);
    }
    imgseal::image_record image{};
    if (report.verdict == seal_verdict::ok) {
        report.error = imgseal::record_file_state(fd, same_as.state);
        if (report.error.failed()) report.verdict = seal_verdict::system_error;
    }
    report.passes_as_slot = false;  // no --slot reaches this image: it is whole
    if (imgseal::judge_seal(verdict_text, report, imgseal::seal_scope::whole_image, {},
                            imgseal::crc_check_end(ride.crc), options.require_crc,
                            image) != imgseal::verdict_class::ok) {
        (void)std::fputs("imgseal-verify: --same-as ", stderr);
        print_path(stderr, path);
        (void)std::fprintf(stderr, ": %s\n", verdict_text);
        finish(exit_status::trouble);
    }
    same_as = {path, fd, same_as.state};
    expected.source = expected_seal::from::option;
    expected.record.seal = {report.length, report.checksum};
}

imgseal::record_reader reader;
imgseal::record_line line;
imgseal::records_file records{nullptr, -1, -1, {}};

// The one reading of records: from where records.fd stands, each record goes
// to `visit(path, record)`, whose statuses are summed up. With `warn`, each
// line that is no record gets a warning, a record of 1.2.0 whose path begins
// with # gets one, and records that hold none are trouble. Records that
// cannot be read are trouble, said once. Records that were rewritten since
// they were opened end the run before anything is said of a line: the guard
// looked up the paths of the first reading only.
template <typename Visit>
exit_status read_records(bool warn, Visit visit) {
    imgseal::start_reading(reader, records.fd);
    exit_status worst = exit_status::all_sealed;
    unsigned long found = 0;
    for (;;) {
        char* path = nullptr;
        imgseal::image_record record{};
        const imgseal::record_read read = imgseal::next_record(reader, line, path, record);
        if (read == imgseal::record_read::end) break;
        if (records.start != -1 &&
            imgseal::compare_file_state(records.fd, records.state).failed()) {
            complain(records.name, "the records changed during the check");
            finish(exit_status::trouble);
        }
        const char* warning = read == imgseal::record_read::not_record ? "not a record"
                              : read == imgseal::record_read::hash_record
                                  ? "a record of 1.2.0 whose path begins with #: checked, not "
                                    "taken for a comment"
                                  : nullptr;
        if (warn && warning != nullptr && !errors_silenced) {
            print_path(stderr, records.name);
            (void)std::fprintf(stderr, ":%lu: %s\n", reader.line_number, warning);
        }
        if (read == imgseal::record_read::not_record) {
            worst = exit_status::trouble;
            continue;
        }
        ++found;
        worst = worse(worst, visit(path, record));
    }
    if (reader.error.failed()) {
        complain(records.name, imgseal::describe(reader.error));
        return exit_status::trouble;
    }
    if (found == 0 && warn) {
        complain(records.name, "no record");
        return exit_status::trouble;
    }
    return worst;
}

void rewind_records() {
    if (lseek(records.fd, records.start, SEEK_SET) == -1) {
        complain(records.name, std::strerror(errno));
        finish(exit_status::trouble);
    }
}

// Checks every image that the records name, in their order.
exit_status check_records() {
    constexpr outcome names_stdin{imgseal::fault::open_failed, 0,
                                  "a record cannot name standard input"};
    return read_records(true, [&](const char* path, const imgseal::image_record& record) {
        if (std::strcmp(path, "-") == 0) {
            start_line(path);
            return image_error(names_stdin);
        }
        expected_seal expected{};
        expected.source = expected_seal::from::record;
        expected.record = record;
        return verify_image(path, expected);
    });
}

// Whether --find has read the records once, with their warnings: at the
// first image looked up, or after the last image where none was.
bool records_read = false;

// A line for each record that the image at `path` matches, or one that says
// it matches none, or that the records cannot be read.
exit_status find_image(const char* path) {
    imgseal::image_record image{};
    const imgseal::verdict_class verdict = check_image(path, {}, image, true);
    if (verdict != imgseal::verdict_class::ok) return end_line(status_of(verdict), verdict_text);
    if (records_read) rewind_records();
    unsigned long matches = 0;
    const exit_status read =
        read_records(!std::exchange(records_read, true),
                     [&](const char* recorded, const imgseal::image_record& record) {
                         if (!imgseal::record_matches(record, image))
                             return exit_status::all_sealed;
                         if (matches++ != 0) start_line(path);
                         if (options.quiet || options.status_only) return exit_status::all_sealed;
                         if (!line_started) print_path(stdout, path, true);
                         line_started = false;
                         (void)std::fputs(": matches ", stdout);
                         print_path(stdout, recorded);
                         imgseal::format_record(verdict_text, sizeof verdict_text, record);
                         (void)std::printf(": %s\n", verdict_text);
                         flush_output();
                         return exit_status::all_sealed;
                     });
    if (matches == 0) {
        end_line(exit_status::failed,
                 reader.error.failed() ? "ERROR: the records cannot be read" : "no record matches");
    }
    return worse(read, matches == 0 ? exit_status::failed : exit_status::all_sealed);
}

// The guard, one decision before the first message: standard output and
// error are compared with the records file, with every path that the command
// line names, and with every path that the records name where they can be
// read twice, in a first reading that only looks the paths up.
void guard_everything(const char* argument_into) {
    // Lines written into the records would be read back as records, for ever.
    if (records.fd != -1) guard_output(records.name, imgseal::storage_of(records.fd), "records");
    if (argument_into != nullptr) guard_image(argument_into);
    if (records.fd == -1 || records.start == -1) return;
    (void)read_records(false, [](const char* path, const imgseal::image_record&) {
        if (std::strcmp(path, "-") != 0) guard_image(path);
        return exit_status::all_sealed;
    });
    if (reader.error.failed()) finish(exit_status::trouble);
    rewind_records();
}

}  // namespace

int main(int argc, char** argv) {
    if (imgseal::hold_standard_streams().failed()) return static_cast<int>(exit_status::trouble);
    imgseal::block_on_standard_output();
    error_form = imgseal::text_form_for(stderr);
    const char* argument_into = imgseal::argument_written_into(argc, argv);
    options = imgseal::read_verify_command(argc, argv);
    const char* records_name = options.records != nullptr ? options.records : options.find;
    outcome opened = imgseal::succeeded;
    if (records_name != nullptr) opened = imgseal::open_records(records_name, records);
    guard_everything(argument_into);
    switch (options.what) {
        case imgseal::verify_command::action::help:
            (void)std::fputs(imgseal::verify_usage_line, stdout);
            (void)std::fputs(imgseal::verify_usage_text, stdout);
            finish(exit_status::all_sealed);
        case imgseal::verify_command::action::version:
            (void)std::puts("imgseal-verify (imgseal) " IMGSEAL_VERSION);
            finish(exit_status::all_sealed);
        case imgseal::verify_command::action::mistake:
            if (options.argument != nullptr) {
                complain(options.argument, options.mistake);
            } else if (options.mistake != nullptr && !errors_silenced) {
                (void)std::fprintf(stderr, "imgseal-verify: %s\n", options.mistake);
            } else if (!errors_silenced) {
                (void)std::fputs(imgseal::verify_usage_line, stderr);
            }
            finish(exit_status::trouble);
        case imgseal::verify_command::action::run:
            break;
    }
    if (opened.failed()) {
        complain(records_name, imgseal::describe(opened));
        finish(exit_status::trouble);
    }
    if (options.find != nullptr && records.start == -1 && options.images > 2) {
        complain(options.find, "records that cannot be read twice are searched for one IMAGE only");
        finish(exit_status::trouble);
    }
    output_form = imgseal::text_form_for(stdout);
    expected_seal expected = options.expected;
    if (options.records != nullptr) finish(check_records());
    if (options.same_as != nullptr) take_seal_of(options.same_as, expected);
    exit_status worst = exit_status::all_sealed;
    for (int i = 1; i < options.images; ++i) {
        worst = worse(
            worst, options.find != nullptr ? find_image(argv[i]) : verify_image(argv[i], expected));
    }
    // Records with no record, or a line that is none, are trouble all the same.
    if (options.find != nullptr && !records_read) {
        worst = worse(worst, read_records(true, [](const char*, const imgseal::image_record&) {
                          return exit_status::all_sealed;
                      }));
    }
    finish(worst);
}
