// The tests' image builder, reference checksum and tool runner.
#include "support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace imgseal_test {

bytes random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    bytes data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(generator());
    return data;
}

bytes build_image(const image_spec& spec) {
    const std::size_t minimum = std::size_t{spec.descriptor_offset} + 16 + 2000;
    const std::size_t size = spec.size != 0 ? spec.size : minimum;
    bytes image =
        spec.content_seed != 0 ? random_bytes(size, spec.content_seed) : bytes(size, spec.fill);
    const std::size_t d = spec.descriptor_offset;
    for (int i = 0; i < 4; ++i) {
        image.at(4 + static_cast<std::size_t>(i)) =
            static_cast<std::uint8_t>(spec.descriptor_offset >> (24 - 8 * i));
    }
    image.at(d + 8) = spec.signature;
    image.at(d + 9) = 0;
    for (std::size_t i = 10; i < 16; ++i) image.at(d + i) = 0;
    for (std::size_t i = 0; i < spec.name.size(); ++i) {
        image.at(d + 16 + i) = static_cast<std::uint8_t>(spec.name[i]);
    }
    if (spec.name.size() < 2000) image.at(d + 16 + spec.name.size()) = 0;
    return image;
}

reference_result reference_checksum(const std::uint8_t* data, std::size_t size) {
    std::uint32_t word_sum = 0;
    std::uint32_t padded_length = 0;
    bool odd_tail = false;
    for (std::size_t i = 0; i < size; i += 2) {
        std::uint8_t unit[2] = {data[i], 0};
        if (i + 1 < size) {
            unit[1] = data[i + 1];
        } else {
            odd_tail = true;
        }
        word_sum += std::uint32_t{unit[0]} << 8 | unit[1];
        padded_length += 2;
    }
    word_sum += padded_length & 0xFFFF;
    word_sum += padded_length >> 16;
    std::uint32_t e = (word_sum >> 16) + (word_sum & 0xFFFF);
    e += e >> 16;
    return {static_cast<std::uint16_t>(~e), padded_length, odd_tail};
}

bytes sealed_image(const bytes& image, std::uint32_t descriptor_offset) {
    const reference_result want = reference_checksum(image);
    bytes sealed = image;
    const std::size_t at = std::size_t{descriptor_offset} + 10;
    sealed.at(at) = static_cast<std::uint8_t>(want.checksum >> 8);
    sealed.at(at + 1) = static_cast<std::uint8_t>(want.checksum);
    for (std::size_t i = 0; i < 4; ++i) {
        sealed.at(at + 2 + i) = static_cast<std::uint8_t>(want.padded_length >> (24 - 8 * i));
    }
    if (want.odd_tail) sealed.push_back(0);
    return sealed;
}

std::uint16_t load_be16_at(const bytes& data, std::size_t at) {
    return static_cast<std::uint16_t>(data.at(at) << 8 | data.at(at + 1));
}

std::uint32_t load_be32_at(const bytes& data, std::size_t at) {
    return std::uint32_t{load_be16_at(data, at)} << 16 | load_be16_at(data, at + 2);
}

namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

run_result run_tool(const std::vector<std::string>& args, const std::vector<std::string>& prefix,
                    bool merge_streams) {
    char out_template[] = "/tmp/imgseal-out-XXXXXX";
    char err_template[] = "/tmp/imgseal-err-XXXXXX";
    const int out_fd = mkstemp(out_template);
    const int err_fd = mkstemp(err_template);
    if (out_fd == -1 || err_fd == -1) std::abort();

    std::vector<std::string> words = prefix;
    words.push_back(IMGSEAL_BINARY);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(merge_streams ? out_fd : err_fd, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
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

std::vector<std::string> inject_failure(const std::string& path, const std::string& call,
                                        const std::string& error, int nth) {
    // -P counts only the calls on the image; every other call runs as usual.
    return {"strace",
            "-o",
            "/dev/null",
            "-P",
            path,
            "-e",
            "inject=" + call + ":error=" + error + ":when=" + std::to_string(nth)};
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

}  // namespace imgseal_test
