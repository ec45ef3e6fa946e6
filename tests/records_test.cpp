// What imgseal-verify adds to the seal: the CRC of a packed image, records
// with the SHA-256 of the image, --find, and read-backs compared byte for
// byte with --same-as, which catch what a 16-bit sum cannot.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

#include "image_crc.hpp"
#include "support.hpp"

namespace imgseal_test {
namespace {

using records = tool_test;

// A sealed image of 8 KiB whose content holds a page of zeros, at 4096.
bytes image_with_zeros() {
    bytes image = build_image({.size = 8192, .content_seed = 31});
    std::fill(image.begin() + 4096, image.begin() + 4352, 0);
    image[0] = 0x12;  // a version, say, in the header's free bytes
    image[2] = 0x34;
    return sealed_image(image, 8);
}

// The SHA-256 of an OK line is sha256sum's; -c catches two 512-byte blocks
// swapped, which keep the seal, with -q too, while a record of 1.2.0, which
// has only the seal, still passes. (That of a slot, over its first `length`
// bytes, is in the OK lines of the read-back tests.)
TEST_F(records, DigestCatchesWhatTheSealCannot) {
    const bytes sealed = image_with_zeros();
    put_image(sealed);
    const run_result made = run_verify({image_path_});
    ASSERT_EQ(made.status, 0);
    const std::string digest = made.out.substr(made.out.size() - 65, 64);
    FILE* sha256sum = popen(("sha256sum " + image_path_).c_str(), "r");
    char line[128] = {};
    ASSERT_TRUE(sha256sum != nullptr && std::fgets(line, sizeof line, sha256sum) != nullptr);
    pclose(sha256sum);
    EXPECT_EQ(std::string(line, 64), digest);

    const std::string seals = (dir_ / "seals.txt").string();
    write_text(seals, made.out);
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
    write_text(seals, old_record);
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
    const bytes swapped = words_swapped(sealed, 3000, 7000);
    bytes header = sealed;  // the header's free bytes 0 and 2 exchanged
    std::swap(header[0], header[2]);
    const std::string same = ": " + record_of(sealed) + "\n";
    const struct {
        const char* what;
        bytes read;
        std::string line;
    } cases[] = {
        {"the same bytes", sealed, same},
        {"an erased page", erased, differs_line(app, sealed, erased)},
        {"two words swapped", swapped, differs_line(app, sealed, swapped)},
        {"the header's first byte", header, differs_line(app, sealed, header)},
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
            {{"--same-as=" + app, "-"}, redirected_from(image_path_), "-"},
            {{"--slot", "--same-as=" + app, "-"}, piped_from(slot), "-"},
        };
        for (const auto& f : forms) {
            const run_result run = run_verify(f.args, f.prefix);
            EXPECT_EQ(run.status, status) << c.what << " " << f.path;
            EXPECT_EQ(run.out, f.path + c.line) << c.what << " " << f.path;
            EXPECT_EQ(run.err, "") << c.what << " " << f.path;
        }
        // A block device, as a partition read in place.
        const std::string path = attach_loop_device(slot);
        if (path.empty()) continue;
        const run_result run = run_verify({"--slot", "--same-as=" + app, path});
        EXPECT_EQ(std::system(("losetup -d " + path).c_str()), 0);
        EXPECT_EQ(run.status, status) << c.what << " " << path;
        EXPECT_EQ(run.out, path + c.line) << c.what << " " << path;
    }
    // A read-back cut short keeps its line.
    put_image(bytes(sealed.begin(), sealed.begin() + 8000));
    EXPECT_EQ(run_verify({"--slot", "--same-as=" + app, image_path_}).out,
              image_path_ + ": FAILED: length 8192, slot size 8000\n");
}

// Images larger than the comparison's buffer (1 MiB) are compared whole: a
// difference past the first buffer is found where it is, the first of two is
// the one told, whatever lies between them, and an image of --same-as that
// changes or shrinks while it is compared ends the image's check with an
// error, never in a hang nor with an OK line.
TEST_F(records, ReadBackLargerThanTheComparisonsBufferIsComparedWhole) {
    constexpr std::size_t mib = std::size_t{1} << 20;
    const bytes sealed =
        sealed_image(build_image({.size = 5 * mib / 2 + 6, .content_seed = 61}), 8);
    const std::string app = (dir_ / "app.img").string();
    const bytes past = words_swapped(sealed, mib + 4096, 2 * mib + 8192);
    const bytes twice = words_swapped(sealed, 100, 2 * mib + 4);
    const struct {
        const char* what;
        const bytes& read;
        io_faults faults;  // on the image of --same-as
        int status;
        std::string line;
    } cases[] = {
        {"the same bytes", sealed, {}, 0, ": " + record_of(sealed) + "\n"},
        {"a difference past the first buffer", past, {}, 1, differs_line(app, sealed, past)},
        {"two differences, buffers apart", twice, {}, 1, differs_line(app, sealed, twice)},
        {"the image of --same-as shrinks",
         sealed,
         {.pread_change_at = 2, .shrink = true},
         2,
         ": ERROR: the image of --same-as: Unexpected end of file\n"},
        {"the image of --same-as changes",
         sealed,
         {.pread_change_at = 2},
         2,
         ": ERROR: the image of --same-as changed during the check\n"},
    };
    for (const auto& c : cases) {
        const bool changing = c.faults.pread_change_at != 0;
        put_image(c.read);
        for (const bool piped : {false, true}) {
            if (piped && changing) continue;
            write_file(app, sealed);
            const std::string path = piped ? "-" : image_path_;
            const std::vector<std::string> around = changing ? with_io_faults(app, c.faults)
                                                    : piped  ? piped_from(image_path_)
                                                             : std::vector<std::string>{};
            const run_result run =
                run_verify({"--same-as=" + app, path}, chained({{"timeout", "60"}, around}));
            EXPECT_EQ(run.status, c.status) << c.what << " " << path;
            EXPECT_EQ(run.out, path + c.line) << c.what << " " << path;
            EXPECT_EQ(run.err, "") << c.what << " " << path;
        }
    }
}

// --find prints every record that an image matches, by seal and, where the
// record has them, its digest: the release that a slot read back holds,
// among several; an image that matches none, or fails its own check, says
// so; records of 1.2.0 match by their seal.
TEST_F(records, FindTellsWhichReleaseAnImageHolds) {
    const bytes release_1 = sealed_image(build_image({.size = 4096, .content_seed = 41}), 8);
    const bytes release_2 = sealed_image(build_image({.size = 6000, .content_seed = 42}), 8);
    const std::string line_1 = "out/1.4/app.img: " + record_of(release_1);
    const std::string line_2 = "out/1.5/app.img: " + record_of(release_2);
    const std::string old_2 = line_2.substr(0, line_2.find(", SHA-256 "));
    const std::string text = "# 1.4\n" + line_1 + "\n\n# 1.5\n" + line_2 + "\n" + old_2 + "\n";
    const std::string releases = (dir_ / "releases.txt").string();
    const std::string later = (dir_ / "later.txt").string();  // without 1.4
    const std::string both = (dir_ / "both.txt").string();    // 1.4 and 1.5, no 1.2.0 record
    const std::string utf16 = (dir_ / "utf16.txt").string();
    write_text(releases, text);
    write_text(later, text.substr(text.find("# 1.5")));
    write_text(both, line_1 + "\n" + line_2 + "\n");
    write_file(utf16, bytes{0xFF, 0xFE, '#', 0});
    const std::string dump = (dir_ / "dump.bin").string();
    bytes slot = release_2;
    slot.resize(65536, 0xFF);
    write_file(dump, slot);
    const std::string twin = (dir_ / "twin.img").string();  // the seal of release 2, other bytes
    write_file(twin, words_swapped(release_2, 3000, 5000));
    const std::string unsealed = (dir_ / "unsealed.img").string();
    write_file(unsealed, build_image({.size = 4096}));
    const std::string one = (dir_ / "one.img").string();
    const std::string two = (dir_ / "two.img").string();
    write_file(one, release_1);
    write_file(two, release_2);
    const std::string dump_matches =
        dump + ": matches " + line_2 + "\n" + dump + ": matches " + old_2 + "\n";
    const std::string directory = "imgseal-verify: " + dir_.string() + ": Is a directory\n";

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> prefix;
        int status;
        std::string out;
        std::string err = {};
    } cases[] = {
        {{"--slot", "--find=" + releases, dump}, {}, 0, dump_matches},
        // The same seal, other bytes: only 1.2.0's record, which has no
        // digest, matches.
        {{"--find=" + releases, twin}, {}, 0, twin + ": matches " + old_2 + "\n"},
        {{"--find=" + releases, dump},
         {},
         1,
         dump + ": FAILED: length 6000, file size 65536 (use --slot to ignore what follows the "
                "image)\n"},
        {{"--slot", "--find=" + releases, unsealed, dump},
         {},
         1,
         unsealed + ": FAILED: not sealed\n" + dump_matches},
        {{"-q", "--slot", "--find=" + releases, dump}, {}, 0, ""},
        {{"--find=" + later, one}, {}, 1, one + ": no record matches\n"},
        // Records on a pipe are searched for one image only; from a file on
        // standard input, for each.
        {{"--find=-", one, two},
         piped_from(both),
         2,
         "",
         "imgseal-verify: -: records that cannot be read twice are searched for one IMAGE only\n"},
        {{"--find=-", one, two},
         redirected_from(both),
         0,
         one + ": matches " + line_1 + "\n" + two + ": matches " + line_2 + "\n"},
        // Records that cannot be read are said to be so, and match nothing.
        {{"--find=" + dir_.string(), one}, {}, 2, "", directory},
        {{"--find=" + dir_.string(), one, two}, {}, 2, "", directory},
        {{"--find=-", one},
         piped_from(utf16),
         2,
         one + ": ERROR: the records cannot be read\n",
         "imgseal-verify: -: records are UTF-16; save them as UTF-8\n"},
    };
    for (const auto& c : cases) {
        const run_result run = run_verify(c.args, c.prefix);
        const std::string what = testing::PrintToString(c.args) + testing::PrintToString(c.prefix);
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.out, c.out) << what;
        EXPECT_EQ(run.err, c.err) << what;
    }
}

// What imgseal-verify says of such a copy whose header and stamp are as
// sealed: the checksum's line where the seal fails, the CRC's where it passes.
std::string failed_line(const bytes& changed) {
    bytes unstamped = changed;
    std::fill(unstamped.begin() + 18, unstamped.begin() + 24, 0);
    char line[64];
    if (seal_passes(changed)) {
        std::snprintf(line, sizeof line, ": FAILED: CRC-32 %08X, computed %08X\n",
                      load_be32_at(changed, 12), reference_image_crc(changed));
    } else {
        std::snprintf(line, sizeof line, ": FAILED: checksum %04X, computed %04X\n",
                      load_be16_at(changed, 18), reference_checksum(unstamped).checksum);
    }
    return line;
}

// What the CRC is for, on the trial's image: every 256-byte page, counted
// from the image's start, that holds a byte other than 0xFF, turned to 0xFF
// as erased flash reads, fails, and so does each of a sample of single-bit
// flips, as a file, with -q too; and the trial's blind case, the last 2 KiB
// of zeros left erased. A page that held only zeros, and that tail, pass the
// seal alone, as the reference shows on the same image, and fail by the
// CRC: as files, as slots read back, and a sample through standard input;
// with --same-as, by the comparison, whose line says where.
TEST_F(records, CrcCatchesEveryErasedPageAndBitFlip) {
    const bytes sealed = packed_trial_image(dir_);
    ASSERT_EQ(sealed.size(), 94208u);
    bytes tail = sealed;
    std::fill(tail.end() - 2048, tail.end(), 0xFF);
    EXPECT_TRUE(seal_passes(tail));
    std::vector<std::pair<std::string, bytes>> changed = {{"tail", tail}};
    std::size_t zero_pages = 0;
    for (std::size_t page = 0; page < sealed.size(); page += 256) {
        const auto first = sealed.begin() + static_cast<std::ptrdiff_t>(page);
        if (std::all_of(first, first + 256, [](std::uint8_t b) { return b == 0xFF; })) continue;
        bytes erased = sealed;
        std::fill_n(erased.begin() + static_cast<std::ptrdiff_t>(page), 256, 0xFF);
        if (std::all_of(first, first + 256, [](std::uint8_t b) { return b == 0; })) {
            ++zero_pages;
            EXPECT_TRUE(seal_passes(erased)) << "zero page at " << page;
        }
        if (page != 0) changed.emplace_back("page-" + std::to_string(page), erased);
    }
    EXPECT_EQ(changed.size(), 1 + 368u - 8u);  // all but the first and the name field's 0xFF fill
    EXPECT_GE(zero_pages, 20u);
    std::mt19937 positions(9);
    for (int flip = 0; flip < 4000; ++flip) {
        const std::size_t bit = positions() % (sealed.size() * 8);
        const std::size_t at = bit / 8;
        bytes flipped = sealed;
        flipped[at] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        // The seal's fields are the seal's to catch; the CRC takes them as zero.
        if (at >= 18 && at < 24) {
            EXPECT_FALSE(seal_passes(flipped)) << "bit " << bit;
            continue;
        }
        EXPECT_NE(imgseal::image_crc(flipped.data(), flipped.size()), load_be32_at(flipped, 12))
            << "bit " << bit;
        // A sample for the verifier, but for the descriptor offset's bytes,
        // whose lines the damage table has.
        if (flip % 20 == 0 && (at < 4 || at >= 8)) {
            changed.emplace_back("bit-" + std::to_string(bit), flipped);
        }
    }
    const std::string app = (dir_ / "app.img").string();
    std::vector<std::string> files = {"-q"};
    std::vector<std::string> slots = {"--slot"};
    std::string lines;
    std::string slot_lines;
    std::string compared_lines;  // with --same-as: where the seal passes, where the bytes differ
    for (std::size_t i = 0; i < changed.size(); ++i) {
        const auto& [name, image] = changed[i];
        files.push_back((dir_ / (name + ".img")).string());
        write_file(files.back(), image);
        lines += files.back() + failed_line(image);
        if (i % 16 != 0 && !seal_passes(image)) continue;
        bytes slot = image;
        slot.resize(131072, 0xFF);
        slots.push_back((dir_ / (name + ".slot")).string());
        write_file(slots.back(), slot);
        slot_lines += slots.back() + failed_line(image);
        compared_lines += slots.back() + (seal_passes(image) ? differs_line(app, sealed, image)
                                                             : failed_line(image));
        if (i % 16 != 0) continue;
        const run_result streamed = run_verify({"--slot", "-"}, redirected_from(slots.back()));
        EXPECT_EQ(streamed.status, 1) << name;
        EXPECT_EQ(streamed.out, "-" + failed_line(image)) << name;
    }
    std::vector<std::string> compared = slots;
    compared.insert(compared.begin() + 1, "--same-as=" + app);
    const std::vector<std::string> unquiet(files.begin() + 1, files.end());
    for (const auto& [args, out] :
         {std::pair{unquiet, lines}, std::pair{files, lines}, std::pair{slots, slot_lines},
          std::pair{compared, compared_lines}}) {
        const run_result run = run_verify(args);
        EXPECT_EQ(run.status, 1) << args[0] << " " << args[1];
        EXPECT_EQ(run.out, out) << args[0] << " " << args[1];
    }
    // The first page holds the header: erased, it is no image at all.
    bytes first_erased = sealed;
    std::fill_n(first_erased.begin(), 256, 0xFF);
    put_image(first_erased);
    EXPECT_EQ(run_verify({image_path_}).out,
              image_path_ + ": ERROR: not an image: erased (the header's 8 bytes are all 0xFF)\n");
}

// The CRC in records, --find, --require-crc and --same-as: an OK line
// carries it, -c compares it as it compares the seal (an image without one
// is "none"), a record without it still checks, --find matches on it, an
// image without a CRC fails where one is required, and an image of
// --same-as whose CRC fails is refused.
TEST_F(records, RecordsFindAndOptionsTakeTheCrc) {
    write_file(dir_ / "app.bin", random_bytes(6000, 12));
    ASSERT_EQ(run_pack({"app.bin", "app.img"}, {}, {.working_dir = dir_}).status, 0);
    ASSERT_EQ(run_tool({"app.img"}, {}, false, {.working_dir = dir_}).status, 0);
    const bytes app = read_file(dir_ / "app.img");
    const bytes old = sealed_image(build_image({.size = 4096, .content_seed = 13}), 8);
    write_file(dir_ / "old.img", old);
    const bytes broken = words_swapped(app, 3000, 5000);
    write_file(dir_ / "broken.img", broken);
    const std::string record = "app.img: " + record_of(app);
    ASSERT_NE(record.find(", CRC-32 "), std::string::npos);
    const std::string crc = record.substr(record.find(", CRC-32 ") + 9, 8);
    std::string other_crc = record;
    other_crc[other_crc.find(", CRC-32 ") + 16] ^= 1;  // its last digit
    const std::string without_crc =
        record.substr(0, record.find(", CRC-32 ")) + record.substr(record.find(", SHA-256 "));
    const std::string of_1_2_0 = record.substr(0, record.find(", CRC-32 "));
    const std::string old_record = record_of(old);
    const std::size_t digest_at = old_record.find(", SHA-256 ");
    const std::string old_with_crc = "old.img: " + old_record.substr(0, digest_at) + ", CRC-32 " +
                                     crc + old_record.substr(digest_at);
    const std::string differs = "app.img: FAILED: CRC-32 differs from the record: " + crc +
                                ", recorded " +
                                other_crc.substr(other_crc.find(", CRC-32 ") + 9, 8);
    const std::string releases =
        other_crc + "\n" + record + "\n" + without_crc + "\n" + of_1_2_0 + "\n";
    const struct {
        std::vector<std::string> args;
        std::string records;  // in seals.txt, where given
        int status;
        std::string out;
        std::string err = {};
    } cases[] = {
        {{"app.img"}, "", 0, record + "\n"},
        {{"-c", "seals.txt"},
         record + "\n" + without_crc + "\n" + of_1_2_0,
         0,
         record + "\n" + record + "\n" + record + "\n"},
        {{"-c", "seals.txt"}, other_crc, 1, differs + "\n"},
        {{"-c", "seals.txt"},
         old_with_crc,
         1,
         "old.img: FAILED: CRC-32 differs from the record: none, recorded " + crc + "\n"},
        {{"--find=seals.txt", "app.img"},
         releases,
         0,
         "app.img: matches " + record + "\napp.img: matches " + without_crc +
             "\napp.img: matches " + of_1_2_0 + "\n"},
        {{"--find=seals.txt", "broken.img"}, releases, 1, "broken.img" + failed_line(broken)},
        {{"--require-crc", "app.img", "old.img"}, "", 1, record + "\nold.img: FAILED: no CRC\n"},
        {{"--require-crc", "--status", "-c", "seals.txt"}, "old.img: " + old_record, 1, ""},
        {{"--require-crc", "--same-as=old.img", "app.img"},
         "",
         2,
         "",
         "imgseal-verify: --same-as old.img: FAILED: no CRC\n"},
        {{"--same-as=broken.img", "app.img"},
         "",
         2,
         "",
         "imgseal-verify: --same-as broken.img" + failed_line(broken)},
        {{"--same-as=app.img", "-q", "app.img", "old.img"},
         "",
         1,
         "old.img: FAILED: seal differs from the expected seal: Length = 4096, Checksum " +
             old_record.substr(digest_at - 4, 4) + ", expected Length = 8048, Checksum " +
             record.substr(record.find("Checksum ") + 9, 4) + "\n"},
    };
    for (const auto& c : cases) {
        write_text(dir_ / "seals.txt", c.records);
        const run_result run = run_verify(c.args, {}, {.working_dir = dir_});
        EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(run.out, c.out) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(run.err, c.err) << c.args[0] << " " << c.args.back();
    }
}

// Records that hold no record, or a line that is none, are trouble whichever
// image comes first: an image that fails its own check does not hide them.
TEST_F(records, FindSaysWhatIsWrongWithTheRecordsWhateverTheFirstImage) {
    const std::string good = (dir_ / "good.img").string();
    write_file(good, sealed_image(build_image({.size = 4096, .content_seed = 51}), 8));
    const std::string unsealed = (dir_ / "unsealed.img").string();
    write_file(unsealed, build_image({.size = 4096}));
    const std::string found = (dir_ / "found.txt").string();
    const struct {
        const char* what;
        std::string text;
        std::string warning;
    } cases[] = {
        {"comments only", "# nothing released yet\n", "imgseal-verify: " + found + ": no record\n"},
        {"a line that is no record", "junk\n" + good + ": " + record_of(read_file(good)) + "\n",
         found + ":1: not a record\n"},
    };
    for (const auto& c : cases) {
        write_text(found, c.text);
        for (const auto& images :
             {std::vector<std::string>{good}, std::vector<std::string>{unsealed, good},
              std::vector<std::string>{unsealed}}) {
            const run_result run = run_verify(chained({{"--find=" + found}, images}));
            EXPECT_EQ(run.status, 2) << c.what << ", first " << images.front();
            EXPECT_EQ(run.err, c.warning) << c.what << ", first " << images.front();
        }
    }
}

// The guard reads the records once for the paths they name, then again to
// check them. Records that change in between (a script rewrites them) must
// not lead a line into an image that only the second reading names. The tool
// is stopped right after its rewind, as a slow disk or a busy machine could
// hold it there.
TEST_F(records, RecordsChangedBetweenTheReadingsLeadNoLineIntoAnImage) {
    const bytes sealed = sealed_image(build_image({.size = 4096, .content_seed = 52}), 8);
    const std::string first = (dir_ / "first.img").string();
    const std::string victim = (dir_ / "victim.img").string();
    write_file(first, sealed);
    write_file(victim, sealed);
    const std::string seals = (dir_ / "seals.txt").string();
    const std::string before = first + ": " + record_of(sealed) + "\n";
    write_text(seals, before);

    // The tracer's log says when the tool has stopped: not any stop of a
    // traced process, which each traced call makes, but the one at the rewind.
    const std::string log = (dir_ / "strace.log").string();
    const std::string errors = (dir_ / "errors.txt").string();
    std::vector<std::string> words = traced(seals, log);
    words.insert(words.end(), {"-e", "trace=lseek", "-e", "inject=lseek:signal=SIGSTOP:when=2",
                               IMGSEAL_VERIFY_BINARY, "-c", seals});
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t tracer = fork();
    ASSERT_NE(tracer, -1);
    if (tracer == 0) {
        const int out = open(victim.c_str(), O_WRONLY | O_APPEND);
        dup2(out, 1);
        const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    bool stopped = false;
    for (int i = 0; i < 6000 && !stopped; ++i) {
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
        stopped = read_text(log).find("stopped by SIGSTOP") != std::string::npos;
    }
    EXPECT_TRUE(stopped) << "the tool never reached its rewind";
    pid_t tool = -1;
    std::ifstream children("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) +
                           "/children");
    children >> tool;
    const std::string after = before + victim + ": " + record_of(sealed) + "\n";
    {
        std::ofstream rewritten(seals, std::ios::trunc);  // in place, as a script's > does
        rewritten << after;
    }
    if (tool > 0) kill(tool, stopped ? SIGCONT : SIGKILL);
    int status = 0;
    waitpid(tracer, &status, 0);
    const bytes now = read_file(victim);
    EXPECT_EQ(now.size(), sealed.size()) << "a line went into an image that the records name";
    EXPECT_TRUE(now == sealed);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(read_text(errors),
              "imgseal-verify: " + seals + ": the records changed during the check\n");
}

}  // namespace
}  // namespace imgseal_test
