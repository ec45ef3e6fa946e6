// The command line and the open: argument count, paths that are no image, and
// the order of what the tool prints.
#include <sys/stat.h>
#include <unistd.h>

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
        const run_result run = run_tool({leaf == "-h" ? leaf : path}, {});
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
        {fifo, "Invalid argument\n"},
        {"/dev/zero", "Invalid argument\n"},
        {"/dev/null", "Invalid argument\n"},
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
    const run_result run =
        run_tool({image_path_}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Permission denied\n");
    EXPECT_EQ(read_file(image_path_), image);
}

// A file of 2^31 bytes or more is refused at the open, before anything is
// read, whatever it holds.
TEST_F(command_line, ImageOf2GiBOrMoreIsRefused) {
    const bytes image = build_image({});
    put_image(image);
    ASSERT_EQ(truncate(image_path_.c_str(), off_t{1} << 31), 0);
    const run_result run = run_tool({image_path_});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Value too large for defined data type\n");
    EXPECT_EQ(std::filesystem::file_size(image_path_), std::uintmax_t{1} << 31);
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

}  // namespace
}  // namespace imgseal_test
