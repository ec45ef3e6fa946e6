// imgseal-pack: the image it lays out, byte for byte, which imgseal seals and
// imgseal-verify finds sealed with its CRC; every bad input and failed call
// with its status, its one line and nothing left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <thread>

#include "support.hpp"

namespace imgseal_test {
namespace {

using pack = tool_test;

// The image as the packer's layout describes it, written out the plain way.
bytes expected_image(const bytes& binary, const std::string& name, std::uint32_t version,
                     std::uint8_t signature, std::size_t align) {
    const std::size_t offset = (2024 + align - 1) / align * align;
    bytes image(offset, 0xFF);
    put_be32(image, 0, version);
    put_be32(image, 4, 8);
    put_be32(image, 8, 0x89435243);
    put_be32(image, 12, 0);
    image[16] = signature;
    image[17] = 0;
    for (std::size_t i = 18; i < 24; ++i) image[i] = 0;
    std::copy(name.begin(), name.end(), image.begin() + 24);
    image[24 + name.size()] = 0;
    image.insert(image.end(), binary.begin(), binary.end());
    if (binary.size() % 2 != 0) image.push_back(0xFF);
    put_be32(image, 12, reference_image_crc(image));
    return image;
}

std::string packed_line(const std::string& path, std::size_t binary_size, std::size_t offset,
                        std::size_t length, std::uint32_t crc) {
    char line[128];
    std::snprintf(line, sizeof line, ": binary of %zu bytes at %zu, Length = %zu, CRC-32 %08X\n",
                  binary_size, offset, length, crc);
    return path + line;
}

// The words of `line`, split at its spaces.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        result.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return result;
}

// The layout byte for byte, for each option and the alignments' extremes,
// with the line that reports it; and imgseal seals the image as it is,
// adding no byte, so that imgseal-verify finds the CRC field the sealed
// image's CRC. The last case is the manual's worked example.
TEST_F(pack, LaysOutTheImageByteForByte) {
    const std::string long_name(1999, 'n');
    const struct {
        std::string options;
        bytes binary;
        std::string name;
        std::uint32_t version;
        std::uint8_t signature;
        std::size_t align;
    } cases[] = {
        {"", random_bytes(5001, 1), "", 0, 0x55, 2048},
        {"--align=4 --name=app", random_bytes(4, 2), "app", 0, 0x55, 4},
        {"--align=0x10 --signature=aa", random_bytes(6, 3), "", 0, 0xAA, 16},
        {"--align=65536 --image-version=0x01020304", {0}, "", 0x01020304, 0x55, 65536},
        {"--image-version=4294967294 --signature=AA --name=" + long_name, random_bytes(3000, 4),
         long_name, 0xFFFFFFFE, 0xAA, 2048},
        {"--name=Ünïcödé✓ --align=4096", random_bytes(2 << 20, 5), "Ünïcödé✓", 0, 0x55, 4096},
        {"--name=demo", {1, 2, 3, 4}, "demo", 0, 0x55, 2048},
    };
    for (const auto& c : cases) {
        write_file(dir_ / "app.bin", c.binary);
        const std::vector<std::string> args =
            words(c.options + (c.options.empty() ? "" : " ") + "app.bin out.img");
        const run_result run = run_pack(args, {}, {.working_dir = dir_});
        const bytes want = expected_image(c.binary, c.name, c.version, c.signature, c.align);
        const std::size_t offset = (2024 + c.align - 1) / c.align * c.align;
        const std::string what = c.options.substr(0, 60);
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_EQ(run.err, "") << what;
        EXPECT_EQ(run.out, packed_line("out.img", c.binary.size(), offset, want.size(),
                                       load_be32_at(want, 12)))
            << what;
        ASSERT_EQ(read_file(dir_ / "out.img"), want) << what;
        ASSERT_EQ(run_tool({"out.img"}, {}, false, {.working_dir = dir_}).status, 0) << what;
        const bytes sealed = read_file(dir_ / "out.img");
        EXPECT_EQ(load_be32_at(sealed, 20), want.size()) << what;
        EXPECT_EQ(run_verify({"out.img"}, {}, {.working_dir = dir_}).out,
                  "out.img: " + record_of(sealed) + "\n")
            << what;
    }
    // The manual's worked example.
    EXPECT_EQ(load_be32_at(read_file(dir_ / "out.img"), 12), 0x324CAE1Cu);
    EXPECT_EQ(load_be16_at(read_file(dir_ / "out.img"), 18), 0x102Au);
}

// What a directory holds: each name with its size and a hash of its bytes (a
// large file's size alone, a mark for a directory, a link and a FIFO), to
// show that a run left nothing behind.
std::map<std::string, std::string> contents(const std::filesystem::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink()) {
            files[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file() && entry.file_size() > (4u << 20)) {
            files[name] = "size " + std::to_string(entry.file_size());
        } else if (entry.is_regular_file()) {
            const bytes data = read_file(entry.path());
            files[name] =
                std::to_string(data.size()) + " bytes, " +
                std::to_string(std::hash<std::string>{}(std::string(data.begin(), data.end())));
        } else {
            files[name] = entry.is_directory() ? "directory" : "other";
        }
    }
    return files;
}

// Every bad input and every failed call: its status, its one line on standard
// error naming the file, nothing on standard output, and the directory as it
// was, an existing output's bytes included. Settings are checked first, then
// the binary, then the output.
TEST_F(pack, BadInputsAndFailuresEndWithTheirStatusAndLeaveNothing) {
    write_file(dir_ / "app.bin", random_bytes(3 << 19, 1));  // 1.5 MiB: two reads
    write_file(dir_ / "empty.bin", {});
    write_file(dir_ / "pub.bin", {1, 2, 3});
    write_file(dir_ / "out.img", {'o', 'l', 'd'});
    std::filesystem::create_directory(dir_ / "sub");
    std::filesystem::create_symlink("app.bin", dir_ / "link.bin");
    std::filesystem::create_hard_link(dir_ / "app.bin", dir_ / "hard.bin");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    // Binaries whose images would be 2^31 bytes, and 2^31 - 2.
    for (const auto& [name, size] : {std::pair{"huge.bin", 2049}, std::pair{"largest.bin", 2050}}) {
        write_file(dir_ / name, {1});
        ASSERT_EQ(truncate((dir_ / name).c_str(), (off_t{1} << 31) - size), 0);
    }
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir_ / "app.bin").c_str(), 0600), 0);  // hard.bin too
    ASSERT_EQ(chmod((dir_ / "pub.bin").c_str(), 0644), 0);
    const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};
    const std::vector<std::string> size_limit = {"sh", "-c", "ulimit -f 64; exec \"$@\"", "sh"};
    const std::string usage = "Usage: imgseal-pack [OPTION]... BINARY IMAGE";
    const std::string unknown = ": unknown option, or one that lacks its value";
    const std::string not_number = " takes a number, decimal or 0x-hex";
    const std::string align = "out.img: the alignment is not a power of two from 4 to 65536";
    const std::string control = "out.img: the name holds a control character";
    const std::string io_error = ": Input/output error";
    // Arguments split at spaces; the message follows "imgseal-pack: ".
    const struct {
        int status;
        std::string args;
        std::string message;
        std::vector<std::string> prefix = {};
    } cases[] = {
        {1, "", usage},
        {1, "app.bin", usage},
        {1, "app.bin out.img more.img", usage},
        {1, "--frob app.bin out.img", "--frob" + unknown},
        {1, "app.bin out.img --align", "--align" + unknown},
        {1, "--align= app.bin out.img", "--align" + not_number},
        {1, "--align=2048x app.bin out.img", "--align" + not_number},
        {1, "--image-version=-1 app.bin out.img", "--image-version" + not_number},
        {1, "--image-version=0x app.bin out.img", "--image-version" + not_number},
        {1, "--signature=56 app.bin out.img", "--signature takes 55 or AA"},
        {1, "--signature=0x55 app.bin out.img", "--signature takes 55 or AA"},
        // The layout, before any file is looked at.
        {3, "--align=3 missing.bin out.img", align},
        {3, "--align=2 app.bin out.img", align},
        {3, "--align=0x20000 app.bin out.img", align},
        {3, "--align=99999999999999999999999 app.bin out.img", align},
        {3, "--image-version=0xFFFFFFFF app.bin out.img",
         "out.img: the image version 0xFFFFFFFF reads as erased flash"},
        {3, "--image-version=4294967296 app.bin out.img",
         "out.img: the image version does not fit the header's 4 bytes"},
        {3, "--name=" + std::string(2000, 'n') + " app.bin out.img",
         "out.img: the name is longer than 1999 bytes"},
        {3, "--name=a\nb app.bin out.img", control},
        {3, "--name=a\x7f app.bin out.img", control},
        {3, "--name=next\xC2\x85line app.bin out.img", control},
        // The binary.
        {2, "missing.bin out.img", "missing.bin: No such file or directory"},
        {2, "sub out.img", "sub: Is a directory"},
        {2, "empty.bin out.img", "empty.bin: empty"},
        {2, "app.bin new.img", "app.bin: Permission denied", as_nobody},
        {2, "app.bin out.img", "app.bin" + io_error,
         inject_failure((dir_ / "app.bin").string(), "read", "EIO", 2)},
        // The image's size, known before anything is written.
        {3, "huge.bin out.img", "out.img: the image would reach 2^31 bytes"},
        {4, "largest.bin sub", "sub: Not a regular file"},
        // The output.
        {4, "app.bin sub", "sub: Not a regular file"},
        {4, "app.bin fifo", "fifo: Not a regular file"},
        {4, "app.bin /dev/null", "/dev/null: Not a regular file"},
        {4, "app.bin app.bin", "app.bin: the same file as the binary"},
        {4, "app.bin hard.bin", "hard.bin: the same file as the binary"},
        {4, "app.bin link.bin", "link.bin: the same file as the binary"},
        {4, "link.bin ./app.bin", "./app.bin: the same file as the binary"},
        {4, "app.bin nowhere/out.img", "nowhere/out.img: No such file or directory"},
        {4, "app.bin empty.bin/out.img", "empty.bin/out.img: Not a directory"},
        {4, "pub.bin out.img", "out.img: Permission denied", as_nobody},
        {4, "app.bin out.img", "out.img: File too large", size_limit},
        {4, "app.bin out.img", "out.img: No space left on device",
         inject_failure("", "write", "ENOSPC", 2)},
        {4, "app.bin out.img", "out.img" + io_error, inject_failure("", "pwrite64", "EIO", 1)},
        {4, "app.bin out.img", "out.img" + io_error, inject_failure("", "fsync", "EIO", 1)},
        {4, "app.bin out.img", "out.img: Invalid cross-device link",
         inject_failure("", "rename", "EXDEV", 1)},
    };
    const std::map<std::string, std::string> before = contents(dir_);
    for (const auto& c : cases) {
        const std::string what = c.args.substr(0, 60);
        if (c.prefix == as_nobody && geteuid() != 0) continue;  // needs root to be another user
        const run_result run = run_pack(words(c.args), c.prefix, {.working_dir = dir_});
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.err, (c.message == usage ? "" : "imgseal-pack: ") + c.message + "\n") << what;
        EXPECT_EQ(run.out, "") << what;
        EXPECT_EQ(contents(dir_), before) << what;
    }
}

// The output is replaced whole: a reader that had the earlier image open
// keeps reading it, never a half-written one; the new file gets the
// permissions that the umask gives; and a file system that cannot sync a
// file at all (EINVAL) is no failure.
TEST_F(pack, OutputIsReplacedWhole) {
    write_file(dir_ / "app.bin", random_bytes(4000, 3));
    write_file(dir_ / "out.img", {'o', 'l', 'd'});
    const int earlier = open((dir_ / "out.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(earlier, -1);
    std::vector<std::string> prefix = {"sh", "-c", "umask 027; exec \"$@\"", "sh"};
    const std::vector<std::string> no_sync = inject_failure("", "fsync", "EINVAL", 1);
    prefix.insert(prefix.end(), no_sync.begin(), no_sync.end());
    EXPECT_EQ(run_pack({"app.bin", "out.img"}, prefix, {.working_dir = dir_}).status, 0);
    char old[8] = {};
    EXPECT_EQ(pread(earlier, old, sizeof old, 0), 3);
    EXPECT_STREQ(old, "old");
    close(earlier);
    EXPECT_EQ(read_file(dir_ / "out.img"),
              expected_image(random_bytes(4000, 3), "", 0, 0x55, 2048));
    struct stat status {};
    ASSERT_EQ(stat((dir_ / "out.img").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// A stopping signal in the middle of the copy removes the temporary file:
// the binary comes from a FIFO that has given its first bytes only.
TEST_F(pack, SignalDuringTheCopyLeavesNothing) {
    const std::string fifo = (dir_ / "app.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t packer = fork();
        if (packer == 0) {
            (void)std::signal(signal, SIG_DFL);  // as from a shell, whatever the tests ignore
            if (chdir(dir_.c_str()) == -1) _exit(127);
            execl(IMGSEAL_PACK_BINARY, IMGSEAL_PACK_BINARY, "app.fifo", "out.img", nullptr);
            _exit(127);
        }
        // Opened once the packer has opened its end, without waiting for ever
        // if it never does.
        int writer = -1;
        for (int i = 0; i < 3000 && writer == -1; ++i) {
            writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer == -1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(writer, -1);
        ASSERT_EQ(write(writer, "firmware", 8), 8);
        // The temporary file appears once the first bytes are read.
        bool started = false;
        for (int i = 0; i < 3000 && !started; ++i) {
            for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
                started = started || entry.path().filename().string().starts_with(".imgseal-pack-");
            }
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(started) << signal;
        kill(packer, signal);
        int status = 0;
        waitpid(packer, &status, 0);
        close(writer);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_EQ(contents(dir_), (std::map<std::string, std::string>{{"app.fifo", "other"}}))
            << signal;
    }
}

}  // namespace
}  // namespace imgseal_test
