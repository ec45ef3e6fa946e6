// What imgseal-verify adds to the seal: records with the SHA-256 of the
// image, --find, and read-backs compared byte for byte with --same-as, which
// catch what a 16-bit sum cannot.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support.hpp"

namespace imgseal_test {
namespace {

using records = tool_test;

std::string text_of(const bytes& data) { return {data.begin(), data.end()}; }

// The first line that `command` prints.
std::string first_line_of(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    char line[256] = {};
    if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) std::abort();
    pclose(pipe);
    return line;
}

// A sealed image of 8 KiB whose content holds a page of zeros, at 4096.
bytes image_with_zeros() {
    bytes image = build_image({.size = 8192, .content_seed = 31});
    std::fill(image.begin() + 4096, image.begin() + 4352, 0);
    image[0] = 0x12;  // a version, say, in the header's free bytes
    image[2] = 0x34;
    return sealed_image(image, 8);
}

// The SHA-256 of an OK line is sha256sum's, of a file and of a slot's first
// `length` bytes alike; -c catches two 512-byte blocks swapped, which keep
// the seal, with -q too, while a record of 1.2.0, which has only the seal,
// still passes.
TEST_F(records, DigestCatchesWhatTheSealCannot) {
    const bytes sealed = image_with_zeros();
    put_image(sealed);
    const run_result made = run_verify({image_path_});
    ASSERT_EQ(made.status, 0);
    const std::string digest = made.out.substr(made.out.size() - 65, 64);
    EXPECT_EQ(first_line_of("sha256sum " + image_path_).substr(0, 64), digest);
    bytes slot = sealed;
    slot.resize(3 * 4096, 0xFF);
    const std::string dump = (dir_ / "dump.bin").string();
    write_file(dump, slot);
    EXPECT_EQ(run_verify({"--slot", dump}).out, dump + made.out.substr(image_path_.size()));
    EXPECT_EQ(first_line_of("head -c 8192 " + dump + " | sha256sum").substr(0, 64), digest);

    const std::string seals = (dir_ / "seals.txt").string();
    write_file(seals, bytes(made.out.begin(), made.out.end()));
    bytes swapped = sealed;
    std::swap_ranges(swapped.begin() + 5120, swapped.begin() + 5632, swapped.begin() + 6144);
    ASSERT_NE(swapped, sealed);
    put_image(swapped);
    EXPECT_EQ(run_verify({"-q", image_path_}).status, 0) << "the seal cannot see it";
    const std::string differs = image_path_ + ": FAILED: SHA-256 differs from the record: " +
                                sha256_hex(swapped.data(), swapped.size()) + ", recorded " +
                                digest + "\n";
    for (const auto& args : {std::vector<std::string>{"-c", seals}, {"-q", "-c", seals}}) {
        const run_result run = run_verify(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.out, differs) << args[0];
    }
    const std::string old_record = made.out.substr(0, made.out.find(", SHA-256 ")) + "\n";
    write_file(seals, bytes(old_record.begin(), old_record.end()));
    const run_result old = run_verify({"-c", seals});
    EXPECT_EQ(old.status, 0);
    EXPECT_EQ(old.out, image_path_ + ": " + record_of(swapped) + "\n");
}

// --same-as compares every byte of the image's length, once the seal has
// passed: the first that differs gives the line, in every form a read-back
// comes in; what follows the image in a slot is not compared.
TEST_F(records, ReadBackMustHoldEveryByteOfTheImage) {
    const bytes sealed = image_with_zeros();
    const std::string app = (dir_ / "app.img").string();
    write_file(app, sealed);
    bytes erased = sealed;  // the page of zeros never programmed
    std::fill(erased.begin() + 4096, erased.begin() + 4352, 0xFF);
    bytes swapped = sealed;  // two words at even offsets exchanged
    std::swap_ranges(swapped.begin() + 3000, swapped.begin() + 3002, swapped.begin() + 7000);
    bytes header = sealed;  // the header's free bytes 0 and 2 exchanged
    std::swap(header[0], header[2]);
    const auto at = [&](std::size_t offset, const bytes& read) {
        char line[96];
        std::snprintf(line, sizeof line, " at byte %zu (%02X expected, %02X read)\n", offset,
                      sealed[offset], read[offset]);
        return ": FAILED: differs from " + app + line;
    };
    const std::string same = ": " + record_of(sealed) + "\n";
    const struct {
        const char* what;
        bytes read;
        std::string line;
    } cases[] = {
        {"the same bytes", sealed, same},
        {"an erased page", erased, at(4096, erased)},
        {"two words swapped", swapped, at(3000, swapped)},
        {"the header's first byte", header, at(0, header)},
    };
    const std::string slot = (dir_ / "slot.bin").string();
    for (const auto& c : cases) {
        // The seal cannot see any of them.
        put_image(c.read);
        ASSERT_EQ(run_verify({"-q", image_path_}).status, 0) << c.what;
        bytes padded = c.read;
        padded.resize(16384, 0xFF);
        write_file(slot, padded);
        const int status = c.line == same ? 0 : 1;
        const struct {
            std::vector<std::string> args;
            std::vector<std::string> prefix;
            std::string path;
        } forms[] = {
            {{"--same-as=" + app, image_path_}, {}, image_path_},
            {{"--slot", "--same-as=" + app, slot}, {}, slot},
            {{"--same-as=" + app, "-"}, {"sh", "-c", "exec \"$@\" <\"$0\"", image_path_}, "-"},
            {{"--slot", "--same-as=" + app, "-"},
             {"sh", "-c", "cat \"$0\" | exec \"$@\"", slot},
             "-"},
        };
        for (const auto& f : forms) {
            const run_result run = run_verify(f.args, f.prefix);
            EXPECT_EQ(run.status, status) << c.what << " " << f.path;
            EXPECT_EQ(run.out, f.path + c.line) << c.what << " " << f.path;
            EXPECT_EQ(run.err, "") << c.what << " " << f.path;
        }
        // A block device, as a partition read in place.
        FILE* losetup = popen(("losetup -f --show " + slot + " 2>/dev/null").c_str(), "r");
        char device[64] = {};
        const bool attached =
            losetup != nullptr && fgets(device, sizeof device, losetup) != nullptr;
        if (losetup != nullptr) pclose(losetup);
        if (!attached) continue;
        const std::string path(device, strcspn(device, "\n"));
        const run_result run = run_verify({"--slot", "--same-as=" + app, path});
        EXPECT_EQ(std::system(("losetup -d " + path).c_str()), 0);
        EXPECT_EQ(run.status, status) << c.what << " " << path;
        EXPECT_EQ(run.out, path + c.line) << c.what << " " << path;
    }
    // A seal that differs keeps its line; so does a read-back cut short.
    bytes other = build_image({.size = 8192, .content_seed = 32});
    put_image(sealed_image(other, 8));
    EXPECT_NE(run_verify({"--same-as=" + app, image_path_})
                  .out.find(": FAILED: seal differs from the expected seal: "),
              std::string::npos);
    put_image(bytes(sealed.begin(), sealed.begin() + 8000));
    EXPECT_EQ(run_verify({"--slot", "--same-as=" + app, image_path_}).out,
              image_path_ + ": FAILED: length 8192, slot size 8000\n");
}

// --find prints every record that an image matches, by seal and, where the
// record has them, its digest: the release that a slot read back holds,
// among several; an image that matches none, or fails its own check, says
// so; records of 1.2.0 match by their seal.
TEST_F(records, FindTellsWhichReleaseAnImageHolds) {
    const bytes release_1 = sealed_image(build_image({.size = 4096, .content_seed = 41}), 8);
    const bytes release_2 = sealed_image(build_image({.size = 6000, .content_seed = 42}), 8);
    bytes twin = release_2;  // the seal of release 2, other bytes
    std::swap_ranges(twin.begin() + 3000, twin.begin() + 3002, twin.begin() + 5000);
    const std::string line_1 = "out/1.4/app.img: " + record_of(release_1);
    const std::string line_2 = "out/1.5/app.img: " + record_of(release_2);
    const std::string old_2 = line_2.substr(0, line_2.find(", SHA-256 "));
    const std::string releases = (dir_ / "releases.txt").string();
    const std::string text = "# 1.4\n" + line_1 + "\n\n# 1.5\n" + line_2 + "\n" + old_2 + "\n";
    write_file(releases, bytes(text.begin(), text.end()));
    const std::string dump = (dir_ / "dump.bin").string();
    bytes slot = release_2;
    slot.resize(65536, 0xFF);
    write_file(dump, slot);
    const std::string twin_path = (dir_ / "twin.img").string();
    write_file(twin_path, twin);
    const std::string unsealed = (dir_ / "unsealed.img").string();
    write_file(unsealed, build_image({.size = 4096}));

    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"--slot", "--find=" + releases, dump},
         0,
         dump + ": matches " + line_2 + "\n" + dump + ": matches " + old_2 + "\n"},
        // The same seal, other bytes: only 1.2.0's record, which has no
        // digest, matches.
        {{"--find=" + releases, twin_path}, 0, twin_path + ": matches " + old_2 + "\n"},
        {{"--find=" + releases, dump},
         1,
         dump + ": FAILED: length 6000, file size 65536 (use --slot to ignore what follows the "
                "image)\n"},
        {{"--slot", "--find=" + releases, unsealed, dump},
         1,
         unsealed + ": FAILED: not sealed\n" + dump + ": matches " + line_2 + "\n" + dump +
             ": matches " + old_2 + "\n"},
        {{"-q", "--slot", "--find=" + releases, dump}, 0, ""},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args);
        EXPECT_EQ(run.status, c.status) << c.args.back();
        EXPECT_EQ(run.out, c.out) << c.args.back();
        EXPECT_EQ(run.err, "") << c.args.back();
    }
    write_file(dump, release_1);
    const std::string other = text_of(read_file(releases)).substr(text.find("# 1.5"));
    write_file(releases, bytes(other.begin(), other.end()));
    const run_result none = run_verify({"--find=" + releases, dump});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, dump + ": no record matches\n");
    // Records on a pipe are searched for one image only; from a file on
    // standard input, for each.
    const std::string both = line_1 + "\n" + line_2 + "\n";
    write_file(releases, bytes(both.begin(), both.end()));
    write_file(twin_path, release_2);
    const run_result piped = run_verify({"--find=-", dump, twin_path},
                                        {"sh", "-c", "cat \"$0\" | exec \"$@\"", releases});
    EXPECT_EQ(piped.status, 2);
    EXPECT_EQ(piped.err,
              "imgseal-verify: -: records that cannot be read twice are searched for one IMAGE "
              "only\n");
    const run_result redirected =
        run_verify({"--find=-", dump, twin_path}, {"sh", "-c", "exec \"$@\" <\"$0\"", releases});
    EXPECT_EQ(redirected.status, 0);
    EXPECT_EQ(redirected.out,
              dump + ": matches " + line_1 + "\n" + twin_path + ": matches " + line_2 + "\n");
}

}  // namespace
}  // namespace imgseal_test
