// Sealing end to end: the bytes written, the fill byte, what every failure of
// a call on the image leaves behind, file size limits and racing runs.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>

#include "support.hpp"

namespace imgseal_test {
namespace {

using stamp = tool_test;

// The one's-complement sum of the big-endian words, carries folded back.
std::uint16_t ones_complement_sum(const bytes& data) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < data.size(); i += 2) {
        sum += std::uint64_t{data[i]} << 8 | (i + 1 < data.size() ? data[i + 1] : 0);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// Each call in a trace that moves, changes or flushes the image, with what a
// write returned.
std::vector<std::string> image_calls(const std::string& log) {
    std::vector<std::string> calls;
    std::ifstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::string call = line.substr(0, line.find('('));
        if (call == "write" || call == "pwrite64") {
            calls.push_back(call + " " + line.substr(line.rfind("= ") + 2));
        } else if (call == "fallocate" || call == "lseek" || call == "fdatasync" ||
                   call == "fsync" || call == "ftruncate") {
            calls.push_back(call);
        }
    }
    return calls;
}

// The worked examples are sealed with their known checksum: the stamp lands at
// descriptor +10, an even image keeps its size, an odd one gains one zero byte
// and then has the size its length field says.
TEST_F(stamp, SealsWorkedExamples) {
    const struct {
        std::uint32_t offset;
        std::uint8_t signature;
        std::size_t size;
        std::uint16_t checksum;
    } cases[] = {{0, 0x55, 2016, 0xDEBC},
                 {0, 0x55, 2017, 0xDDBA},
                 {8, 0x55, 2024, 0xDEAC},
                 {8, 0xAA, 2024, 0x89AC}};
    for (const auto& c : cases) {
        bytes image =
            build_image({.descriptor_offset = c.offset, .signature = c.signature, .size = c.size});
        if (c.size % 2 != 0) image.back() = 0x01;
        const run_result run = run_tool({put_image(image)});
        const auto length = static_cast<std::uint32_t>(c.size + c.size % 2);
        EXPECT_EQ(run.status, 0) << c.size;
        EXPECT_EQ(run.out, sealed_output("abc", length, c.checksum)) << c.size;
        EXPECT_EQ(run.err, "") << c.size;

        bytes want = image;
        want[c.offset + 10] = static_cast<std::uint8_t>(c.checksum >> 8);
        want[c.offset + 11] = static_cast<std::uint8_t>(c.checksum);
        want[c.offset + 14] = static_cast<std::uint8_t>(length >> 8);
        want[c.offset + 15] = static_cast<std::uint8_t>(length);
        if (c.size % 2 != 0) want.push_back(0x00);
        EXPECT_EQ(read_file(image_path_), want) << c.size;
    }
}

// A sealed image is refused by a second run and left unchanged.
TEST_F(stamp, SealedImageIsRefusedUnchanged) {
    put_image(build_image({.size = 3001, .content_seed = 4}));
    ASSERT_EQ(run_tool({image_path_}).status, 0);
    const bytes sealed = read_file(image_path_);
    const run_result again = run_tool({image_path_});
    EXPECT_EQ(again.status, 6);
    EXPECT_EQ(again.out, "Non zero checksum field\n");
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(read_file(image_path_), sealed);
}

// Random images under 131,070 bytes with an even descriptor offset sum to
// 0xFFFF once sealed; with any offset and any size the sealed bytes are those
// of the reference.
TEST_F(stamp, SealedImagesCarryTheReferenceSeal) {
    std::mt19937 generator(2026);
    for (int round = 0; round < 24; ++round) {
        const auto offset = static_cast<std::uint32_t>(generator() % 4000);
        const std::size_t size = offset + 2016 + generator() % 100000;
        const auto seed = static_cast<std::uint32_t>(generator() | 1);
        const bytes image =
            build_image({.descriptor_offset = offset, .size = size, .content_seed = seed});
        const run_result run = run_tool({put_image(image)});
        const bytes want = sealed_image(image, offset);
        EXPECT_EQ(run.status, 0) << round;
        EXPECT_EQ(read_file(image_path_), want) << round;
        if (offset % 2 == 0) {
            EXPECT_EQ(ones_complement_sum(want), 0xFFFF) << round;
        }
    }
}

// Images over 131,070 bytes, where the 32-bit sum wraps, and around the read
// buffer's size are sealed exactly as the reference says.
TEST_F(stamp, SealsLargeImagesAroundBufferSize) {
    const std::size_t n = std::size_t{1} << 20;
    for (const std::size_t size : {n - 1, n, n + 1, 2 * n + 1, 3 * n}) {
        for (const std::uint32_t seed : {0u, 77u}) {
            const bytes image = build_image({.size = size, .content_seed = seed, .fill = 0xFF});
            const run_result run = run_tool({put_image(image)});
            const reference_result want = reference_checksum(image);
            EXPECT_EQ(run.status, 0) << size;
            EXPECT_EQ(run.out, sealed_output("abc", want.padded_length, want.checksum)) << size;
            EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << size;
        }
    }
}

// What a failed call on the image leaves behind.
enum class left {
    unchanged,  // the image is as it was, and a rerun seals it
    padded,     // only the fill byte was added, and a rerun seals it identically
    refused,    // a part of the stamp is written: a rerun refuses it with status 6
    sealed,     // the run succeeded after all
};

// Every call on the image fails in turn. The run ends with the call's status
// and one report, and prints the checksum line only if it sealed the image;
// afterwards the image is unchanged, sealed identically by a rerun, or refused.
TEST_F(stamp, EachFailedCallLeavesARecoverableImage) {
    const struct {
        std::size_t size;
        const char* call;
        int nth;
        const char* error;
        int status;
        const char* report;
        left after;
    } cases[] = {
        // Even image: reservation, seek, stamp write, fsync, close (the
        // first close on the image is the open's own, the second lseek the
        // pass's look for holes).
        {2024, "fallocate", 1, "ENOSPC", 8, "No space left on device\n", left::unchanged},
        {2024, "fallocate", 1, "EOPNOTSUPP", 0, "", left::sealed},
        {2024, "lseek", 3, "ESPIPE", 3, "Illegal seek\n", left::unchanged},
        {2024, "write", 1, "ENOSPC", 8, "No space left on device\n", left::unchanged},
        {2024, "fsync", 1, "EIO", 8, "Input/output error\n", left::refused},
        {2024, "fsync", 1, "ENOSPC", 8, "No space left on device\n", left::refused},
        {2024, "fsync", 1, "EINVAL", 0, "", left::sealed},
        {2024, "close", 2, "EIO", 8, "Input/output error\n", left::refused},
        {2024, "close", 2, "EINTR", 0, "", left::sealed},
        // Odd image: reservation, seek to the end, fill byte, its flush, seek,
        // stamp write.
        {2025, "fallocate", 1, "EDQUOT", 8, "Disk quota exceeded\n", left::unchanged},
        {2025, "lseek", 3, "ESPIPE", 3, "Illegal seek\n", left::unchanged},
        {2025, "write", 1, "EFBIG", 8, "File too large\n", left::unchanged},
        {2025, "fdatasync", 1, "EIO", 8, "Input/output error\n", left::padded},
        {2025, "fdatasync", 1, "EINVAL", 0, "", left::sealed},
        {2025, "lseek", 4, "ESPIPE", 3, "Illegal seek\n", left::padded},
        {2025, "write", 2, "EDQUOT", 8, "Disk quota exceeded\n", left::padded},
    };
    for (const auto& c : cases) {
        const std::string what =
            std::to_string(c.size) + " " + c.call + " " + std::to_string(c.nth) + " " + c.error;
        const bytes image = build_image({.size = c.size, .content_seed = 21});
        const bytes sealed = sealed_image(image, 8);
        const reference_result want = reference_checksum(image);
        const std::string sealed_out = sealed_output("abc", want.padded_length, want.checksum);
        put_image(image);

        const run_result run =
            run_tool({image_path_}, inject_failure(image_path_, c.call, c.error, c.nth));
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.out,
                  c.status == 0 ? sealed_out : sealed_out.substr(0, sealed_out.rfind("Checksum")))
            << what;
        EXPECT_EQ(run.err, c.report) << what;
        const bytes after = read_file(image_path_);

        const run_result rerun = run_tool({image_path_});
        switch (c.after) {
            case left::unchanged:
            case left::padded: {
                bytes expected = image;
                if (c.after == left::padded) expected.push_back(0);
                EXPECT_EQ(after, expected) << what;
                EXPECT_EQ(rerun.status, 0) << what;
                EXPECT_EQ(rerun.out, sealed_out) << what;
                EXPECT_EQ(read_file(image_path_), sealed) << what;
                break;
            }
            case left::refused:
                EXPECT_NE(after, image) << what;
                EXPECT_EQ(rerun.status, 6) << what;
                EXPECT_EQ(read_file(image_path_), after) << what;
                break;
            case left::sealed:
                EXPECT_EQ(after, sealed) << what;
                EXPECT_EQ(rerun.status, 6) << what;
                break;
        }
    }
}

// A stamp write that comes back short is reported as such, not as
// "Success", and the part of the stamp that it wrote is set back to zero: the
// image is left unsealed (with its fill byte) and a rerun seals it
// identically. Only when that fails too is the stamp left in part, and the
// report says so.
TEST_F(stamp, ShortStampWriteIsUndone) {
    const struct {
        std::size_t size;
        io_faults faults;
        const char* report;
        left after;
    } cases[] = {
        {2024, {.write_cap = 1}, "Incomplete write\n", left::unchanged},
        {2024, {.write_cap = 5}, "Incomplete write\n", left::unchanged},
        {3001, {.write_cap = 3}, "Incomplete write\n", left::padded},
        {2024,
         {.write_cap = 1, .pwrite_error = EIO},
         "Incomplete write (stamp left partly written)\n",
         left::refused},
        // A pwrite that writes nothing and reports no error ends the undoing
        // instead of being tried for ever.
        {2024,
         {.write_cap = 1, .pwrite_zero = true},
         "Incomplete write (stamp left partly written)\n",
         left::refused},
    };
    for (const auto& c : cases) {
        const std::string what =
            std::to_string(c.size) + " cap " + std::to_string(c.faults.write_cap) + " pwrite " +
            std::to_string(c.faults.pwrite_error) + (c.faults.pwrite_zero ? " returns 0" : "");
        const bytes image = build_image({.size = c.size, .content_seed = 14});
        const reference_result want = reference_checksum(image);
        put_image(image);
        const std::string log = (dir_ / "calls.log").string();
        // A run that loops ends all the same, and fails the case.
        const run_result run =
            run_tool({image_path_}, chained({{"timeout", "60"},
                                             traced(image_path_, log),
                                             with_io_faults(image_path_, c.faults)}));
        EXPECT_EQ(run.status, 8) << what;
        // The undoing is flushed, in case the part it undid was written back.
        // (The failing pwrite of the last case is the library's, not a call.)
        EXPECT_EQ(image_calls(log).back(), c.after == left::refused ? "write 1" : "fdatasync")
            << what;
        EXPECT_EQ(run.out, "Name: abc\nLength = " + std::to_string(want.padded_length) + "\n")
            << what;
        EXPECT_EQ(run.err, c.report) << what;

        bytes expected = image;
        if (c.after == left::padded) expected.push_back(0);
        // The first byte of the checksum is all that the refused case wrote.
        if (c.after == left::refused) expected[18] = static_cast<std::uint8_t>(want.checksum >> 8);
        EXPECT_EQ(read_file(image_path_), expected) << what;
        const run_result rerun = run_tool({image_path_});
        EXPECT_EQ(rerun.status, c.after == left::refused ? 6 : 0) << what;
        if (c.after != left::refused) {
            EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << what;
        }
    }
}

// A write to the image while imgseal waits to write its "Length =" line, on a
// pipe that its reader has not emptied, is seen when the stamp is about to
// be written: status 4, and the image as the writer left it, unsealed.
TEST_F(stamp, WriterWhileTheLengthLineWaitsIsSeen) {
    const bytes image = build_image({.size = 3000, .content_seed = 21});
    put_image(image);
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    // One page of pipe, filled but for the name line: the length line waits.
    ASSERT_EQ(fcntl(lines[1], F_SETPIPE_SZ, 4096), 4096);
    const std::string name_line = "Name: abc\n";
    const std::string filler(4096 - name_line.size(), 'x');
    ASSERT_EQ(write(lines[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    const std::string errors = (dir_ / "errors.txt").string();
    const pid_t child = fork();
    if (child == 0) {
        dup2(lines[1], 1);
        dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        close(lines[0]);
        close(lines[1]);
        execl(IMGSEAL_BINARY, IMGSEAL_BINARY, image_path_.c_str(), nullptr);
        _exit(127);
    }
    close(lines[1]);
    // Blocked in write(1, ...): the length line, the name line having filled
    // the pipe.
    const std::string syscall = "/proc/" + std::to_string(child) + "/syscall";
    std::string call;
    for (int tries = 0; tries < 3000 && !call.starts_with(std::to_string(SYS_write) + " 0x1 ");
         ++tries) {
        usleep(10000);
        std::getline(std::ifstream(syscall), call);
    }
    ASSERT_TRUE(call.starts_with(std::to_string(SYS_write) + " 0x1 ")) << call;
    bytes rewritten = image;
    rewritten[100] ^= 0x01;
    const int writer = open(image_path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(writer, &rewritten[100], 1, 100), 1);
    close(writer);
    std::string out;
    char buffer[4096];
    for (ssize_t got; (got = read(lines[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(got));
    }
    close(lines[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    ASSERT_TRUE(out.starts_with(filler));
    EXPECT_EQ(out.substr(filler.size()), name_line + "Length = 3000\n");
    EXPECT_EQ(read_text(errors), "Image changed during the checksum pass\n");
    EXPECT_EQ(read_file(image_path_), rewritten);
}

// The image's writes and flushes come in the order that a power cut at any
// point leaves the image as it was, with its fill byte, or sealed: for an odd
// image the fill byte is flushed before the stamp is written, and the stamp's
// 6 bytes go in one write.
TEST_F(stamp, FillByteIsFlushedBeforeTheStampIsWrittenWhole) {
    const std::string log = (dir_ / "calls.log").string();
    const struct {
        std::size_t size;
        std::vector<std::string> calls;
    } cases[] = {
        // The check's seek and the pass's look for holes, then the stamp.
        {2024, {"lseek", "lseek", "fallocate", "lseek", "write 6", "fsync"}},
        {2025,
         {"lseek", "lseek", "fallocate", "lseek", "write 1", "fdatasync", "lseek", "write 6",
          "fsync"}},
    };
    for (const auto& c : cases) {
        const bytes image = build_image({.size = c.size, .content_seed = 3});
        put_image(image);
        ASSERT_EQ(run_tool({image_path_}, traced(image_path_, log)).status, 0) << c.size;
        EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << c.size;
        EXPECT_EQ(image_calls(log), c.calls) << c.size;
    }
}

// With the file size limit at the image's size, the fill byte cannot be
// appended: the run reports it and leaves the image as it was, instead of
// being killed by the signal; a rerun without the limit seals it.
TEST_F(stamp, FileSizeLimitLeavesOddImageUnchanged) {
    const bytes image = build_image({.size = 4097, .content_seed = 8});
    put_image(image);
    const run_result run =
        run_tool({image_path_}, {"prlimit", "--fsize=" + std::to_string(image.size())});
    EXPECT_EQ(run.status, 8);
    EXPECT_EQ(run.out, "Name: abc\nLength = 4098\n");
    EXPECT_EQ(run.err, "File too large\n");
    EXPECT_EQ(read_file(image_path_), image);
    EXPECT_EQ(run_tool({image_path_}).status, 0);
    EXPECT_EQ(read_file(image_path_), sealed_image(image, 8));
}

// A file system without locks does not stop sealing; any other failure to
// take the lock ends the run at the open, before anything is read.
TEST_F(stamp, LockIsSkippedOnlyWhereUnsupported) {
    const bytes image = build_image({.size = 3001, .content_seed = 6});
    const reference_result want = reference_checksum(image);
    for (const std::string error : {"ENOLCK", "EINVAL", "EOPNOTSUPP", "EIO"}) {
        put_image(image);
        const run_result run =
            run_tool({image_path_}, inject_failure(image_path_, "fcntl", error, 1));
        if (error == "EIO") {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "Input/output error\n");
            EXPECT_EQ(read_file(image_path_), image);
        } else {
            EXPECT_EQ(run.status, 0) << error;
            EXPECT_EQ(run.out, sealed_output("abc", want.padded_length, want.checksum)) << error;
            EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << error;
        }
    }
}

// Runs started together on one odd-sized image follow one another: one seals
// it, the others find it sealed, and the fill byte is appended once.
TEST_F(stamp, RacingRunsSealOnce) {
    const bytes image = build_image({.size = (std::size_t{4} << 20) + 1, .content_seed = 12});
    const bytes sealed = sealed_image(image, 8);
    for (int round = 0; round < 8; ++round) {
        put_image(image);
        std::vector<pid_t> runs;
        for (int i = 0; i < 4; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                const int null_fd = open("/dev/null", O_RDWR);
                dup2(null_fd, 1);
                dup2(null_fd, 2);
                execl(IMGSEAL_BINARY, IMGSEAL_BINARY, image_path_.c_str(), nullptr);
                _exit(127);
            }
            runs.push_back(child);
        }
        int sealed_runs = 0;
        int refused_runs = 0;
        for (const pid_t child : runs) {
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status));
            sealed_runs += WEXITSTATUS(status) == 0;
            refused_runs += WEXITSTATUS(status) == 6;
        }
        EXPECT_EQ(sealed_runs, 1) << round;
        EXPECT_EQ(refused_runs, 3) << round;
        EXPECT_EQ(read_file(image_path_), sealed) << round;
    }
}

}  // namespace
}  // namespace imgseal_test
