// The tool runner, failure injection and the per-test directory.
#include "support.hpp"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace imgseal_test {

namespace {

// Sanitizer options for a run of the tool: the caller's, and `extra`.
std::string asan_options(const std::string& extra) {
    const char* options = std::getenv("ASAN_OPTIONS");
    std::string result = "ASAN_OPTIONS=";
    if (options != nullptr && *options != '\0') result += std::string(options) + ":";
    return result + extra;
}

std::vector<std::string> command_words(const std::vector<std::string>& prefix, const char* program,
                                       const std::vector<std::string>& args) {
    std::vector<std::string> words = prefix;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// The argument vector for exec, pointing into `words`.
std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

run_result run_program(const char* program, const std::vector<std::string>& args,
                       const std::vector<std::string>& prefix, bool merge_streams,
                       const run_setup& setup) {
    char out_template[] = "/tmp/imgseal-out-XXXXXX";
    char err_template[] = "/tmp/imgseal-err-XXXXXX";
    const int out_fd = mkstemp(out_template);
    const int err_fd = mkstemp(err_template);
    if (out_fd == -1 || err_fd == -1) std::abort();
    // The reader's end is closed before the tool starts: every line it
    // writes meets a pipe with no reader.
    int pipe_fds[2] = {-1, -1};
    if (setup.reader_gone && (pipe(pipe_fds) == -1 || close(pipe_fds[0]) == -1)) std::abort();

    std::vector<std::string> words = command_words(prefix, program, args);
    const std::vector<char*> argv = argv_of(words);

    const pid_t child = fork();
    if (child == 0) {
        // An ignored signal stays ignored across exec: the test's own
        // disposition must not hide what the tool does about it.
        (void)signal(SIGPIPE, SIG_DFL);
        if (!setup.working_dir.empty() && chdir(setup.working_dir.c_str()) == -1) _exit(127);
        dup2(setup.input != -1 ? setup.input : open("/dev/null", O_RDONLY), 0);
        dup2(setup.reader_gone ? pipe_fds[1] : setup.output != -1 ? setup.output : out_fd, 1);
        dup2(merge_streams ? 1 : err_fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (setup.reader_gone) close(pipe_fds[1]);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    close(out_fd);
    close(err_fd);

    run_result result{};
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = slurp(out_template);
    result.err = slurp(err_template);
    std::remove(out_template);
    std::remove(err_template);
    return result;
}

}  // namespace

run_result run_tool(const std::vector<std::string>& args, const std::vector<std::string>& prefix,
                    bool merge_streams, const run_setup& setup) {
    return run_program(IMGSEAL_BINARY, args, prefix, merge_streams, setup);
}

run_result run_verify(const std::vector<std::string>& args, const std::vector<std::string>& prefix,
                      const run_setup& setup) {
    return run_program(IMGSEAL_VERIFY_BINARY, args, prefix, false, setup);
}

run_result run_pack(const std::vector<std::string>& args, const std::vector<std::string>& prefix,
                    const run_setup& setup) {
    return run_program(IMGSEAL_PACK_BINARY, args, prefix, false, setup);
}

run_result run_tool_on_terminal(const std::vector<std::string>& args, const char* program,
                                const char* locale, bool errors_too) {
    int terminal = -1;
    int tool_side = -1;
    if (openpty(&terminal, &tool_side, nullptr, nullptr, nullptr) == -1) std::abort();
    termios mode{};
    if (tcgetattr(tool_side, &mode) == -1) std::abort();
    cfmakeraw(&mode);
    if (tcsetattr(tool_side, TCSANOW, &mode) == -1) std::abort();
    char err_template[] = "/tmp/imgseal-err-XXXXXX";
    const int err_fd = mkstemp(err_template);
    if (err_fd == -1) std::abort();

    std::vector<std::string> words = command_words({}, program, args);
    const std::vector<char*> argv = argv_of(words);

    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(tool_side, 1);
        dup2(errors_too ? tool_side : err_fd, 2);
        close(tool_side);
        close(terminal);
        setenv("LC_ALL", locale, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(tool_side);
    close(err_fd);
    // Read while the tool runs: a long line would fill the terminal's buffer.
    // The read fails with EIO once the tool has closed its side.
    run_result result{};
    char buffer[4096];
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, static_cast<std::size_t>(got));
    }
    close(terminal);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.err = slurp(err_template);
    std::remove(err_template);
    return result;
}

std::vector<std::string> under_strace(const std::string& path, const std::string& inject) {
    // A sanitizer's leak check cannot stop the world under a tracer.
    // -P counts only the calls on the image; every other call runs as usual.
    std::vector<std::string> prefix = {"env", asan_options("detect_leaks=0"), "strace", "-o",
                                       "/dev/null"};
    if (!path.empty()) prefix.insert(prefix.end(), {"-P", path});
    prefix.insert(prefix.end(), {"-e", "inject=" + inject});
    return prefix;
}

std::vector<std::string> traced(const std::string& path, const std::string& log) {
    return {"env", asan_options("detect_leaks=0"), "strace", "-o", log, "-P", path};
}

std::vector<std::string> chained(std::initializer_list<std::vector<std::string>> lists) {
    std::vector<std::string> words;
    for (const auto& list : lists) words.insert(words.end(), list.begin(), list.end());
    return words;
}

std::vector<std::string> piped_from(const std::string& path) {
    return {"sh", "-c", "cat \"$0\" | exec \"$@\"", path};
}

std::vector<std::string> redirected_from(const std::string& path) {
    return {"sh", "-c", "exec \"$@\" <\"$0\"", path};
}

std::string attach_loop_device(const std::string& path) {
    FILE* losetup = popen(("losetup -f --show '" + path + "' 2>/dev/null").c_str(), "r");
    if (losetup == nullptr) return "";
    char device[64] = {};
    const bool attached = std::fgets(device, sizeof device, losetup) != nullptr;
    pclose(losetup);
    return attached ? std::string(device, std::strcspn(device, "\n")) : "";
}

std::vector<std::string> with_io_faults(const std::string& path, const io_faults& faults) {
    // The sanitizer's runtime must otherwise come first among the libraries,
    // and its leak check cannot run under a tracer, which may come first.
    return {"env",
            asan_options("verify_asan_link_order=0:detect_leaks=0"),
            std::string("LD_PRELOAD=") + IO_FAULTS_LIBRARY,
            "IO_FAULTS_IMAGE=" + path,
            "IO_FAULTS_READ_CAP=" + std::to_string(faults.read_cap),
            "IO_FAULTS_WRITE_CAP=" + std::to_string(faults.write_cap),
            "IO_FAULTS_PWRITE_ERROR=" + std::to_string(faults.pwrite_error),
            std::string("IO_FAULTS_PWRITE_ZERO=") + (faults.pwrite_zero ? "1" : "0"),
            std::string("IO_FAULTS_FAIL_MMAP=") + (faults.fail_mmap ? "1" : "0"),
            "IO_FAULTS_REWRITE_AT=" + std::to_string(faults.rewrite_at),
            std::string("IO_FAULTS_KEEP_TIMES=") + (faults.keep_times ? "1" : "0"),
            "IO_FAULTS_REWRITE_IN_FLUSH=" + std::to_string(faults.rewrite_in_flush),
            "IO_FAULTS_PREAD_CHANGE_AT=" + std::to_string(faults.pread_change_at),
            std::string("IO_FAULTS_SHRINK=") + (faults.shrink ? "1" : "0"),
            std::string("IO_FAULTS_MAPPING_CHEAPER=") + (faults.mapping_cheaper ? "1" : "0")};
}

std::vector<std::string> inject_failure(const std::string& path, const std::string& call,
                                        const std::string& error, int nth) {
    return under_strace(path, call + ":error=" + error + ":when=" + std::to_string(nth));
}

namespace {

std::string hex_digest(sha256_ctx& context) {
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    std::string hex;
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

}  // namespace

std::string sha256_hex(const std::uint8_t* data, std::size_t size) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, size, data);
    return hex_digest(context);
}

std::string sha256_hex_of_file(const std::string& path, std::size_t size) {
    sha256_ctx context;
    sha256_init(&context);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (size > 0 &&
           in.read(buffer.data(), static_cast<std::streamsize>(std::min(buffer.size(), size)))) {
        const auto got = static_cast<std::size_t>(in.gcount());
        sha256_update(&context, got, reinterpret_cast<const std::uint8_t*>(buffer.data()));
        size -= got;
    }
    return hex_digest(context);
}

std::string record_of(const bytes& image) {
    const std::uint32_t descriptor = load_be32_at(image, 4);
    const std::uint32_t length = load_be32_at(image, descriptor + 12);
    char seal[80];
    const int written = std::snprintf(seal, sizeof seal, "OK, Length = %u, Checksum %04X", length,
                                      load_be16_at(image, descriptor + 10));
    // The CRC field of an image whose descriptor lies at 8 and begins with the marker.
    if (descriptor == 8 && load_be32_at(image, 8) == 0x89435243) {
        std::snprintf(seal + written, sizeof seal - static_cast<std::size_t>(written),
                      ", CRC-32 %08X", load_be32_at(image, 12));
    }
    return seal +
           (", SHA-256 " + sha256_hex(image.data(), std::min<std::size_t>(length, image.size())));
}

std::string differs_line(const std::string& expected_path, const bytes& expected,
                         const bytes& read) {
    const auto at = static_cast<std::size_t>(
        std::mismatch(expected.begin(), expected.end(), read.begin(), read.end()).first -
        expected.begin());
    if (at == expected.size() || at == read.size()) return ": no byte differs\n";  // fails the test
    char where[64];
    std::snprintf(where, sizeof where, " at byte %zu (%02X expected, %02X read)\n", at,
                  expected[at], read[at]);
    return ": FAILED: differs from " + expected_path + where;
}

bytes words_swapped(bytes image, std::size_t a, std::size_t b) {
    std::swap(image.at(a), image.at(b));
    std::swap(image.at(a + 1), image.at(b + 1));
    return image;
}

std::string sealed_output(const std::string& name, std::uint32_t length, std::uint16_t checksum) {
    char checksum_line[32];
    std::snprintf(checksum_line, sizeof checksum_line, "Checksum %04X\n", checksum);
    return "Name: " + name + "\nLength = " + std::to_string(length) + "\n" + checksum_line;
}

bytes read_file(const std::filesystem::path& path) {
    const std::string text = slurp(path);
    return {text.begin(), text.end()};
}

void write_file(const std::filesystem::path& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

std::string read_text(const std::filesystem::path& path) { return slurp(path); }

void write_text(const std::filesystem::path& path, const std::string& text) {
    write_file(path, bytes(text.begin(), text.end()));
}

void tool_test::SetUp() {
    char dir_template[] = "/tmp/imgseal-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    image_path_ = (dir_ / "image.bin").string();
}

void tool_test::TearDown() { std::filesystem::remove_all(dir_); }

const std::string& tool_test::put_image(const bytes& data) {
    write_file(image_path_, data);
    return image_path_;
}

// The trial's image, from the packer and sealed by imgseal: 94,208 bytes, so
// that the seal's 32-bit sum cannot wrap, its binary holding zero regions,
// its last 2 KiB among them.
bytes packed_trial_image(const std::filesystem::path& dir) {
    bytes binary = random_bytes(92160, 4);
    for (const auto& [begin, end] :
         {std::pair<std::size_t, std::size_t>{10000, 14500}, {40448, 41472}, {90112, 92160}}) {
        std::fill(binary.begin() + static_cast<std::ptrdiff_t>(begin),
                  binary.begin() + static_cast<std::ptrdiff_t>(end), 0);
    }
    write_file(dir / "app.bin", binary);
    EXPECT_EQ(run_pack({"--name=trial", "app.bin", "app.img"}, {}, {.working_dir = dir}).status, 0);
    EXPECT_EQ(run_tool({(dir / "app.img").string()}).status, 0);
    return read_file(dir / "app.img");
}

// Whether the seal alone passes a changed copy of a sealed image whose
// descriptor is at 8, as the format defines it: the length is the size, and
// the sum with the stamp taken as zero is the checksum field.
bool seal_passes(bytes image) {
    const std::uint16_t field = load_be16_at(image, 18);
    const std::uint32_t length = load_be32_at(image, 20);
    std::fill(image.begin() + 18, image.begin() + 24, 0);
    return reference_checksum(image).checksum == field && length == image.size();
}

}  // namespace imgseal_test
