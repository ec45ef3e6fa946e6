// imgseal-verify on images sealed by imgseal: what it finds, the line and the
// status it gives, and that it changes nothing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
// any image that cannot be checked makes it 2. Without an argument the usage
// goes to standard error.
TEST_F(verify, SeveralImagesGiveOneLineEachAndTheWorstStatus) {
    const bytes image = build_image({.size = 3000, .content_seed = 8});
    const std::string sealed = (dir_ / "-sealed.img").string();
    const std::string unsealed = (dir_ / "unsealed.img").string();
    const std::string missing = (dir_ / "missing.img").string();
    const std::string bad = (dir_ / "bad.img").string();
    const std::string erased = (dir_ / "erased.img").string();
    write_file(sealed, sealed_image(image, 8));
    write_file(unsealed, image);
    bytes bad_signature = sealed_image(image, 8);
    bad_signature[16] = 0x54;
    write_file(bad, bad_signature);
    write_file(erased, bytes(4096, 0xFF));
    const reference_result want = reference_checksum(image);
    const std::string ok = ok_line(sealed, want.padded_length, want.checksum);

    run_result run = run_verify({sealed, unsealed, sealed});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, ok + unsealed + ": FAILED: not sealed\n" + ok);

    run = run_verify({missing, sealed, bad, erased, dir_.string(), unsealed});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, missing + ": ERROR: No such file or directory\n" + ok + bad +
                           ": ERROR: not an image: signature byte 0x54\n" + erased +
                           ": ERROR: not an image: erased (the header's 8 bytes are all 0xFF)\n" +
                           dir_.string() + ": ERROR: Is a directory\n" + unsealed +
                           ": FAILED: not sealed\n");
    EXPECT_EQ(run.err, "");

    run = run_verify({});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Usage: imgseal-verify [OPTION]... IMAGE...\n"
              "  or:  imgseal-verify [OPTION]... -c FILE\n");
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

// The command line's conventions: --help and --version on standard output,
// one line on standard error for a mistake, -q and --status, --expect.
TEST_F(verify, OptionsFollowTheUsualConventions) {
    const bytes image = build_image({.size = 3000, .content_seed = 8});
    const std::string sealed = (dir_ / "sealed.img").string();
    const std::string unsealed = (dir_ / "unsealed.img").string();
    write_file(sealed, sealed_image(image, 8));
    write_file(unsealed, image);
    const reference_result want = reference_checksum(image);
    const std::string ok = ok_line(sealed, want.padded_length, want.checksum);
    char expect[32];
    std::snprintf(expect, sizeof expect, "--expect=%u,%04X", want.padded_length, want.checksum);
    const std::string not_sealed = unsealed + ": FAILED: not sealed\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // a prefix of standard output
        int error_lines;
    } cases[] = {
        {{"--help"}, 0, "Usage: imgseal-verify [OPTION]... IMAGE...\n", 0},
        {{"--version", sealed}, 0, "imgseal-verify (imgseal) 1.", 0},
        {{"--bogus", sealed}, 2, "", 1},
        {{"--wait=soon", sealed}, 2, "", 1},
        {{"--expect=2024", sealed}, 2, "", 1},
        {{"-c", sealed, sealed}, 2, "", 1},
        {{"-q", sealed, unsealed, sealed}, 1, not_sealed, 0},
        {{"--status", sealed, unsealed}, 1, "", 0},
        {{"--", sealed}, 0, ok, 0},
        {{expect, sealed}, 0, ok, 0},
        {{"--expect=3000,0000", sealed},
         1,
         sealed + ": FAILED: seal differs from the record: Length = 3000, Checksum " +
             ok.substr(ok.size() - 5, 4) + ", recorded Length = 3000, Checksum 0000\n",
         0},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_TRUE(run.out.starts_with(c.out)) << c.args[0] << ": " << run.out;
        EXPECT_EQ(c.out.empty() ? run.out : "", "") << c.args[0];
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.error_lines) << c.args[0];
    }
}

// Records made at build time catch an image that was changed and sealed
// again; a line that is no record is warned about and makes the status 2.
TEST_F(verify, RecordsCatchAResealAndWarnAboutOtherLines) {
    const std::string a = (dir_ / "a.img").string();
    // A path that holds the record's own text, and a newline.
    const std::string b = (dir_ / "b: OK, Length = 1, Checksum 0000\n.img").string();
    write_file(a, sealed_image(build_image({.size = 2100, .content_seed = 1}), 8));
    bytes image = build_image({.size = 2100, .content_seed = 2});
    write_file(b, sealed_image(image, 8));
    const std::string records = (dir_ / "seals.txt").string();
    const run_result made = run_verify({a, b});
    ASSERT_EQ(made.status, 0);
    EXPECT_EQ(std::count(made.out.begin(), made.out.end(), '\n'), 2);
    EXPECT_EQ(made.out[made.out.find('\n') + 1], '\\');
    write_file(records, bytes(made.out.begin(), made.out.end()));
    run_result run = run_verify({"-c", records});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, made.out);
    // OK lines appended to the records would be read back, for ever.
    run = run_verify({"-c", records}, {"sh", "-c", "exec \"$0\" \"$@\" >>\"$2\""});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(read_file(records), bytes(made.out.begin(), made.out.end()));

    image[2050] ^= 0x20;  // tampered with, then sealed again
    write_file(b, sealed_image(image, 8));
    run = run_verify({"-c", records});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(": FAILED: seal differs from the record: Length = 2100, Checksum "),
              std::string::npos);

    const struct {
        std::string text;
        int status;
        std::string err;
    } files[] = {
        {"", 2, records + ": no record\n"},
        {"junk\n" + made.out.substr(0, made.out.find('\n') + 1), 2, records + ":1: not a record\n"},
        {a + ": OK, Length = 2100, Checksum 1234\r\n", 2,
         records + ":1: not a record\n" + "imgseal-verify: " + records + ": no record\n"},
        {"-: OK, Length = 2100, Checksum 1234\n", 2, ""},
    };
    for (const auto& f : files) {
        write_file(records, bytes(f.text.begin(), f.text.end()));
        run = run_verify({"-c", records});
        EXPECT_EQ(run.status, f.status) << f.text;
        EXPECT_TRUE(run.err.ends_with(f.err)) << f.text << run.err;
    }
    EXPECT_EQ(run.out, "-: ERROR: a record cannot name standard input\n");
}

// A slot read back from flash, padded with 0xFF past the image, passes with
// --slot and fails without; so does the same slot as a stream on standard
// input, and as a block device.
TEST_F(verify, SlotsAndStreamsFollowTheLengthField) {
    const bytes image = build_image({.size = 3000, .content_seed = 3});
    const reference_result want = reference_checksum(image);
    bytes slot = sealed_image(image, 8);
    slot.resize(8192, 0xFF);
    put_image(slot);
    const std::string ok = ok_line("", want.padded_length, want.checksum);
    const std::vector<std::string> from_pipe = {"sh", "-c", "cat \"$0\" | exec \"$@\"",
                                                image_path_};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> prefix;
        std::string line;
    } cases[] = {
        // A stream without end is no image once it is longer than any.
        {{"-"},
         {"sh", "-c", "exec \"$0\" \"$@\" </dev/zero"},
         "-: ERROR: Value too large for defined data type\n"},
        {{image_path_}, {}, image_path_ + ": FAILED: length 3000, file size 8192\n"},
        {{"--slot", image_path_}, {}, image_path_ + ok},
        {{"-"}, from_pipe, "-: FAILED: length 3000, file size 8192\n"},
        {{"--slot", "-"}, from_pipe, "-" + ok},
        {{"--slot", "-"},
         {"sh", "-c", "head -c 4096 /dev/zero | tr '\\0' '\\377' | exec \"$0\" \"$@\""},
         "-: ERROR: not an image: erased (the header's 8 bytes are all 0xFF)\n"},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args, c.prefix);
        EXPECT_EQ(run.out, c.line) << c.args[0] << c.prefix.size();
    }
    bytes cut = sealed_image(image, 8);
    cut.resize(2900);
    put_image(cut);
    EXPECT_EQ(run_verify({"--slot", image_path_}).out,
              image_path_ + ": FAILED: length 3000, slot size 2900\n");

    put_image(slot);
    FILE* losetup = popen(("losetup -f --show -r " + image_path_ + " 2>/dev/null").c_str(), "r");
    char device[64] = {};
    const bool attached = losetup != nullptr && fgets(device, sizeof device, losetup) != nullptr;
    if (losetup != nullptr) pclose(losetup);
    if (!attached) GTEST_SKIP() << "no loop device here";
    const std::string path(device, strcspn(device, "\n"));
    EXPECT_EQ(run_verify({"--slot", path}).out, path + ok);
    EXPECT_EQ(run_verify({path}).out, path + ": ERROR: Not a regular file\n");
    EXPECT_EQ(
        run_verify({"--slot", "-"}, {"sh", "-c", "exec \"$@\" <\"$0\" 1<>\"$0\"", path}).status, 2);
    EXPECT_EQ(read_file(image_path_), slot);
    EXPECT_EQ(std::system(("losetup -d " + path).c_str()), 0);
}

// Another process's 1-byte lock holds the check up for --wait seconds at the
// most; the image then gets an ERROR and the next is checked. A lock taken
// with flock() does not conflict with the verifier's.
TEST_F(verify, LockWaitEndsAndTheNextImageIsChecked) {
    const std::string other = (dir_ / "other.img").string();
    const bytes sealed = sealed_image(build_image({.size = 2100, .content_seed = 6}), 8);
    put_image(sealed);
    write_file(other, sealed);
    const int fd = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_EQ(run_verify({"--wait=0", image_path_}).status, 0);
    ASSERT_EQ(lockf(fd, F_LOCK, 1), 0);  // this process's: another than the verifier
    const auto started = std::chrono::steady_clock::now();
    const run_result run = run_verify({"--wait=1", image_path_, other});
    const auto waited = std::chrono::steady_clock::now() - started;
    close(fd);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              image_path_ + ": ERROR: locked by another process\n");
    EXPECT_NE(run.out.find(other + ": OK"), std::string::npos);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace imgseal_test
