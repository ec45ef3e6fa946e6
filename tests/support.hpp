// What the tool tests share: a runner for the built tool, failure injection,
// files, and a fresh directory for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "image_builder.hpp"

namespace imgseal_test {

struct run_result {
    int status;  // the exit status, or 128 + the signal that ended the tool
    std::string out;
    std::string err;
};

// Where the tool runs, and what its standard input and output are.
struct run_setup {
    std::filesystem::path working_dir;  // empty: the tests' own
    bool reader_gone = false;           // a pipe whose reader has exited; `out` stays empty
    int input = -1;                     // standard input; -1: /dev/null
    int output = -1;                    // standard output; -1: read back into `out`
};

// Runs `prefix... imgseal args...` with standard input from /dev/null (or
// `setup.input`) and SIGPIPE at its default action, as from a shell. When
// `merge_streams` is set, both streams go to one file, returned in `out`.
run_result run_tool(const std::vector<std::string>& args,
                    const std::vector<std::string>& prefix = {}, bool merge_streams = false,
                    const run_setup& setup = {});

// Runs imgseal-verify with `args`, as run_tool runs imgseal.
run_result run_verify(const std::vector<std::string>& args,
                      const std::vector<std::string>& prefix = {}, const run_setup& setup = {});

// Runs imgseal-pack with `args`, as run_tool runs imgseal.
run_result run_pack(const std::vector<std::string>& args,
                    const std::vector<std::string>& prefix = {}, const run_setup& setup = {});

// As run_tool, with standard output on a pseudo-terminal, and standard error
// too when `errors_too` is set (both then come back in `out`). The terminal is
// in raw mode, so that it passes the program's bytes on unchanged ("\n"
// included). LC_ALL is `locale`.
run_result run_tool_on_terminal(const std::vector<std::string>& args,
                                const char* program = IMGSEAL_BINARY,
                                const char* locale = "C.UTF-8", bool errors_too = false);

// The prefix that runs the tool under strace with `inject`, an injection
// expression counted over the calls on `path` only, or over all calls where
// `path` is empty.
std::vector<std::string> under_strace(const std::string& path, const std::string& inject);

// The prefix that makes the Nth `call` on `path` fail with `error`.
std::vector<std::string> inject_failure(const std::string& path, const std::string& call,
                                        const std::string& error, int nth);

// The prefix that runs the tool with every call on `path` logged to `log`.
std::vector<std::string> traced(const std::string& path, const std::string& log);

// The word lists given (prefixes, arguments), one after another, as one.
std::vector<std::string> chained(std::initializer_list<std::vector<std::string>> lists);

// The prefixes that give the tool the file at `path` on standard input
// through a pipe, and as the file itself.
std::vector<std::string> piped_from(const std::string& path);
std::vector<std::string> redirected_from(const std::string& path);

// The loop device that `path` is attached to, or "" where none can be
// attached here; the caller detaches it.
std::string attach_loop_device(const std::string& path);

// What the preloaded fault library does to the calls on one image (0: nothing).
struct io_faults {
    std::size_t read_cap = 0;      // reads of more than 2000 bytes return at most this many
    std::size_t write_cap = 0;     // write() moves at most this many bytes
    int pwrite_error = 0;          // pwrite() fails with this error number
    bool pwrite_zero = false;      // pwrite() returns 0
    bool fail_mmap = false;        // mapping the image fails with ENODEV
    int rewrite_at = 0;            // another writer flips the image's first byte
                                   // before the pass's Nth window or read
    bool keep_times = false;       // and then sets its modification time back
    int rewrite_in_flush = 0;      // 1: it does so inside fdatasync() instead
    int pread_change_at = 0;       // it does so before the Nth pread() of a block
    bool shrink = false;           // and cuts the image to half its size instead
    bool mapping_cheaper = false;  // the pass finds mapping cheaper than reading
};

// The prefix that runs the tool with the fault library preloaded for `path`.
std::vector<std::string> with_io_faults(const std::string& path, const io_faults& faults);

// The SHA-256 of `size` bytes, as sha256sum prints it.
std::string sha256_hex(const std::uint8_t* data, std::size_t size);
// The same of the first `size` bytes of the file at `path`, read in pieces.
std::string sha256_hex_of_file(const std::string& path, std::size_t size);

// What follows the path on imgseal-verify's OK line for a sealed image whose
// bytes (or a slot's, from its start) are `image`: "OK, Length = N, Checksum
// XXXX[, CRC-32 XXXXXXXX], SHA-256 H", from its descriptor's fields, its CRC
// field where it carries one, and the digest of its first N bytes.
std::string record_of(const bytes& image);

// What imgseal-verify says where a read-back's bytes `read` differ from the
// image of --same-as at `expected_path`, whose bytes are `expected`: the first
// byte that differs, and both its values.
std::string differs_line(const std::string& expected_path, const bytes& expected,
                         const bytes& read);

// A copy of a sealed image with the 2-byte words at the even offsets `a` and
// `b` exchanged: other bytes under the same seal, which a 16-bit sum cannot see.
bytes words_swapped(bytes image, std::size_t a, std::size_t b);

// The expected standard output of a run that seals an image.
std::string sealed_output(const std::string& name, std::uint32_t length, std::uint16_t checksum);

bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const bytes& data);
std::string read_text(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, const std::string& text);

// The trial's image, from the packer and sealed by imgseal in `dir`
// (app.bin, app.img): 94,208 bytes, so that the seal's 32-bit sum cannot
// wrap, its binary holding zero regions, its last 2 KiB among them.
bytes packed_trial_image(const std::filesystem::path& dir);

// Whether the seal alone passes a changed copy of a sealed image whose
// descriptor is at 8, as the format defines it: the length is the size, and
// the sum with the stamp taken as zero is the checksum field.
bool seal_passes(bytes image);

// Each test gets a fresh directory, removed afterwards.
class tool_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path dir_;
    std::string image_path_;  // dir_/image.bin
    // Writes `data` as the image and returns its path.
    const std::string& put_image(const bytes& data);
};

}  // namespace imgseal_test
