// The checksum pass: the defined value for every size and content, whatever
// the kernel and the blocks it arrives in, and failures inside the pass.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <numeric>

#include "image_checksum.hpp"
#include "seal_check.hpp"
#include "support.hpp"

namespace imgseal_test {
namespace {

using imgseal::checksum_buffer_size;

struct named_kernel {
    const char* name;
    imgseal::sum_kernel kernel;
};

// Every kernel that this processor can run, whichever one the tool picks.
std::vector<named_kernel> runnable_kernels() {
    std::vector<named_kernel> kernels = {{"scalar", imgseal::sum_bytes_scalar}};
#if defined(__x86_64__)
    kernels.push_back({"sse2", imgseal::sum_bytes_sse2});
    if (imgseal::avx2_supported()) kernels.push_back({"avx2", imgseal::sum_bytes_avx2});
#endif
    return kernels;
}

imgseal::image_sum sum_in_pieces(const bytes& data, const std::vector<std::size_t>& pieces,
                                 imgseal::sum_kernel kernel = imgseal::fastest_kernel()) {
    imgseal::checksum_state state = imgseal::checksum_init(kernel);
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const std::size_t size = std::min(pieces[i % pieces.size()], data.size() - at);
        imgseal::checksum_update(state, data.data() + at, size);
        at += size;
    }
    return imgseal::checksum_final(state);
}

void expect_reference(const imgseal::image_sum& got, const bytes& data, const std::string& what) {
    const reference_result want = reference_checksum(data);
    EXPECT_EQ(got.checksum, want.checksum) << what;
    EXPECT_EQ(got.padded_length, want.padded_length) << what;
    EXPECT_EQ(got.odd_tail, want.odd_tail) << what;
}

// Hand-computed values: a lone 0xFF is a high-order byte (adds 0xFF00, not
// 0x00FF), and an empty input still adds nothing but its length.
TEST(checksum, SmallInputsGiveHandComputedValues) {
    const struct {
        bytes data;
        std::uint16_t checksum;
        std::uint32_t padded_length;
        bool odd_tail;
    } cases[] = {
        {{}, 0xFFFF, 0, false},
        {{0xFF}, 0x00FD, 2, true},             // 0xFF00 + 2
        {{0x00, 0xFF}, 0xFEFE, 2, false},      // 0x00FF + 2
        {{0x12, 0x34, 0x56}, 0x97C7, 4, true}  // 0x1234 + 0x5600 + 4
    };
    for (const auto& c : cases) {
        const imgseal::image_sum got = sum_in_pieces(c.data, {c.data.size() + 1});
        EXPECT_EQ(got.checksum, c.checksum) << c.data.size();
        EXPECT_EQ(got.padded_length, c.padded_length) << c.data.size();
        EXPECT_EQ(got.odd_tail, c.odd_tail) << c.data.size();
    }
}

// All-0xFF data of 3 MiB wraps the 32-bit sum 23 times: the checksum is the
// wrapped one, 0xFFE6 (worked out by hand), not the carry-preserving
// one's-complement sum, 0xFFCF.
TEST(checksum, KeepsWrapOfThe32BitSum) {
    const bytes data(3 * checksum_buffer_size, 0xFF);
    EXPECT_EQ(reference_checksum(data).checksum, 0xFFE6);
    for (const named_kernel& k : runnable_kernels()) {
        EXPECT_EQ(sum_in_pieces(data, {checksum_buffer_size}, k.kernel).checksum, 0xFFE6) << k.name;
    }
}

// Short reads change nothing: the same bytes in odd-sized pieces give the same
// result as in one piece; a byte carried over pairs with the next piece's first.
TEST(checksum, PiecesOfAnySizeGiveTheSameResult) {
    const bytes data = random_bytes(300001, 11);
    const imgseal::image_sum whole = sum_in_pieces(data, {data.size()});
    expect_reference(whole, data, "whole");
    for (const named_kernel& k : runnable_kernels()) {
        for (const auto& pieces : std::vector<std::vector<std::size_t>>{
                 {1}, {3}, {7}, {4097}, {1, 2, 3, 5, 8, 13, 4097, 65536}, {2, 1}}) {
            const imgseal::image_sum got = sum_in_pieces(data, pieces, k.kernel);
            EXPECT_EQ(got.checksum, whole.checksum) << k.name << " first piece " << pieces[0];
            EXPECT_EQ(got.padded_length, whole.padded_length) << k.name;
            EXPECT_EQ(got.odd_tail, whole.odd_tail) << k.name;
        }
    }
}

// Each kernel sums the bytes at even and odd distances exactly, from any
// alignment, on every size around its vector widths and unrolled steps, on
// all-0xFF and random data; streamed from an odd file offset it still gives
// the reference checksum.
TEST(checksum, EveryKernelMatchesReference) {
    std::vector<std::size_t> sizes;
    for (std::size_t size = 0; size <= 300; ++size) sizes.push_back(size);
    for (const std::size_t size : {4095u, 4096u, 4097u, 65535u, 65536u, 65537u})
        sizes.push_back(size);
    const std::size_t n = checksum_buffer_size;
    for (const std::size_t size : {n - 1, n, n + 1}) sizes.push_back(size);

    const bytes random = random_bytes(n + 64, 99);
    const bytes ones(n + 64, 0xFF);
    for (const named_kernel& k : runnable_kernels()) {
        for (const bytes* data : {&random, &ones}) {
            for (const std::size_t size : sizes) {
                for (const std::size_t start : {0u, 1u, 2u, 3u, 31u}) {
                    const std::uint8_t* p = data->data() + start;
                    std::uint64_t even = 0;
                    std::uint64_t odd = 0;
                    for (std::size_t i = 0; i < size; ++i) (i % 2 == 0 ? even : odd) += p[i];
                    const imgseal::byte_sums got = k.kernel(p, size);
                    ASSERT_EQ(got.even, even) << k.name << " size " << size << " start " << start;
                    ASSERT_EQ(got.odd, odd) << k.name << " size " << size << " start " << start;
                }
                // A first piece of 1 byte puts every later block at an odd offset.
                const bytes whole(data->begin(), data->begin() + static_cast<std::ptrdiff_t>(size));
                const reference_result want = reference_checksum(whole);
                ASSERT_EQ(sum_in_pieces(whole, {1, n}, k.kernel).checksum, want.checksum)
                    << k.name << " size " << size;
            }
        }
    }
}

using checksum_pass = tool_test;

// A read failing in the pass ends with status 4 after the name line and
// before any length line; a failed seek to its start ends with status 3. The
// image cannot be mapped, so the pass reads it. With both streams in one file
// the report comes after the name line.
TEST_F(checksum_pass, FailedReadOrSeekEndsThePass) {
    const bytes image = build_image({.size = 3 * checksum_buffer_size, .content_seed = 9});
    const struct {
        const char* call;
        int nth;
        int status;
    } cases[] = {{"read", 4, 4}, {"read", 5, 4}, {"read", 6, 4}, {"lseek", 2, 3}};
    for (const auto& c : cases) {
        put_image(image);
        auto prefix = inject_failure(image_path_, c.call, "EIO", c.nth);
        prefix.insert(prefix.end(), {"-e", "inject=mmap:error=ENODEV"});
        const run_result run = run_tool({image_path_}, prefix, /*merge_streams=*/true);
        EXPECT_EQ(run.status, c.status) << c.call << c.nth;
        EXPECT_EQ(run.out, "Name: abc\nInput/output error\n") << c.call << c.nth;
        EXPECT_EQ(read_file(image_path_), image) << c.call << c.nth;
    }
}

// Reads in the pass that come back short, odd-sized or not, change nothing:
// the pass goes on to the end of the file and seals it with the reference
// seal. Mapping the image fails here, so a pass that maps files reads this one.
TEST_F(checksum_pass, ShortReadsGiveTheSameSeal) {
    const bytes image = build_image({.size = 3 * checksum_buffer_size + 1, .content_seed = 15});
    const reference_result want = reference_checksum(image);
    const std::string log = (dir_ / "calls.log").string();
    for (const std::size_t cap : {4095u, 4096u}) {
        put_image(image);
        std::vector<std::string> prefix = traced(image_path_, log);
        const std::vector<std::string> faults =
            with_io_faults(image_path_, {.read_cap = cap, .fail_mmap = true});
        prefix.insert(prefix.end(), faults.begin(), faults.end());
        const run_result run = run_tool({image_path_}, prefix);
        EXPECT_EQ(run.status, 0) << cap;
        EXPECT_EQ(run.out, sealed_output("abc", want.padded_length, want.checksum)) << cap;
        EXPECT_EQ(run.err, "") << cap;
        EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << cap;
        // The reads did come back short.
        std::ifstream lines(log);
        int short_reads = 0;
        for (std::string line; std::getline(lines, line);) {
            short_reads += line.starts_with("read(") && line.ends_with("= " + std::to_string(cap));
        }
        EXPECT_GT(short_reads, 700) << cap;
    }
}

// The tool seals the same whether the image is mapped or read: where mapping
// fails from the start, and where the pass has found mapping cheaper and a
// later window cannot be mapped, so that the reads finish what the mapping
// began.
TEST_F(checksum_pass, ImageThatCannotBeMappedIsRead) {
    const bytes image = build_image({.size = 5 * checksum_buffer_size + 3, .content_seed = 5});
    const reference_result want = reference_checksum(image);
    const struct {
        const char* failing_maps;  // of the image, as strace counts them
        bool mapping_cheaper;
    } cases[] = {{"1+", false}, {"2+", true}};
    for (const auto& c : cases) {
        put_image(image);
        std::vector<std::string> prefix =
            under_strace(image_path_, std::string("mmap:error=ENODEV:when=") + c.failing_maps);
        const std::vector<std::string> faults =
            with_io_faults(image_path_, {.mapping_cheaper = c.mapping_cheaper});
        prefix.insert(prefix.end(), faults.begin(), faults.end());
        const run_result run = run_tool({image_path_}, prefix);
        EXPECT_EQ(run.status, 0) << c.failing_maps;
        EXPECT_EQ(run.out, sealed_output("abc", want.padded_length, want.checksum))
            << c.failing_maps;
        EXPECT_EQ(read_file(image_path_), sealed_image(image, 8)) << c.failing_maps;
    }
}

// Another writer that changes a byte the pass has already summed, keeping the
// size, makes the sums not the file's: imgseal refuses to seal (status 4, the
// image as the writer left it, with its fill byte at most) and imgseal-verify
// gives an ERROR, whether the image is mapped or read. So does a write made
// once the fill byte is there, during its flush.
TEST_F(checksum_pass, WriterDuringThePassIsDetected) {
    const std::string changed = ": ERROR: Image changed during the checksum pass\n";
    // The rewrite comes before the pass's second read, its third, or the
    // mapped window after the three blocks that chose mapping; a writer that
    // puts the times back is seen by the change time alone.
    const io_faults ways[] = {{.rewrite_at = 2},
                              {.fail_mmap = true, .rewrite_at = 3},
                              {.rewrite_at = 4, .mapping_cheaper = true},
                              {.rewrite_at = 2, .keep_times = true},
                              {.rewrite_in_flush = 1}};
    for (const io_faults& way : ways) {
        const bool odd = way.rewrite_in_flush != 0;
        // Long enough for the pass to choose between mapping and reading.
        const bytes image =
            build_image({.size = 5 * checksum_buffer_size + odd, .content_seed = 12});
        bytes rewritten = image;
        rewritten[0] ^= 0xFF;
        if (odd) rewritten.push_back(0);
        put_image(image);
        const run_result seal = run_tool({image_path_}, with_io_faults(image_path_, way));
        const std::string what = std::to_string(way.fail_mmap) + std::to_string(way.keep_times) +
                                 std::to_string(way.mapping_cheaper) + std::to_string(odd);
        EXPECT_EQ(seal.status, 4) << what;
        EXPECT_EQ(seal.out.substr(0, seal.out.find('\n') + 1), "Name: abc\n") << what;
        EXPECT_EQ(seal.out.find("Checksum"), std::string::npos) << what;
        EXPECT_EQ(seal.err, "Image changed during the checksum pass\n") << what;
        EXPECT_EQ(read_file(image_path_), rewritten) << what;
        if (odd) continue;  // imgseal-verify writes nothing to flush

        put_image(sealed_image(image, 8));
        const run_result verify = run_verify({image_path_}, with_io_faults(image_path_, way));
        EXPECT_EQ(verify.status, 2) << what;
        EXPECT_EQ(verify.out, image_path_ + changed) << what;
    }
}

// The pass in process, on a file of this test's directory.
class pass_in_process : public tool_test {
  protected:
    int open_image(const bytes& data) {
        put_image(data);
        fd_ = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
        return fd_;
    }
    void TearDown() override {
        if (fd_ != -1) close(fd_);
        tool_test::TearDown();
    }
    int fd_ = -1;
};

// Mapped windows and the read loop give the same sums around the window size,
// for a file that the page cache holds in large pieces and one it holds page
// by page.
TEST_F(pass_in_process, MappedAndReadPathsAgree) {
    const std::size_t w = imgseal::checksum_window_size;
    for (const std::size_t size : {std::size_t{1}, w - 1, w, w + 1, 2 * w + 4097}) {
        const bytes data = random_bytes(size, static_cast<std::uint32_t>(size));
        const reference_result want = reference_checksum(data);
        for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{4096}}) {
            const std::string what = std::to_string(size) + " in " + std::to_string(piece);
            put_image({});
            fd_ = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_NE(fd_, -1);
            for (std::size_t at = 0; at < size; at += piece) {
                const std::size_t n = std::min(piece, size - at);
                ASSERT_EQ(write(fd_, data.data() + at, n), static_cast<ssize_t>(n));
            }
            const auto check = [&](const imgseal::checksum_state& state, const char* path) {
                const imgseal::image_sum got = imgseal::checksum_final(state);
                EXPECT_EQ(state.byte_count, size) << path << what;
                EXPECT_EQ(got.checksum, want.checksum) << path << what;
                EXPECT_EQ(got.padded_length, want.padded_length) << path << what;
            };
            imgseal::checksum_state mapped = imgseal::checksum_init();
            EXPECT_FALSE(imgseal::sum_mapped(fd_, size, mapped).failed()) << what;
            check(mapped, "mapped ");
            // A mapping that stops part-way leaves the rest to the read loop.
            imgseal::checksum_state both = imgseal::checksum_init();
            EXPECT_FALSE(imgseal::sum_mapped(fd_, std::min(size, w + 1), both).failed()) << what;
            EXPECT_FALSE(imgseal::sum_read(fd_, size, both).failed()) << what;
            check(both, "mapped, then read ");
            imgseal::checksum_state read = imgseal::checksum_init();
            EXPECT_FALSE(imgseal::sum_read(fd_, size, read).failed()) << what;
            check(read, "read ");
            close(fd_);
            fd_ = -1;
        }
    }
}

// The pass that chooses between mapping and reading gives the reference sums
// whichever it chooses, on either shape of the page cache, for sizes around
// the part it times both ways and for a file long enough to choose.
TEST_F(pass_in_process, ChosenWayGivesTheSameSums) {
    const std::size_t w = imgseal::checksum_window_size;
    for (const std::size_t size : {2 * w - 1, 2 * w, 2 * w + 1, 5 * w + 3}) {
        const bytes data = random_bytes(size, static_cast<std::uint32_t>(size));
        for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{4096}}) {
            put_image({});
            fd_ = open(image_path_.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_NE(fd_, -1);
            for (std::size_t at = 0; at < size; at += piece) {
                const std::size_t n = std::min(piece, size - at);
                ASSERT_EQ(write(fd_, data.data() + at, n), static_cast<ssize_t>(n));
            }
            imgseal::checksum_state state = imgseal::checksum_init();
            EXPECT_FALSE(imgseal::sum_prefix(fd_, size, state).failed()) << size << " " << piece;
            EXPECT_EQ(state.byte_count, size);
            expect_reference(imgseal::checksum_final(state), data,
                             std::to_string(size) + " in " + std::to_string(piece));
            close(fd_);
            fd_ = -1;
        }
    }
}

// What an observer of the pass is given: the bytes the length covers, each
// once and in order, for a file, a slot with bytes after its image, and a
// stream; none where the fields fail, nor from a file whose bytes it does not
// want, which a stream gives all the same. A failing observer ends the check
// with its reason.
struct copying_observer {
    bytes seen;
    int calls_left;  // then it fails
};
imgseal::outcome copy_block(void* context, const std::uint8_t* data, std::size_t size) {
    auto& observer = *static_cast<copying_observer*>(context);
    if (observer.calls_left-- == 0) return {imgseal::fault::read_failed, EIO, nullptr};
    observer.seen.insert(observer.seen.end(), data, data + size);
    return imgseal::succeeded;
}
bool wants_none(void*, std::uint32_t, const std::uint8_t (&)[imgseal::descriptor_size]) {
    return false;
}

TEST_F(pass_in_process, ObserverIsGivenTheImagesBytesOnce) {
    const bytes image = sealed_image(
        build_image({.size = 2 * checksum_buffer_size + 3 * imgseal::checksum_window_size + 5,
                     .content_seed = 21}),
        8);
    bytes slot = image;
    slot.resize(image.size() + 3 * checksum_buffer_size + 1, 0xA5);
    bytes unsealed = image;
    std::fill(unsealed.begin() + 18, unsealed.begin() + 24, 0);
    const struct {
        const char* what;
        const bytes& data;
        imgseal::seal_scope scope;
        bool stream;
        bool sealed;  // the image's bytes are given, or none
        bool wanted = true;
    } cases[] = {
        {"file", image, imgseal::seal_scope::whole_image, false, true},
        {"slot", slot, imgseal::seal_scope::slot, false, true},
        {"stream", image, imgseal::seal_scope::whole_image, true, true},
        {"stream of a slot", slot, imgseal::seal_scope::slot, true, true},
        {"unsealed file", unsealed, imgseal::seal_scope::whole_image, false, false},
        {"file not wanted", image, imgseal::seal_scope::whole_image, false, false, false},
        {"stream not wanted", image, imgseal::seal_scope::whole_image, true, true, false},
    };
    for (const auto& c : cases) {
        for (const int fail_at : {-1, 2}) {
            ASSERT_NE(open_image(c.data), -1);
            copying_observer observer{{}, fail_at};
            const imgseal::block_observer watch{copy_block, &observer,
                                                c.wanted ? nullptr : wants_none};
            const imgseal::seal_report report =
                c.stream ? imgseal::check_seal_stream(fd_, c.scope, &watch)
                         : imgseal::check_seal_of_file(fd_, c.scope, &watch);
            close(fd_);
            fd_ = -1;
            const std::string what = std::string(c.what) + " " + std::to_string(fail_at);
            if (!c.sealed) {
                EXPECT_EQ(report.verdict,
                          c.wanted ? imgseal::seal_verdict::not_sealed : imgseal::seal_verdict::ok)
                    << what;
                EXPECT_TRUE(observer.seen.empty()) << what;
            } else if (fail_at == -1) {
                EXPECT_EQ(report.verdict, imgseal::seal_verdict::ok) << what;
                EXPECT_TRUE(observer.seen == image) << what;
            } else {
                EXPECT_EQ(report.verdict, imgseal::seal_verdict::system_error) << what;
                EXPECT_STREQ(imgseal::describe(report.error), std::strerror(EIO)) << what;
            }
        }
    }
}

// Where the fields fail, an observer that fails does not turn the verdict
// into an error, for a stream as for a file; a file's observer is given
// nothing. (A stream's is given the bytes before the descriptor tells more.)
TEST_F(pass_in_process, ObserverOfAnImageWhoseFieldsFailLeavesTheVerdict) {
    bytes unsealed =
        sealed_image(build_image({.size = 3 * checksum_buffer_size, .content_seed = 22}), 8);
    std::fill(unsealed.begin() + 18, unsealed.begin() + 24, 0);
    for (const bool stream : {false, true}) {
        for (const int fail_at : {-1, 0}) {
            ASSERT_NE(open_image(unsealed), -1);
            copying_observer observer{{}, fail_at};
            const imgseal::block_observer watch{copy_block, &observer};
            const imgseal::seal_report report =
                stream ? imgseal::check_seal_stream(fd_, imgseal::seal_scope::whole_image, &watch)
                       : imgseal::check_seal_of_file(fd_, imgseal::seal_scope::whole_image, &watch);
            close(fd_);
            fd_ = -1;
            const std::string what =
                std::string(stream ? "stream" : "file") + " " + std::to_string(fail_at);
            EXPECT_EQ(report.verdict, imgseal::seal_verdict::not_sealed) << what;
            EXPECT_TRUE(stream || observer.seen.empty()) << what;
        }
    }
}

// A kernel that changes the file's size before it sums its first block: the
// pass then meets a file that shrank or grew under it, at a known moment.
int resized_fd = -1;
off_t resize_to = 0;
imgseal::byte_sums resize_then_sum(const std::uint8_t* data, std::size_t size) {
    if (resized_fd != -1 && ftruncate(resized_fd, resize_to) == 0) resized_fd = -1;
    return imgseal::sum_bytes_scalar(data, size);
}

// A file cut short during the pass, mapped or read, or extended, is reported
// as changed, not summed to a seal of the bytes seen so far; the image keeps
// its bytes, and the guard hands SIGBUS back to the action installed before.
TEST_F(pass_in_process, FileResizedDuringThePassIsReported) {
    const bytes image = build_image({.size = 3 * imgseal::checksum_window_size, .content_seed = 3});
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &before), 0);
    for (const off_t new_size : {off_t{100000}, off_t{2 * imgseal::checksum_window_size},
                                 off_t{3 * imgseal::checksum_window_size + 1}}) {
        for (const bool mapped : {true, false}) {
            // Growth is found by the whole pass's closing check.
            if (!mapped && static_cast<std::size_t>(new_size) > image.size()) continue;
            ASSERT_NE(open_image(image), -1);
            resized_fd = fd_;
            resize_to = new_size;
            imgseal::checksum_state state = imgseal::checksum_init(resize_then_sum);
            const imgseal::outcome result = mapped ? imgseal::sum_image(fd_, off_t{1} << 31, state)
                                                   : imgseal::sum_read(fd_, image.size(), state);
            EXPECT_EQ(result.what, imgseal::fault::read_failed) << new_size << mapped;
            EXPECT_STREQ(imgseal::describe(result), "Image changed size during the checksum pass")
                << new_size << mapped;
            bytes expected = image;
            expected.resize(static_cast<std::size_t>(new_size));
            EXPECT_EQ(read_file(image_path_), expected) << new_size << mapped;
            close(fd_);
            fd_ = -1;
        }
    }
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// A kernel that meets a SIGBUS in its first block: raised by the system, as
// from a page that a failing disk cannot give, or sent as by another process.
enum class bus_error { none, from_system, sent, sent_by_kill };
bus_error pending_bus_error = bus_error::none;
imgseal::byte_sums bus_error_then_sum(const std::uint8_t* data, std::size_t size) {
    const bus_error what = pending_bus_error;
    pending_bus_error = bus_error::none;
    if (what == bus_error::sent) raise(SIGBUS);                   // si_code below 0
    if (what == bus_error::sent_by_kill) kill(getpid(), SIGBUS);  // si_code 0
    if (what == bus_error::from_system) {
        // A page of a mapping beyond its file's end.
        const int empty = memfd_create("empty", MFD_CLOEXEC);
        void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, empty, 0);
        close(empty);
        if (page != MAP_FAILED) (void)*static_cast<volatile const std::uint8_t*>(page);
    }
    return imgseal::sum_bytes_scalar(data, size);
}

// A mapped window that faults while the file keeps its size is read instead,
// and gives the same result (the read meets a lasting error itself). A SIGBUS
// sent by a process is no fault of the pass: ignored, it changes nothing, and
// at its default action it ends the process. A
// caller that blocks SIGBUS, which the guard then could not catch, gets the
// file read.
TEST_F(pass_in_process, SigbusIsAFaultOnlyWhenTheSystemRaisesIt) {
    const bytes image =
        build_image({.size = 3 * imgseal::checksum_window_size + 1, .content_seed = 4});
    const reference_result want = reference_checksum(image);
    ASSERT_NE(open_image(image), -1);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction earlier {};
    for (const bus_error what :
         {bus_error::from_system, bus_error::sent, bus_error::sent_by_kill}) {
        if (what == bus_error::sent) {
            ASSERT_EQ(sigaction(SIGBUS, &ignore, &earlier), 0);
        }
        pending_bus_error = what;
        imgseal::checksum_state state = imgseal::checksum_init(bus_error_then_sum);
        EXPECT_FALSE(imgseal::sum_image(fd_, off_t{1} << 31, state).failed());
        EXPECT_EQ(pending_bus_error, bus_error::none);
        EXPECT_EQ(imgseal::checksum_final(state).checksum, want.checksum);
        EXPECT_EQ(state.byte_count, image.size());
    }
    ASSERT_EQ(sigaction(SIGBUS, &earlier, nullptr), 0);
    // At its earlier action, a SIGBUS sent during the pass still ends the
    // process, whoever sends it: the guard swallows none.
    for (const bus_error what : {bus_error::sent, bus_error::sent_by_kill}) {
        EXPECT_EXIT(
            {
                pending_bus_error = what;
                imgseal::checksum_state state = imgseal::checksum_init(bus_error_then_sum);
                (void)imgseal::sum_image(fd_, off_t{1} << 31, state);
                _exit(0);
            },
            // Killed by it, or ended by a sanitizer's handler for it.
            [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }, "");
    }

    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &bus, nullptr), 0);
    imgseal::checksum_state state = imgseal::checksum_init();
    EXPECT_FALSE(imgseal::sum_mapped(fd_, image.size(), state).failed());
    EXPECT_EQ(state.byte_count, 0u);
    ASSERT_EQ(sigprocmask(SIG_UNBLOCK, &bus, nullptr), 0);
}

using checksum_pass_on_tmpfs = tool_test;

// On a tmpfs, where a page faulted into a mapping over a hole would be
// allocated, a sparse image is sealed and verified without taking any of the
// file system's space, even when the look for holes fails.
TEST_F(checksum_pass_on_tmpfs, SparseImageIsSealedWithoutFillingIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    const std::filesystem::path mount_point = dir_ / "tmpfs";
    std::filesystem::create_directory(mount_point);
    ASSERT_EQ(mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m"), 0);
    const std::unique_ptr<const char, int (*)(const char*)> unmount(mount_point.c_str(), umount);
    const std::string image_path = (mount_point / "image.bin").string();
    const bytes head = build_image({.content_seed = 9});
    const std::size_t size = 8u << 20;  // long enough to be mapped, but for its holes
    // Fill most of the file system: what is left would show pages allocated.
    bytes filler(4096, 0xAA);
    for (int i = 0; i < 192; ++i) write_file(mount_point / ("fill" + std::to_string(i)), filler);
    bytes image = head;
    image.resize(size);
    const reference_result want = reference_checksum(image);

    // The image's first seek is the check's; the second looks for holes.
    for (const bool probe_fails : {false, true}) {
        write_file(image_path, head);
        ASSERT_EQ(truncate(image_path.c_str(), static_cast<off_t>(size)), 0);
        struct stat before {};
        ASSERT_EQ(stat(image_path.c_str(), &before), 0);
        const auto probe = [&](int nth) {
            return probe_fails ? inject_failure(image_path, "lseek", "EINVAL", nth)
                               : std::vector<std::string>{};
        };
        const run_result seal = run_tool({image_path}, probe(2));
        EXPECT_EQ(seal.status, 0) << probe_fails;
        EXPECT_EQ(seal.out, sealed_output("abc", want.padded_length, want.checksum)) << probe_fails;
        // -q: no digest rides on the pass, which may then map the image.
        const run_result verify = run_verify({"-q", image_path}, probe(1));
        EXPECT_EQ(verify.status, 0) << probe_fails;
        EXPECT_EQ(run_verify({image_path}).status, 0) << probe_fails;
        struct stat after {};
        ASSERT_EQ(stat(image_path.c_str(), &after), 0);
        EXPECT_EQ(after.st_blocks, before.st_blocks) << probe_fails;
        EXPECT_EQ(read_file(image_path), sealed_image(image, 8)) << probe_fails;
    }
}

}  // namespace
}  // namespace imgseal_test
