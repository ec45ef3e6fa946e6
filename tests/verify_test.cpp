// imgseal-verify on images sealed by imgseal: what it finds, the line and the
// status it gives, and that it changes nothing.
#include <fcntl.h>
#include <linux/magic.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support.hpp"

namespace imgseal_test {
namespace {

using verify = tool_test;

std::string hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// The OK line of the sealed image (or slot) whose bytes are `image`.
std::string ok_line(const std::string& path, const bytes& image) {
    return path + ": " + record_of(image) + "\n";
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
        ASSERT_EQ(run_tool({put_image(image)}).status, 0) << c.size;
        const bytes sealed = read_file(image_path_);
        ASSERT_EQ(sealed, sealed_image(image, c.offset)) << c.size;
        const run_result run = run_verify({image_path_});
        EXPECT_EQ(run.status, 0) << c.size;
        EXPECT_EQ(run.out, ok_line(image_path_, sealed)) << c.size;
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
    EXPECT_EQ(run_verify({image_path_}).out, ok_line(image_path_, read_file(image_path_)));
    EXPECT_NE(run_verify({image_path_}).out.find(", Checksum 0000, "), std::string::npos);
    EXPECT_EQ(run_tool({image_path_}).out, "Non zero length field\n");
}

std::string checksum_line(std::uint16_t field, std::uint16_t computed) {
    char line[64];
    std::snprintf(line, sizeof line, ": FAILED: checksum %04X, computed %04X\n", field, computed);
    return line;
}

// The largest image, 2^31 bytes: the sample's bytes, then a hole. Each test
// below makes one pass over it, on a tmpfs where there is one: reading a hole
// there allocates nothing, while elsewhere the first pass fills the page cache
// with 2 GiB of zeros, which takes seconds where memory is short.
constexpr std::size_t largest = std::size_t{1} << 31;

class large_image : public tool_test {
  protected:
    void SetUp() override {
        tool_test::SetUp();
        struct statfs file_system {};
        char shm_template[] = "/dev/shm/imgseal-test-XXXXXX";
        if (statfs("/dev/shm", &file_system) == 0 && file_system.f_type == TMPFS_MAGIC &&
            mkdtemp(shm_template) != nullptr) {
            shm_dir_ = shm_template;
            image_path_ = (shm_dir_ / "image.bin").string();
        }
    }
    void TearDown() override {
        if (!shm_dir_.empty()) std::filesystem::remove_all(shm_dir_);
        tool_test::TearDown();
    }
    std::filesystem::path shm_dir_;
};

// Writes the sample image followed by zeros up to `size` bytes, sealed or not,
// to `path`, and returns its seal.
reference_result put_large_image(const std::string& path, std::size_t size, bool sealed) {
    bytes head = build_image({.content_seed = 6});
    const reference_result seal = reference_checksum(head.data(), head.size(), size - head.size());
    if (sealed) {
        head[18] = static_cast<std::uint8_t>(seal.checksum >> 8);
        head[19] = static_cast<std::uint8_t>(seal.checksum);
        for (std::size_t i = 0; i < 4; ++i) {
            head[20 + i] = static_cast<std::uint8_t>(seal.padded_length >> (24 - 8 * i));
        }
    }
    write_file(path, head);
    EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    return seal;
}

// An odd image of 2^31 - 1 bytes grows to exactly 2^31 with its fill byte. A
// run whose flush of the fill byte fails leaves it 2^31 bytes long and
// unsealed, for a rerun to seal.
TEST_F(large_image, OddImageOneByteShortOf2GiBIsPaddedTo2GiB) {
    put_large_image(image_path_, largest - 1, false);
    const run_result failed =
        run_tool({image_path_}, inject_failure(image_path_, "fdatasync", "EIO", 1));
    EXPECT_EQ(failed.status, 8);
    EXPECT_EQ(failed.err, "Input/output error\n");
    EXPECT_EQ(std::filesystem::file_size(image_path_), largest);
    bytes stamp(6, 0xEE);
    const int fd = open(image_path_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(pread(fd, stamp.data(), stamp.size(), 18), 6);
    close(fd);
    EXPECT_EQ(stamp, bytes(6, 0));
}

// An unsealed image of exactly 2^31 bytes is sealed with the checksum the
// format gives, and a rerun refuses it as sealed.
TEST_F(large_image, ImageOf2GiBIsSealed) {
    const reference_result want = put_large_image(image_path_, largest, false);
    const run_result seal = run_tool({image_path_});
    ASSERT_EQ(seal.status, 0);
    EXPECT_EQ(seal.out, sealed_output("abc", 2147483648u, want.checksum));
    EXPECT_EQ(std::filesystem::file_size(image_path_), largest);
    const run_result again = run_tool({image_path_});
    EXPECT_EQ(again.status, 6);
    EXPECT_EQ(again.out, "Non zero checksum field\n");
}

// A sealed image of exactly 2^31 bytes verifies, as a file and as a stream of
// that many bytes through standard input.
TEST_F(large_image, SealedImageOf2GiBVerifiesAsFileAndAsStream) {
    const reference_result seal = put_large_image(image_path_, largest, true);
    const std::string ok = ": OK, Length = 2147483648, Checksum " + hex4(seal.checksum) +
                           ", SHA-256 " + sha256_hex_of_file(image_path_, largest) + "\n";
    EXPECT_EQ(run_verify({image_path_}).out, image_path_ + ok);
    const run_result piped =
        run_verify({"-"}, {"sh", "-c", "cat \"$0\" | exec \"$@\"", image_path_});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, "-" + ok);
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
    bytes odd_in_name = cut_in_name;
    odd_in_name[23] = 0xE5;
    bytes padded = sealed;
    padded.resize(4098, 0xFF);
    bytes padded_and_changed = padded;
    padded_and_changed[3000] ^= 0x01;
    bytes negative_offset = sealed;
    negative_offset[4] = 0x80;
    negative_offset[7] = 0x00;

    const struct {
        const char* what;
        bytes damaged;
        std::string line;
        int status = 1;
    } cases[] = {
        {"unsealed", image, ": FAILED: not sealed\n"},
        {"content byte", content, checksum_line(checksum, reference_checksum(unstamped).checksum)},
        {"checksum byte", checksum_byte,
         checksum_line(static_cast<std::uint16_t>(checksum ^ 0x80), checksum)},
        {"length byte", length_byte, ": FAILED: length 3842, file size 4002\n"},
        {"last byte cut off", bytes(sealed.begin(), sealed.end() - 1),
         ": FAILED: length 4002, file size 4001\n"},
        {"odd length", odd_length, ": FAILED: length 4003 is odd\n"},
        // A slot read back into a file: the image, then what followed it.
        {"padded past its length", padded,
         ": FAILED: length 4002, file size 4098 (use --slot to ignore what follows the image)\n"},
        {"padded, and a byte changed", padded_and_changed,
         ": FAILED: length 4002, file size 4098\n"},
        // Bytes 8 to 2023 are the descriptor and the name.
        {"length inside the name", cut_in_name,
         ": FAILED: length 2022 ends inside the name field\n"},
        {"odd length inside the name", odd_in_name, ": FAILED: length 2021 is odd\n"},
        // No image at all: a descriptor offset that is a negative file
        // position, the header alone, and less.
        {"descriptor offset of 2^31", negative_offset,
         ": ERROR: not an image: the descriptor offset 2147483648 is 2^31 or more\n", 2},
        {"8 bytes", bytes(sealed.begin(), sealed.begin() + 8),
         ": ERROR: not an image: the descriptor offset 8 lies past the end (8 bytes)\n", 2},
        {"7 bytes", bytes(sealed.begin(), sealed.begin() + 7),
         ": ERROR: not an image: the header is 7 bytes\n", 2},
    };
    for (const auto& c : cases) {
        put_image(c.damaged);
        const run_result run = run_verify({image_path_});
        EXPECT_EQ(run.status, c.status) << c.what;
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
    const std::string ok = ok_line(sealed, sealed_image(image, 8));

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
              "  or:  imgseal-verify [OPTION]... -c FILE\n"
              "  or:  imgseal-verify [OPTION]... --find=FILE IMAGE...\n");
}

// An image that its user may only read verifies: the verifier opens it
// read-only. (Run as another user, since root may write any file.)
TEST_F(verify, ReadOnlyImageVerifies) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the verifier as another user";
    const bytes image = build_image({.size = 2501, .content_seed = 3});
    put_image(sealed_image(image, 8));
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(image_path_.c_str(), 0444), 0);
    const run_result run =
        run_verify({image_path_}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ok_line(image_path_, sealed_image(image, 8)));
}

// A verification started while a seal holds the image waits for it, then
// sees the finished seal.
TEST_F(verify, WaitsForASealInProgress) {
    const bytes image = build_image({.size = 2501, .content_seed = 4});
    const bytes sealed = sealed_image(image, 8);
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
        _exit(run.status == 0 && run.out == ok_line(image_path_, sealed) ? 0 : 1);
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
    const std::string ok = ok_line(sealed, sealed_image(image, 8));
    char expect[32];
    std::snprintf(expect, sizeof expect, "--expect=%u,%04X", want.padded_length, want.checksum);
    char expect_lower_case[32];
    std::snprintf(expect_lower_case, sizeof expect_lower_case, "--expect=%u,%04x",
                  want.padded_length, want.checksum);
    char expect_2_short[32];
    std::snprintf(expect_2_short, sizeof expect_2_short, "--expect=%u,%04X", want.padded_length - 2,
                  want.checksum);
    const std::string not_sealed = unsealed + ": FAILED: not sealed\n";
    // The same seal under another path, another seal, and a slot of the same.
    const std::string copy = (dir_ / "copy.img").string();
    const std::string other = (dir_ / "other.img").string();
    const std::string slot = (dir_ / "slot.img").string();
    write_file(copy, sealed_image(image, 8));
    const bytes other_image = build_image({.size = 3000, .content_seed = 9});
    write_file(other, sealed_image(other_image, 8));
    bytes padded = sealed_image(image, 8);
    padded.resize(4096, 0xFF);
    write_file(slot, padded);
    char differs[160];
    std::snprintf(differs, sizeof differs,
                  ": FAILED: seal differs from the expected seal: Length = 3000, Checksum %04X, "
                  "expected Length = 3000, Checksum %04X\n",
                  reference_checksum(other_image).checksum, want.checksum);
    const std::string same_as = "--same-as=" + sealed;
    // Numbers that begin with 9, and the largest.
    const std::string nine = (dir_ / "nine.img").string();
    const bytes nine_image = sealed_image(build_image({.size = 9000, .content_seed = 9}), 8);
    write_file(nine, nine_image);
    const std::string expect_nine = "--expect=9000," + hex4(load_be16_at(nine_image, 18));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // a prefix of standard output
        int error_lines;
        std::string err = {};  // a part of standard error
    } cases[] = {
        {{"--help"}, 0, "Usage: imgseal-verify [OPTION]... IMAGE...\n", 0},
        {{"--version", sealed}, 0, "imgseal-verify (imgseal) 1.", 0},
        {{"--bogus", sealed}, 2, "", 1},
        {{"--wait=soon", sealed}, 2, "", 1},
        {{"--expect=2024", sealed}, 2, "", 1},
        {{"--expect=3000,00000", sealed}, 2, "", 1},
        {{"--wait=4294967296", sealed}, 2, "", 1},
        {{"--wait=5x", sealed}, 2, "", 1, "imgseal-verify: --wait takes a whole number"},
        {{"--wait=4294967295", sealed}, 0, ok, 0},
        {{"--wait=9", sealed}, 0, ok, 0},
        {{expect_nine, nine}, 0, ok_line(nine, nine_image), 0},
        {{"--expect=4294967295,0000", sealed},
         1,
         sealed + ": FAILED: seal differs from the expected seal: Length = 3000, Checksum " +
             hex4(want.checksum) + ", expected Length = 4294967295, Checksum 0000\n",
         0},
        {{"-c", sealed, sealed}, 2, "", 1},
        {{"-q", sealed, unsealed, sealed}, 1, not_sealed, 0},
        {{"--status", sealed, unsealed}, 1, "", 0},
        {{"--", sealed}, 0, ok, 0},
        {{expect, sealed}, 0, ok, 0},
        {{expect_lower_case, sealed}, 0, ok, 0},
        {{expect_2_short, sealed}, 1, sealed + ": FAILED: seal differs from the ", 0},
        {{"--expect=3000,0000", sealed},
         1,
         sealed + ": FAILED: seal differs from the expected seal: Length = 3000, Checksum " +
             hex4(want.checksum) + ", expected Length = 3000, Checksum 0000\n",
         0},
        // A bad option is named by the argument that holds it.
        {{"-\x01q", sealed}, 2, "", 1, "imgseal-verify: -\x01q: unknown option"},
        {{sealed, "-q\xffz"}, 2, "", 1, "imgseal-verify: -q\xffz: unknown option"},
        // The image that --same-as names gives no line of its own, and is
        // checked as a whole image even with --slot: no hint at --slot, which
        // cannot reach it.
        {{same_as, copy, other}, 1, ok_line(copy, sealed_image(image, 8)) + other + differs, 0},
        {{"--slot", "--same-as=" + slot, sealed},
         2,
         "",
         1,
         "imgseal-verify: --same-as " + slot + ": FAILED: length 3000, file size 4096\n"},
        {{"--same-as=" + unsealed, sealed}, 2, "", 1, "--same-as " + unsealed + ": FAILED: not"},
        {{"--same-as=-", sealed}, 2, "", 1},
        {{"--same-as=", sealed}, 2, "", 1, "imgseal-verify: --same-as takes the path of a sealed "},
        {{"--find=" + sealed}, 2, "", 3, "Usage: imgseal-verify"},
        {{"--find=-", "-"}, 2, "", 1, "imgseal-verify: --find=- takes no IMAGE of -\n"},
        {{"--find=" + sealed, "-c", sealed}, 2, "", 1},
        {{same_as, expect, sealed}, 2, "", 1},
        {{same_as, "-c", sealed}, 2, "", 1},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0];
        EXPECT_TRUE(run.out.starts_with(c.out)) << c.args[0] << ": " << run.out;
        EXPECT_EQ(c.out.empty() ? run.out : "", "") << c.args[0];
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.error_lines) << c.args[0];
        EXPECT_NE(run.err.find(c.err), std::string::npos) << c.args[0] << ": " << run.err;
    }
}

// Records made at build time catch an image that was changed and sealed
// again; a line that is no record is warned about and makes the status 2.
TEST_F(verify, RecordsCatchAResealAndWarnAboutOtherLines) {
    const std::string a = (dir_ / "a.img").string();
    // A path that holds the record's own text, and a newline.
    const std::string b = (dir_ / "b: OK, Length = 1, Checksum 0000\n\r.img").string();
    write_file(a, sealed_image(build_image({.size = 2100, .content_seed = 1}), 8));
    bytes image = build_image({.size = 2100, .content_seed = 2});
    write_file(b, sealed_image(image, 8));
    const std::string records = (dir_ / "seals.txt").string();
    const run_result made = run_verify({a, b});
    ASSERT_EQ(made.status, 0);
    EXPECT_EQ(std::count(made.out.begin(), made.out.end(), '\n'), 2);
    EXPECT_EQ(made.out[made.out.find('\n') + 1], '\\');
    EXPECT_NE(made.out.find("0000\\n\\r.img: OK"), std::string::npos);
    write_file(records, bytes(made.out.begin(), made.out.end()));
    run_result run = run_verify({"-c", records});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, made.out);
    // Lines appended to the records would be read back, for ever: nothing is
    // checked, and the refusal goes to the other stream.
    for (const char* into : {">>", "2>>"}) {
        run = run_verify({"-c", records},
                         {"sh", "-c", std::string("exec \"$0\" \"$@\" ") + into + "\"$2\""});
        EXPECT_EQ(run.status, 2) << into;
        EXPECT_EQ(run.out + run.err,
                  "imgseal-verify: " + records + ": Refusing to write output into the records\n")
            << into;
        EXPECT_EQ(read_file(records), bytes(made.out.begin(), made.out.end())) << into;
    }
    const std::string a_record = made.out.substr(0, made.out.find('\n'));

    image[2050] ^= 0x20;  // tampered with, then sealed again
    write_file(b, sealed_image(image, 8));
    run = run_verify({"-c", records});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(": FAILED: seal differs from the record: Length = 2100, Checksum "),
              std::string::npos);

    // 1.2.0's records end after the checksum; the largest length is read.
    const std::string a_record_1_2_0 = a_record.substr(0, a_record.find(", SHA-256 "));
    const std::string no_record = "imgseal-verify: " + records + ": no record\n";
    write_file(dir_ / "#c.img", read_file(a));
    const struct {
        std::string text;
        int status;
        std::string err;
        std::string out = {};                  // where given
        std::vector<std::string> prefix = {};  // where the run needs one
    } files[] = {
        {"", 2, no_record},
        {a + ": OK, Length = 4294967295, Checksum 0000\n", 1, ""},
        // As editors leave records: a byte-order mark, comments, blank lines,
        // an empty one among them.
        {"\xef\xbb\xbf# release 1.4\n\n" + a_record + "\r\n \t\n\n" + a_record_1_2_0, 0, ""},
        {"\xff\xfe" + std::string("#\0 \0", 4), 2,
         "imgseal-verify: " + records + ": records are UTF-16; save them as UTF-8\n"},
        {"junk\n" + a_record + "\n", 2, records + ":1: not a record\n"},
        // Line ends from a Windows checkout, the last one's without a newline;
        // a carriage return anywhere else makes no record.
        {a_record + "\r\n" + a_record + "\r", 0, ""},
        {a_record + "\r\r\n", 2, records + ":1: not a record\n" + no_record},
        {"a\rb: OK, Length = 2100, Checksum 1234\n", 2, records + ":1: not a record\n" + no_record},
        {"-: OK, Length = 2100, Checksum 1234\n", 2, "",
         "-: ERROR: a record cannot name standard input\n"},
        // With standard error closed, the records are not opened on its
        // descriptor, to be refused as output into the records.
        {a_record, 0, "", a_record + "\n", {"sh", "-c", "exec \"$@\" 2>&-", "sh"}},
        // 1.2.0 wrote the record of a path that begins with # as it is: it is
        // checked, with a warning, where a comment would be skipped. Records
        // written now escape it.
        {"#c.img" + a_record_1_2_0.substr(a.size()) + "\n", 0,
         records + ":1: a record of 1.2.0 whose path begins with #: checked, not taken for a "
                   "comment\n",
         ok_line("\\#c.img", read_file(a))},
    };
    for (const auto& f : files) {
        write_text(records, f.text);
        run = run_verify({"-c", records}, f.prefix, {.working_dir = dir_});
        EXPECT_EQ(run.status, f.status) << f.text;
        EXPECT_EQ(run.err, f.err) << f.text;
        if (!f.out.empty()) {
            EXPECT_EQ(run.out, f.out) << f.text;
        }
    }
}

// Records from a terminal, typed or pasted, and from a character device are
// read as from a file.
TEST_F(verify, RecordsFromATerminalOrADeviceAreRead) {
    const bytes sealed = sealed_image(build_image({.size = 2100, .content_seed = 1}), 8);
    put_image(sealed);
    const std::string record = ok_line(image_path_, sealed);
    int terminal = -1;
    int typed = -1;
    char name[64];
    ASSERT_EQ(openpty(&terminal, &typed, name, nullptr, nullptr), 0);
    // A line, then the end-of-file character at the start of the next.
    const std::string input = record + "\x04";
    ASSERT_EQ(write(terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    const run_result run = run_verify({"-c", name});
    close(typed);
    close(terminal);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, record);
    const run_result device = run_verify({"-c", "/dev/null"});
    EXPECT_EQ(device.status, 2);
    EXPECT_EQ(device.err, "imgseal-verify: /dev/null: no record\n");
}

// Output that cannot be written ends the run at once with one line on
// standard error and status 2, for one image, several and records: a record
// list short of images must not pass for a full one. So does a reader that has
// gone, where SIGPIPE is ignored.
TEST_F(verify, OutputThatCannotBeWrittenIsTrouble) {
    const bytes sealed = sealed_image(build_image({.size = 2100, .content_seed = 1}), 8);
    const std::string record = ok_line(image_path_, sealed);
    put_image(sealed);
    write_file(dir_ / "seals.txt", bytes(record.begin(), record.end()));
    const std::vector<std::string> cases[] = {{image_path_},
                                              {image_path_, image_path_, "-q", "missing.img"},
                                              {"-c", (dir_ / "seals.txt").string()},
                                              {"--help"}};
    for (const auto& args : cases) {
        const run_result run = run_verify(args, {"sh", "-c", "exec \"$@\" >/dev/full", "sh"});
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.err, "imgseal-verify: write error: No space left on device\n") << args[0];
    }
    const run_result run =
        run_verify({image_path_}, {"sh", "-c", "trap '' PIPE; exec \"$@\"", "sh"},
                   {.working_dir = {}, .reader_gone = true});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "imgseal-verify: write error: Broken pipe\n");
    // A terminal that has gone fails the first line, the path written before
    // the wait for a lock: the run ends there, without waiting.
    int terminal = -1;
    int gone = -1;
    ASSERT_EQ(openpty(&terminal, &gone, nullptr, nullptr, nullptr), 0);
    close(terminal);
    const int fd = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(lockf(fd, F_LOCK, 1), 0);
    const auto started = std::chrono::steady_clock::now();
    const run_result hung_up = run_verify(
        {"--wait=30", image_path_}, {}, {.working_dir = {}, .reader_gone = false, .output = gone});
    const auto waited = std::chrono::steady_clock::now() - started;
    close(fd);
    close(gone);
    EXPECT_EQ(hung_up.status, 2);
    EXPECT_EQ(hung_up.err, "imgseal-verify: write error: Input/output error\n");
    EXPECT_LT(waited, std::chrono::seconds(20));
    // Standard output that the caller closed is lost output too.
    const run_result closed = run_verify({image_path_}, {"sh", "-c", "exec \"$@\" >&-", "sh"});
    EXPECT_EQ(closed.status, 2);
    EXPECT_EQ(closed.err, "imgseal-verify: write error: Bad file descriptor\n");
}

// Standard input that the caller left non-blocking, fed late, is waited for,
// as an image and as records; so is standard output, read late, for more
// lines than its pipe holds.
TEST_F(verify, NonBlockingStreamsAreWaitedFor) {
    const bytes sealed = sealed_image(build_image({.size = 3000, .content_seed = 3}), 8);
    const std::string record = ok_line(image_path_, sealed);
    put_image(sealed);
    write_file(dir_ / "seals.txt", bytes(record.begin(), record.end()));
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string out;
    } cases[] = {{{"-"}, image_path_, ok_line("-", sealed)},
                 {{"-c", "-"}, (dir_ / "seals.txt").string(), record}};
    for (const auto& c : cases) {
        FILE* writer = popen(("sleep 0.2; cat '" + c.input + "'").c_str(), "r");
        ASSERT_NE(writer, nullptr);
        ASSERT_EQ(fcntl(fileno(writer), F_SETFL, O_NONBLOCK), 0);
        const run_result run = run_verify(
            c.args, {}, {.working_dir = {}, .reader_gone = false, .input = fileno(writer)});
        pclose(writer);
        EXPECT_EQ(run.status, 0) << c.args.size();
        EXPECT_EQ(run.out, c.out) << c.args.size();
    }
    const std::string lines = (dir_ / "lines.txt").string();
    FILE* reader = popen(("sleep 0.3; cat >'" + lines + "'").c_str(), "w");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(fcntl(fileno(reader), F_SETFL, O_NONBLOCK), 0);
    const std::vector<std::string> images(2000, image_path_);
    const run_result run =
        run_verify(images, {}, {.working_dir = {}, .reader_gone = false, .output = fileno(reader)});
    pclose(reader);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const bytes out = read_file(lines);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2000);
}

// A slot read back from flash, padded with 0xFF past the image, passes with
// --slot and fails without; so does the same slot as a stream on standard
// input, and as a block device.
TEST_F(verify, SlotsAndStreamsFollowTheLengthField) {
    const bytes image = build_image({.size = 3000, .content_seed = 3});
    bytes slot = sealed_image(image, 8);
    slot.resize(8192, 0xFF);
    put_image(slot);
    const std::string ok = ok_line("", slot);
    const std::vector<std::string> from_pipe = {"sh", "-c", "cat \"$0\" | exec \"$@\"",
                                                image_path_};
    const std::string use_slot = " (use --slot to ignore what follows the image)\n";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> prefix;
        std::string line;
    } cases[] = {
        // A stream without end is no image once it is longer than any.
        {{"-"},
         {"sh", "-c", "exec \"$0\" \"$@\" </dev/zero"},
         "-: ERROR: Value too large for defined data type\n"},
        // A slot read back into a file, or through a pipe, is one with --slot.
        {{image_path_}, {}, image_path_ + ": FAILED: length 3000, file size 8192" + use_slot},
        {{"--slot", image_path_}, {}, image_path_ + ok},
        {{"-"}, from_pipe, "-: FAILED: length 3000, file size 8192" + use_slot},
        {{"--slot", "-"}, from_pipe, "-" + ok},
        // A first read of exactly the header's 8 bytes: the rest follows.
        {{"--slot", "-"},
         {"sh", "-c", "(head -c 8 \"$0\"; sleep 0.2; tail -c +9 \"$0\") | exec \"$@\"",
          image_path_},
         "-" + ok},
        {{"--slot", "-"},
         {"sh", "-c", "head -c 4096 /dev/zero | tr '\\0' '\\377' | exec \"$0\" \"$@\""},
         "-: ERROR: not an image: erased (the header's 8 bytes are all 0xFF)\n"},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args, c.prefix);
        EXPECT_EQ(run.out, c.line) << c.args[0] << c.prefix.size();
    }
    // Slots cut short, to the header alone, and of exactly the image's length.
    for (const auto& [size, line] :
         {std::pair<std::size_t, std::string>{2900, ": FAILED: length 3000, slot size 2900\n"},
          {8,
           ": ERROR: not an image: the descriptor offset 8 lies "
           "past the slot's end (8 bytes)\n"},
          {3000, ok}}) {
        put_image(bytes(slot.begin(), slot.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_EQ(run_verify({"--slot", image_path_}).out, image_path_ + line) << size;
    }

    put_image(slot);
    const std::string path = attach_loop_device(image_path_);
    if (path.empty()) GTEST_SKIP() << "no loop device here";
    EXPECT_EQ(run_verify({"--slot", path}).out, path + ok);
    EXPECT_EQ(run_verify({path}).out, path + ": ERROR: Not a regular file\n");
    EXPECT_EQ(
        run_verify({"--slot", "-"}, {"sh", "-c", "exec \"$@\" <\"$0\" 1<>\"$0\"", path}).status, 2);
    // Output into the image through the device, into the device through its
    // file, or through another node of it, is refused as into the image.
    const std::string alias = (dir_ / "alias").string();
    struct stat device_node {};
    ASSERT_EQ(stat(path.c_str(), &device_node), 0);
    ASSERT_EQ(mknod(alias.c_str(), S_IFBLK | 0600, device_node.st_rdev), 0);
    EXPECT_EQ(run_tool({image_path_}, {"sh", "-c", "exec \"$@\" >\"$0\"", path}).status, 1);
    EXPECT_EQ(run_verify({image_path_}, {"sh", "-c", "exec \"$@\" 1<>\"$0\"", path}).status, 2);
    for (const std::string& output : {image_path_, alias}) {
        const run_result run =
            run_verify({"--slot", path}, {"sh", "-c", "exec \"$@\" 1<>\"$0\"", output});
        EXPECT_EQ(run.err,
                  "imgseal-verify: " + path + ": Refusing to write output into the image\n");
    }
    // Also a device that is no image without --slot: its ERROR line would go
    // over the image's header, or after it, through the backing file.
    const std::string refusal =
        "imgseal-verify: " + path + ": Refusing to write output into the image\n";
    for (const std::string output : {"1<>\"$0\"", ">>\"$1\""}) {
        const run_result into =
            run_verify({path}, {"sh", "-c", "exec \"$2\" \"$0\" " + output, path, image_path_});
        EXPECT_EQ(into.status, 2) << output;
        EXPECT_EQ(into.err, refusal) << output;
    }
    // And where records on standard input name the device, after an image
    // whose line would come first.
    const std::string records = (dir_ / "seals.txt").string();
    const std::string other = (dir_ / "other.img").string();
    write_file(other, sealed_image(image, 8));
    const std::string listed = ok_line(other, sealed_image(image, 8)) + path +
                               ": OK, Length = 3000, Checksum " + hex4(load_be16_at(slot, 18)) +
                               "\n";
    write_text(records, listed);
    const run_result recorded =
        run_verify({"-c", "-"}, {"env", "R=" + records, "I=" + image_path_, "sh", "-c",
                                 "exec \"$@\" <\"$R\" >>\"$I\"", "sh"});
    EXPECT_EQ(recorded.status, 2);
    EXPECT_EQ(recorded.err, refusal);
    EXPECT_EQ(read_file(image_path_), slot);
    EXPECT_EQ(std::system(("losetup -d " + path).c_str()), 0);
}

// A zram device of its own, 1 MiB, while the test runs: a block device that
// is no loop device.
class zram_slot : public tool_test {
  protected:
    void SetUp() override {
        tool_test::SetUp();
        std::ifstream added("/sys/class/zram-control/hot_add");
        if (!(added >> number_)) {
            number_ = -1;
            return;
        }
        const std::string block = "/sys/block/zram" + std::to_string(number_);
        if (!(std::ofstream(block + "/disksize") << "1M")) return;
        device_ = "/dev/zram" + std::to_string(number_);
    }
    void TearDown() override {
        if (number_ != -1) std::ofstream("/sys/class/zram-control/hot_remove") << number_;
        tool_test::TearDown();
    }
    int number_ = -1;
    std::string device_;
};

// A slot on a block device that is no loop device is checked with --slot,
// and output into it, on either stream, is refused as output into the image.
TEST_F(zram_slot, OutputIntoABlockDeviceIsRefused) {
    if (device_.empty()) GTEST_SKIP() << "no zram device can be added here";
    bytes slot = sealed_image(build_image({.size = 3000, .content_seed = 13}), 8);
    slot.resize(8192, 0xFF);
    write_file(device_, slot);
    EXPECT_EQ(run_verify({"--slot", device_}).out, ok_line(device_, slot));
    for (const char* into : {"1<>", "2<>"}) {
        const run_result run =
            run_verify({"--slot", device_},
                       {"sh", "-c", std::string("exec \"$@\" ") + into + "\"$0\"", device_});
        EXPECT_EQ(run.status, 2) << into;
        EXPECT_EQ(run.out + run.err,
                  "imgseal-verify: " + device_ + ": Refusing to write output into the image\n")
            << into;
        bytes kept = read_file(device_);
        kept.resize(slot.size());
        EXPECT_EQ(kept, slot) << into;
    }
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
