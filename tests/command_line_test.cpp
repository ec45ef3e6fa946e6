// The command line and the open: argument count, paths that are no image, and
// the order of what the tool prints.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "image_file.hpp"
#include "support.hpp"

namespace imgseal_test {
namespace {

using command_line = tool_test;

// A wrong argument count prints the usage error on standard output only,
// opens nothing and leaves the image alone.
TEST_F(command_line, WrongArgumentCountIsAUsageError) {
    const bytes image = build_image({});
    put_image(image);
    for (const auto& args :
         {std::vector<std::string>{}, std::vector<std::string>{image_path_, image_path_}}) {
        const run_result run = run_tool(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Invalid number of arguments\n");
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(read_file(image_path_), image);
}

// A path that names nothing is reported on standard error and not created;
// an argument beginning with a dash is such a path, not an option.
TEST_F(command_line, MissingPathIsReportedAndNotCreated) {
    for (const std::string leaf : {"absent.bin", "-h"}) {
        const std::string path = (dir_ / leaf).string();
        const run_result run =
            run_tool({leaf == "-h" ? leaf : path}, {}, false, {.working_dir = dir_});
        EXPECT_EQ(run.status, 1) << leaf;
        EXPECT_EQ(run.out, "") << leaf;
        EXPECT_EQ(run.err, "No such file or directory\n") << leaf;
        EXPECT_FALSE(std::filesystem::exists(path)) << leaf;
    }
}

// Only a regular file can be an image: a directory, a FIFO and devices are
// refused at the open, without blocking and without reading them.
TEST_F(command_line, NonRegularFilesAreRefused) {
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string report;
    } cases[] = {
        {dir_.string(), "Is a directory\n"},
        {fifo, "Not a regular file\n"},
        {"/dev/zero", "Not a regular file\n"},
        {"/dev/null", "Not a regular file\n"},
    };
    for (const auto& c : cases) {
        const run_result run = run_tool({c.path});
        EXPECT_EQ(run.status, 1) << c.path;
        EXPECT_EQ(run.out, "") << c.path;
        EXPECT_EQ(run.err, c.report) << c.path;
    }
}

// A file that the user may not write is refused by the open and left as it was.
TEST_F(command_line, ImageTheUserMayNotWriteIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    const bytes image = build_image({});
    put_image(image);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod(image_path_.c_str(), 0644), 0);
    const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"};
    std::vector<std::vector<std::string>> prefixes = {as_nobody};
    // Where /proc is not mounted the open takes another way, with the same
    // report. The sanitizers' runtime cannot start without /proc.
#if !defined(__SANITIZE_ADDRESS__)
    prefixes.push_back({"unshare", "-m", "sh", "-c", "umount -l /proc && exec \"$@\"", "sh"});
    prefixes.back().insert(prefixes.back().end(), as_nobody.begin(), as_nobody.end());
#endif
    for (const auto& prefix : prefixes) {
        const run_result run = run_tool({image_path_}, prefix);
        EXPECT_EQ(run.status, 1) << prefix[0];
        EXPECT_EQ(run.out, "") << prefix[0];
        EXPECT_EQ(run.err, "Permission denied\n") << prefix[0];
        EXPECT_EQ(read_file(image_path_), image) << prefix[0];
    }
}

// A file of more than 2^31 bytes is refused at the open, before anything is
// read, whatever it holds.
TEST_F(command_line, ImageOfMoreThan2GiBIsRefused) {
    const bytes image = build_image({});
    put_image(image);
    ASSERT_EQ(truncate(image_path_.c_str(), (off_t{1} << 31) + 1), 0);
    const run_result run = run_tool({image_path_});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Value too large for defined data type\n");
    // Nor is its report written into it.
    const run_result into = run_tool({image_path_}, {"sh", "-c", "exec \"$0\" \"$1\" 2>>\"$1\""});
    EXPECT_EQ(into.out, "Refusing to write output into the image\n");
    EXPECT_EQ(std::filesystem::file_size(image_path_), (std::uintmax_t{1} << 31) + 1);
}

// With standard output and error closed by the caller, the image is not
// opened on their descriptors: the lines go nowhere and the image is sealed
// as usual instead of receiving them.
TEST_F(command_line, ClosedStandardStreamsAreNotReusedForTheImage) {
    const bytes image = build_image({.size = 3001, .content_seed = 2});
    put_image(image);
    const run_result run = run_tool({image_path_}, {"sh", "-c", "exec \"$@\" >&- 2>&-", "sh"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(image_path_), sealed_image(image, 8));
}

// A process with one descriptor to spare beside its standard streams seals
// and verifies all the same.
TEST_F(command_line, OneSpareDescriptorIsEnough) {
    const bytes image = build_image({.size = 3001, .content_seed = 2});
    put_image(image);
    // Descriptors 0 to 3 only, with 3 free.
    const std::vector<std::string> limited = {
        "sh", "-c",
        "for fd in 3 4 5 6 7 8 9; do eval \"exec $fd>&-\"; done; ulimit -n 4; exec \"$@\"", "sh"};
    EXPECT_EQ(run_tool({image_path_}, limited).status, 0);
    EXPECT_EQ(read_file(image_path_), sealed_image(image, 8));
    EXPECT_EQ(run_verify({image_path_}, limited).status, 0);
}

// With standard error closed, alone or with standard output, a refused
// image's report is lost, not written into the image.
TEST_F(command_line, ClosedStandardErrorIsNotReusedForTheImage) {
    bytes image = build_image({.content_seed = 2});
    image.resize(1000);  // ends inside the name
    for (const char* closing : {"exec \"$@\" 2>&-", "exec \"$@\" >&- 2>&-"}) {
        put_image(image);
        const run_result run = run_tool({image_path_}, {"sh", "-c", closing, "sh"});
        EXPECT_EQ(run.status, 4) << closing;
        EXPECT_EQ(run.out, "") << closing;
        EXPECT_EQ(run.err, "") << closing;
        EXPECT_EQ(read_file(image_path_), image) << closing;
    }
}

// Output redirected into the image itself would lengthen it past its seal or
// overwrite its header: refused before anything is written, with the message
// on the other stream, or nowhere. imgseal-verify looks at every image it is
// to check, those its records name included, before it writes its first line.
TEST_F(command_line, OutputIntoTheImageIsRefused) {
    const bytes image = build_image({.size = 3001, .content_seed = 2});
    const std::string refusal = "Refusing to write output into the image\n";
    const struct {
        const char* redirection;
        std::string out;
        std::string err;
    } cases[] = {
        {"exec \"$0\" \"$1\" >>\"$1\"", "", refusal},
        {"exec \"$0\" \"$1\" 1<>\"$1\"", "", refusal},
        {"exec \"$0\" \"$1\" 2>>\"$1\"", refusal, ""},
        {"exec \"$0\" \"$1\" >>\"$1\" 2>&1", "", ""},
        // The usage line, for one argument too many, is guarded like the rest.
        {"exec \"$0\" \"$1\" extra >>\"$1\"", "", refusal},
        {"exec \"$0\" extra \"$1\" 2>>\"$1\"", refusal, ""},
    };
    for (const auto& c : cases) {
        put_image(image);
        const run_result run = run_tool({image_path_}, {"sh", "-c", c.redirection});
        EXPECT_EQ(run.status, 1) << c.redirection;
        EXPECT_EQ(run.out, c.out) << c.redirection;
        EXPECT_EQ(run.err, c.err) << c.redirection;
        EXPECT_EQ(read_file(image_path_), image) << c.redirection;
    }
    const bytes sealed = sealed_image(image, 8);
    const std::string first = (dir_ / "first.img").string();
    const std::string records = (dir_ / "seals.txt").string();
    write_file(first, sealed);
    put_image(sealed);
    const run_result made = run_verify({first, image_path_});
    ASSERT_EQ(made.status, 0);
    write_file(records, bytes(made.out.begin(), made.out.end()));
    const std::string only = (dir_ / "only.txt").string();  // the image's record alone
    const std::string only_line = made.out.substr(made.out.find('\n') + 1);
    write_text(only, only_line);
    const std::string verify_refusal = "imgseal-verify: " + image_path_ + ": " + refusal;
    const struct {
        std::vector<std::string> args;
        const char* redirection;
        std::string err;
        const char* feed = "";  // a pipe into standard input
    } verify_cases[] = {
        {{image_path_}, ">>\"$I\"", verify_refusal},
        {{image_path_}, ">>\"$I\" 2>&1", ""},
        {{"-"}, "<\"$I\" 1<>\"$I\"", "imgseal-verify: -: " + refusal},
        // The image named second, or in the records, gets no line from the first.
        {{first, image_path_}, ">>\"$I\"", verify_refusal},
        {{first, image_path_}, "1<>\"$I\"", verify_refusal},
        {{"-c", records}, ">>\"$I\"", verify_refusal},
        {{"-c", records}, "1<>\"$I\"", verify_refusal},
        // Nor does a message that only standard error could take: a write
        // error, or a mistake on the command line, one that only the records
        // name the image for among them.
        {{first, image_path_}, "2>>\"$I\" >/dev/full", ""},
        {{"--bogus", image_path_}, "2>>\"$I\"", ""},
        {{"-c", records, "--wiat=5"}, "2>>\"$I\"", ""},
        // Nor --help and --version, on standard output.
        {{image_path_, "--version"}, ">>\"$I\"", verify_refusal},
        {{"--help", image_path_}, ">>\"$I\"", verify_refusal},
        {{"--same-as=" + image_path_, "--help"}, ">>\"$I\"", verify_refusal},
        // Records on standard input that is a file are read twice too.
        {{"-c", "-"}, "<\"$R\" >>\"$I\"", verify_refusal},
        // Records on a pipe are read once: the image is looked at when it is
        // opened.
        {{"-c", "-"}, ">>\"$I\"", verify_refusal, "cat \"$O\" | "},
        // Nor into the records, their path glued to -c.
        {{"-c" + records, "--bogus"}, "2>>\"$R\"", ""},
    };
    for (const auto& c : verify_cases) {
        put_image(sealed);
        const run_result run =
            run_verify(c.args, {"env", "I=" + image_path_, "R=" + records, "O=" + only, "sh", "-c",
                                std::string(c.feed) + "exec \"$@\" " + c.redirection, "sh"});
        EXPECT_EQ(run.status, 2) << c.redirection << c.args.size();
        EXPECT_EQ(run.err, c.err) << c.redirection << c.args.size();
        EXPECT_EQ(read_file(image_path_), sealed) << c.redirection << c.args.size();
        EXPECT_EQ(read_file(records), bytes(made.out.begin(), made.out.end())) << c.redirection;
    }
}

// Output into the backing file of a loop device is output into the device:
// the backing file is found from the device number that the loop device
// gives, decoded from the kernel's encoding for any major and minor number;
// and a file is the same file only on the same device, not by its inode
// number alone.
TEST(output_guard, FileIsTheSameByDeviceAndInode) {
    const struct {
        std::uint64_t encoded;
        unsigned major;
        unsigned minor;
    } devices[] = {
        {0x00801, 8, 1},              // a SCSI disk's partition
        {0x10301, 259, 1},            // NVMe: a major number of 256 or more
        {0x10072C, 7, 300},           // a minor number of 256 or more
        {0xFFFFFFFF, 4095, 0xFFFFF},  // the largest of both
    };
    for (const auto& d : devices) {
        const dev_t decoded = imgseal::decode_loop_device(d.encoded);
        EXPECT_EQ(major(decoded), d.major) << std::hex << d.encoded;
        EXPECT_EQ(minor(decoded), d.minor) << std::hex << d.encoded;
    }
    char name[] = "/tmp/imgseal-guard-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_NE(fd, -1);
    imgseal::storage file = imgseal::storage_of(fd);
    EXPECT_TRUE(file.is_file);
    EXPECT_TRUE(imgseal::writes_into(fd, file));
    file.device = makedev(major(file.device) + 1, minor(file.device));
    EXPECT_FALSE(imgseal::writes_into(fd, file));
    close(fd);
    unlink(name);
}

// The file reached through /proc is checked to be the file examined: with
// another file system mounted over /proc whose links lead elsewhere, the
// image is refused and neither file is touched. The sanitizers' runtime cannot
// start without the real /proc.
#if !defined(__SANITIZE_ADDRESS__)
TEST_F(command_line, FileReachedThroughAFakeProcIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount over /proc";
    const bytes image = build_image({.content_seed = 2});
    const std::string other = (dir_ / "other.bin").string();
    put_image(image);
    write_file(other, image);
    const run_result run =
        run_tool({image_path_},
                 {"unshare", "-m", "sh", "-c",
                  "mount -t tmpfs none /proc && mkdir -p /proc/self/fd && "
                  "for fd in $(seq 3 64); do ln -s \"$0\" /proc/self/fd/$fd; done && exec \"$@\"",
                  other});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Image was replaced while it was opened\n");
    EXPECT_EQ(read_file(image_path_), image);
    EXPECT_EQ(read_file(other), image);
}
#endif

// A reader that has gone before the first line costs the lines and nothing
// else: the image is sealed, or refused, and the status is the run's own.
TEST_F(command_line, ReaderThatLeftLosesOnlyTheLines) {
    const bytes image = build_image({.size = 3001, .content_seed = 5});
    put_image(image);
    const run_result sealed =
        run_tool({image_path_}, {}, false, {.working_dir = {}, .reader_gone = true});
    EXPECT_EQ(sealed.status, 0);
    EXPECT_EQ(sealed.err, "");
    EXPECT_EQ(read_file(image_path_), sealed_image(image, 8));

    const bytes unsigned_image = build_image({.signature = 0x12});
    put_image(unsigned_image);
    const run_result refused =
        run_tool({image_path_}, {}, false, {.working_dir = {}, .reader_gone = true});
    EXPECT_EQ(refused.status, 5);
    EXPECT_EQ(refused.err, "");
    EXPECT_EQ(read_file(image_path_), unsigned_image);
}

// Holds a read lease on `path` in a child process until a run's open starts
// breaking it, then 300 ms longer, and checks that the stamp is still zero
// when it lets go. Exits 0 if so, 2 if the file system grants no lease.
// Writes one byte to `ready` once it holds the lease.
pid_t hold_lease(const std::string& path, int ready) {
    const pid_t child = fork();
    if (child != 0) return child;
    sigset_t lease_break;
    sigemptyset(&lease_break);
    sigaddset(&lease_break, SIGIO);
    sigprocmask(SIG_BLOCK, &lease_break, nullptr);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd == -1 || fcntl(fd, F_SETLEASE, F_RDLCK) == -1) _exit(2);
    if (write(ready, "!", 1) != 1) _exit(1);
    const timespec patience{10, 0};
    if (sigtimedwait(&lease_break, nullptr, &patience) != SIGIO) _exit(3);
    const timespec hold{0, 300'000'000};
    nanosleep(&hold, nullptr);
    std::uint8_t stamp[6] = {1};
    if (pread(fd, stamp, sizeof stamp, 18) != 6) _exit(4);
    for (const std::uint8_t byte : stamp) {
        if (byte != 0) _exit(5);
    }
    _exit(fcntl(fd, F_SETLEASE, F_UNLCK) == 0 ? 0 : 6);
}

// An image that another process holds a lease on is opened once the lease
// is broken, and sealed, also where /proc is not mounted (as root).
TEST_F(command_line, ImageUnderALeaseIsSealedOnceTheLeaseIsBroken) {
    const bytes image = build_image({.size = 3001, .content_seed = 3});
    std::vector<std::vector<std::string>> prefixes = {{}};
    // The sanitizers' runtime cannot start without /proc.
#if !defined(__SANITIZE_ADDRESS__)
    if (geteuid() == 0) {
        prefixes.push_back({"unshare", "-m", "sh", "-c", "umount -l /proc && exec \"$@\"", "sh"});
    }
#endif
    for (const auto& prefix : prefixes) {
        const std::string what = prefix.empty() ? "with /proc" : "without /proc";
        put_image(image);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t holder = hold_lease(image_path_, ready[1]);
        close(ready[1]);
        char byte = 0;
        const bool leased = read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        const run_result run = leased ? run_tool({image_path_}, prefix) : run_result{};
        int holder_status = 0;
        waitpid(holder, &holder_status, 0);
        ASSERT_TRUE(WIFEXITED(holder_status));
        if (WEXITSTATUS(holder_status) == 2) GTEST_SKIP() << "no leases on this file system";
        EXPECT_EQ(WEXITSTATUS(holder_status), 0) << what;
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_EQ(run.err, "") << what;
        EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << what;
    }
}

}  // namespace
}  // namespace imgseal_test
