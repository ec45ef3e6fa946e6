// imgseal-verify on images sealed by imgseal: what it finds, the line and the
// status it gives, and that it changes nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "support.hpp"

namespace imgseal_test {
namespace {

using verify = tool_test;

std::string ok_line(const std::string& path, std::uint32_t length, std::uint16_t checksum) {
    char line[64];
    std::snprintf(line, sizeof line, ": OK, Length = %u, Checksum %04X\n", length, checksum);
    return path + line;
}

// Images sealed by imgseal verify, odd and even, with the descriptor at odd
// offsets and large enough for the 32-bit sum to wrap, and the verifier
// leaves them as they are.
TEST_F(verify, ImagesSealedByImgsealVerify) {
    const struct {
        std::uint32_t offset;
        std::size_t size;
    } cases[] = {{8, 2024}, {0, 2017}, {13, 5001}, {4097, 300001}, {7, 3u << 20}};
    for (const auto& c : cases) {
        const bytes image =
            build_image({.descriptor_offset = c.offset, .size = c.size, .content_seed = 17});
        const reference_result want = reference_checksum(image);
        ASSERT_EQ(run_tool({put_image(image)}).status, 0) << c.size;
        const bytes sealed = read_file(image_path_);
        const run_result run = run_verify({image_path_});
        EXPECT_EQ(run.status, 0) << c.size;
        EXPECT_EQ(run.out, ok_line(image_path_, want.padded_length, want.checksum)) << c.size;
        EXPECT_EQ(run.err, "") << c.size;
        EXPECT_EQ(read_file(image_path_), sealed) << c.size;
    }
    // A seal whose checksum is 0000 is a seal (about one in 65,536): the
    // checksum's own value in a zero word at an even offset brings the sum to
    // 0xFFFF.
    bytes image = build_image({.size = 2200, .content_seed = 17});
    image[2100] = image[2101] = 0;
    const std::uint16_t checksum = reference_checksum(image).checksum;
    image[2100] = static_cast<std::uint8_t>(checksum >> 8);
    image[2101] = static_cast<std::uint8_t>(checksum);
    ASSERT_EQ(reference_checksum(image).checksum, 0);
    ASSERT_EQ(run_tool({put_image(image)}).status, 0);
    EXPECT_EQ(run_verify({image_path_}).out, ok_line(image_path_, 2200, 0));
    EXPECT_EQ(run_tool({image_path_}).out, "Non zero length field\n");
}

std::string checksum_line(std::uint16_t field, std::uint16_t computed) {
    char line[64];
    std::snprintf(line, sizeof line, ": FAILED: checksum %04X, computed %04X\n", field, computed);
    return line;
}

// The largest image: an odd image of 2^31 - 1 bytes, its content a hole, is
// sealed to exactly 2^31 bytes, which imgseal-verify accepts with the
// checksum imgseal printed, and which a rerun refuses as sealed. A run whose
// flush of the fill byte fails leaves it 2^31 bytes long and unsealed, and a
// rerun seals it.
TEST_F(verify, ImageSealedTo2GiBVerifies) {
    put_image(build_image({.content_seed = 6}));
    ASSERT_EQ(truncate(image_path_.c_str(), (off_t{1} << 31) - 1), 0);

    const run_result failed =
        run_tool({image_path_}, inject_failure(image_path_, "fdatasync", "EIO", 1));
    EXPECT_EQ(failed.status, 8);
    EXPECT_EQ(failed.err, "Input/output error\n");
    EXPECT_EQ(std::filesystem::file_size(image_path_), std::uintmax_t{1} << 31);
    const run_result seal = run_tool({image_path_});
    ASSERT_EQ(seal.status, 0);
    const std::string checksum_line = seal.out.substr(seal.out.rfind("Checksum "));
    EXPECT_EQ(seal.out, "Name: abc\nLength = 2147483648\n" + checksum_line);
    EXPECT_EQ(std::filesystem::file_size(image_path_), std::uintmax_t{1} << 31);
    const run_result run = run_verify({image_path_});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, image_path_ + ": OK, Length = 2147483648, " + checksum_line);
    const run_result again = run_tool({image_path_});
    EXPECT_EQ(again.status, 6);
    EXPECT_EQ(again.out, "Non zero checksum field\n");
}

// One change to a sealed image (descriptor at 8, stamp at 18 to 23) gives the
// line that names it and status 1, and the image stays as it was.
TEST_F(verify, EachDamageGivesItsFailedLine) {
    const bytes image = build_image({.size = 4001, .content_seed = 5});
    const bytes sealed = sealed_image(image, 8);
    const std::uint16_t checksum = load_be16_at(sealed, 18);
    bytes content = sealed;
    content[3000] ^= 0x01;
    bytes unstamped = content;
    for (std::size_t i = 18; i < 24; ++i) unstamped.at(i) = 0;
    bytes checksum_byte = sealed;
    checksum_byte[19] ^= 0x80;
    bytes length_byte = sealed;
    length_byte[23] = 0x02;
    bytes odd_length = sealed;
    odd_length[23] = 0xA3;
    odd_length.push_back(0);
    bytes cut_in_name(sealed.begin(), sealed.begin() + 2022);
    cut_in_name[22] = 0x07;
    cut_in_name[23] = 0xE6;

    const struct {
        const char* what;
        bytes damaged;
        std::string line;
    } cases[] = {
        {"unsealed", image, ": FAILED: not sealed\n"},
        {"content byte", content, checksum_line(checksum, reference_checksum(unstamped).checksum)},
        {"checksum byte", checksum_byte,
         checksum_line(static_cast<std::uint16_t>(checksum ^ 0x80), checksum)},
        {"length byte", length_byte, ": FAILED: length 3842, file size 4002\n"},
        {"last byte cut off", bytes(sealed.begin(), sealed.end() - 1),
         ": FAILED: length 4002, file size 4001\n"},
        {"odd length", odd_length, ": FAILED: length 4003 is odd\n"},
        // Bytes 8 to 2023 are the descriptor and the name.
        {"length inside the name", cut_in_name,
         ": FAILED: length 2022 ends inside the name field\n"},
    };
    for (const auto& c : cases) {
        put_image(c.damaged);
        const run_result run = run_verify({image_path_});
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.out, image_path_ + c.line) << c.what;
        EXPECT_EQ(run.err, "") << c.what;
        EXPECT_EQ(read_file(image_path_), c.damaged) << c.what;
    }
}

// Several images give one line each, in argument order, and the worst status:
// any image that cannot be checked makes it 2. A path may begin with a dash.
// Without an argument the usage line goes to standard error.
TEST_F(verify, SeveralImagesGiveOneLineEachAndTheWorstStatus) {
    const bytes image = build_image({.size = 3000, .content_seed = 8});
    const std::string sealed = (dir_ / "-sealed.img").string();
    const std::string unsealed = (dir_ / "unsealed.img").string();
    const std::string missing = (dir_ / "missing.img").string();
    const std::string bad = (dir_ / "bad.img").string();
    write_file(sealed, sealed_image(image, 8));
    write_file(unsealed, image);
    bytes bad_signature = sealed_image(image, 8);
    bad_signature[16] = 0x54;
    write_file(bad, bad_signature);
    const reference_result want = reference_checksum(image);
    const std::string ok = ok_line(sealed, want.padded_length, want.checksum);

    run_result run = run_verify({sealed, unsealed, sealed});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, ok + unsealed + ": FAILED: not sealed\n" + ok);

    run = run_verify({missing, sealed, bad, dir_.string(), unsealed});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, missing + ": ERROR: No such file or directory\n" + ok + bad +
                           ": ERROR: not an image: signature byte 0x54\n" + dir_.string() +
                           ": ERROR: Is a directory\n" + unsealed + ": FAILED: not sealed\n");
    EXPECT_EQ(run.err, "");

    run = run_verify({});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "usage: imgseal-verify IMAGE...\n");
}

// An image that its user may only read verifies: the verifier opens it
// read-only. (Run as another user, since root may write any file.)
TEST_F(verify, ReadOnlyImageVerifies) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the verifier as another user";
    const bytes image = build_image({.size = 2501, .content_seed = 3});
    const reference_result want = reference_checksum(image);
    put_image(sealed_image(image, 8));
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(image_path_.c_str(), 0444), 0);
    const run_result run =
        run_verify({image_path_}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ok_line(image_path_, want.padded_length, want.checksum));
}

// A verification started while a seal holds the image waits for it, then
// sees the finished seal.
TEST_F(verify, WaitsForASealInProgress) {
    const bytes image = build_image({.size = 2501, .content_seed = 4});
    const bytes sealed = sealed_image(image, 8);
    const reference_result want = reference_checksum(image);
    put_image(image);
    const int fd = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    struct flock whole_file {};
    whole_file.l_type = F_WRLCK;
    whole_file.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &whole_file), 0);

    const pid_t child = fork();
    if (child == 0) {
        close(fd);  // the lock belongs to the open file, which this copy would keep
        const run_result run = run_verify({image_path_});
        _exit(run.status == 0 && run.out == ok_line(image_path_, want.padded_length, want.checksum)
                  ? 0
                  : 1);
    }
    usleep(300 * 1000);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the verifier did not wait";
    // The seal that the lock stood for: fill byte and stamp.
    ASSERT_EQ(pwrite(fd, sealed.data(), sealed.size(), 0), static_cast<ssize_t>(sealed.size()));
    close(fd);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace imgseal_test
