// What the tests share: the image builder, a reference checksum written the
// plain unit-by-unit way, and a runner for the built tool.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace imgseal_test {

using bytes = std::vector<std::uint8_t>;

// A valid unsealed image: content of the fill byte unless a seed asks for
// pseudo-random bytes, the header pointing at the descriptor, the signature byte, zero stamp
// fields and the name. Size 0 means just large enough for header, descriptor
// and name.
struct image_spec {
    std::uint32_t descriptor_offset = 8;
    std::string name = "abc";
    std::uint8_t signature = 0x55;
    std::size_t size = 0;
    std::uint32_t content_seed = 0;
    std::uint8_t fill = 0;
};
bytes build_image(const image_spec& spec);

// Pseudo-random bytes, the same for the same seed.
bytes random_bytes(std::size_t size, std::uint32_t seed);

// The checksum pass as the format defines it: big-endian 2-byte units, a final
// single byte as a high-order byte, a 32-bit sum that wraps, the length's two
// halves, one fold, the complement.
struct reference_result {
    std::uint16_t checksum;
    std::uint32_t padded_length;
    bool odd_tail;
};
reference_result reference_checksum(const std::uint8_t* data, std::size_t size);
inline reference_result reference_checksum(const bytes& data) {
    return reference_checksum(data.data(), data.size());
}

// What sealing `image` must leave on disk: the reference checksum and padded
// length in the descriptor, and the fill byte after an odd-sized image.
bytes sealed_image(const bytes& image, std::uint32_t descriptor_offset);

std::uint16_t load_be16_at(const bytes& data, std::size_t at);
std::uint32_t load_be32_at(const bytes& data, std::size_t at);

struct run_result {
    int status;  // the exit status, or 128 + the signal that ended the tool
    std::string out;
    std::string err;
};

// Runs `prefix... imgseal args...` with standard input from /dev/null.
// When `merge_streams` is set, both streams go to one file, returned in `out`.
run_result run_tool(const std::vector<std::string>& args,
                    const std::vector<std::string>& prefix = {}, bool merge_streams = false);

// The prefix that makes the Nth `call` on `path` fail with `error`.
std::vector<std::string> inject_failure(const std::string& path, const std::string& call,
                                        const std::string& error, int nth);

// The expected standard output of a run that seals an image.
std::string sealed_output(const std::string& name, std::uint32_t length, std::uint16_t checksum);

bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const bytes& data);

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
