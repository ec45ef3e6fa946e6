// The checksum pass over the whole image, and the guard that lets it survive a
// file that shrinks under its mapping.
#include "image_checksum.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>

namespace imgseal {

checksum_state checksum_init(sum_kernel kernel) { return {kernel, 0, 0, 0}; }

void checksum_update(checksum_state& state, const std::uint8_t* data, std::size_t size) {
    checksum_add(state, state.kernel(data, size), size);
}

void checksum_add(checksum_state& state, const byte_sums& block, std::size_t size) {
    // Parity follows the file offset: a block that starts at an odd offset
    // has its even-distance bytes at odd offsets.
    if (state.byte_count % 2 == 0) {
        state.even_sum += block.even;
        state.odd_sum += block.odd;
    } else {
        state.even_sum += block.odd;
        state.odd_sum += block.even;
    }
    state.byte_count += size;
}

void checksum_exclude(checksum_state& state, std::uint64_t offset, const std::uint8_t* data,
                      std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        ((offset + i) % 2 == 0 ? state.even_sum : state.odd_sum) -= data[i];
    }
}

image_sum checksum_final(const checksum_state& state) {
    const bool odd_tail = state.byte_count % 2 != 0;
    const auto padded_length = static_cast<std::uint32_t>(state.byte_count + (odd_tail ? 1 : 0));
    // The truncation to 32 bits is the wrap of word_sum.
    auto word_sum = static_cast<std::uint32_t>(state.even_sum * 256 + state.odd_sum);
    word_sum += padded_length & 0xFFFF;
    word_sum += padded_length >> 16;
    std::uint32_t folded = (word_sum >> 16) + (word_sum & 0xFFFF);
    folded += folded >> 16;
    return {static_cast<std::uint16_t>(~folded), padded_length, odd_tail};
}

namespace {

// What a fault in a mapped page meant: the file shrank, or the page could not
// be had (a disk that fails to read it, a file system out of space). The read
// loop then takes the window over and meets the error itself, with its own
// errno, if it is still there.
outcome mapping_fault(int fd, std::uint64_t size) {
    struct stat status {};
    if (fstat(fd, &status) == -1) return system_fault(fault::read_failed);
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) < size) {
        return changed_size;
    }
    return succeeded;
}

// A page that a mapping faults in over a hole is allocated, for good where the
// page cache is the file's only storage (tmpfs, ramfs, and an overlay on
// them), and on such a full file system the fault fails; read() returns a
// hole's zeros and allocates nothing. So a file with holes from `offset` on
// is read; one whose holes cannot be looked for, too.
bool has_holes(int fd, std::uint64_t offset, std::uint64_t size) {
    const off_t hole = lseek(fd, static_cast<off_t>(offset), SEEK_HOLE);
    return hole == -1 || static_cast<std::uint64_t>(hole) < size;
}

// A page of a mapping beyond the file's end, or one the disk cannot read,
// raises SIGBUS on access. While the pass sums a window, the handler jumps
// back into sum_mapped, which turns it into an outcome. The flag, not the
// fault address, tells whose access it was: addresses are unreliable under
// emulation. Any other SIGBUS goes on to the action installed before.
sigjmp_buf pass_fault;
volatile std::sig_atomic_t summing_window = 0;
struct sigaction earlier_bus_action;

// The codes of a fault that an access to a mapped page raises: a page beyond
// the file's end, one the file system cannot provide, one whose memory failed.
// Anything else (a signal sent by a process, whose si_code is 0 or below, or
// a misaligned access) is not the pass's.
bool raised_by_access(const siginfo_t* info) {
    return info->si_code == BUS_ADRERR || info->si_code == BUS_OBJERR ||
           info->si_code == BUS_MCEERR_AR;
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    if (summing_window != 0 && raised_by_access(info)) {
        summing_window = 0;
        siglongjmp(pass_fault, 1);
    }
    if ((earlier_bus_action.sa_flags & SA_SIGINFO) != 0) {
        earlier_bus_action.sa_sigaction(signal, info, context);
    } else if (earlier_bus_action.sa_handler != SIG_DFL &&
               earlier_bus_action.sa_handler != SIG_IGN) {
        earlier_bus_action.sa_handler(signal);
    } else if (earlier_bus_action.sa_handler == SIG_DFL || info->si_code > 0) {
        // Blocked while this runs, the signal is delivered again on return
        // under the earlier action; a fault of the code itself recurs anyway,
        // and the system does not let an ignored fault pass.
        (void)sigaction(SIGBUS, &earlier_bus_action, nullptr);
        (void)raise(signal);
    }
    // An ignored SIGBUS sent by another process stays ignored.
}

// The window being summed, kept where a jump back can still find it.
void* volatile mapped_window = nullptr;
volatile std::size_t mapped_length = 0;

// The processor time this thread has taken, in nanoseconds: a mapped
// window's page faults and a read's copy are both spent in it, and time the
// thread spent waiting for a processor on a busy machine is not.
std::int64_t thread_time() {
    struct timespec now {};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == -1) return 0;
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

outcome sum_mapped(int fd, std::uint64_t size, checksum_state& state) {
    struct sigaction guard {};
    guard.sa_sigaction = on_bus_error;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    // Without the guard a shrinking file would kill the process: read instead.
    // A SIGBUS that the caller left blocked would never reach it.
    sigset_t blocked;
    if (has_holes(fd, state.byte_count, size) || sigprocmask(SIG_BLOCK, nullptr, &blocked) == -1 ||
        sigismember(&blocked, SIGBUS) != 0 ||
        sigaction(SIGBUS, &guard, &earlier_bus_action) == -1) {
        return succeeded;
    }

    outcome result = succeeded;
    if (sigsetjmp(pass_fault, 1) != 0) {
        (void)munmap(mapped_window, mapped_length);
        result = mapping_fault(fd, size);
    } else {
        while (state.byte_count < size) {
            const std::size_t length = static_cast<std::size_t>(
                std::min<std::uint64_t>(checksum_window_size, size - state.byte_count));
            void* const window = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd,
                                      static_cast<off_t>(state.byte_count));
            if (window == MAP_FAILED) break;
            mapped_window = window;
            mapped_length = length;
            summing_window = 1;
            std::atomic_signal_fence(std::memory_order_seq_cst);
            const byte_sums block = state.kernel(static_cast<const std::uint8_t*>(window), length);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            summing_window = 0;
            std::atomic_signal_fence(std::memory_order_seq_cst);
            // Added only once no fault can jump back: a window never counts twice.
            checksum_add(state, block, length);
            (void)munmap(window, length);
        }
    }
    (void)sigaction(SIGBUS, &earlier_bus_action, nullptr);
    return result;
}

outcome sum_read(int fd, std::uint64_t size, checksum_state& state,
                 const block_observer* observer) {
    // Cache-line aligned: the system's copy into a buffer that is not runs up
    // to four times slower on some processors.
    alignas(64) static std::uint8_t buffer[checksum_buffer_size];

    const outcome result =
        seek_to(fd, static_cast<off_t>(state.byte_count), SEEK_SET, fault::seek_failed);
    if (result.failed()) return result;
    // A short read only means "go on": the file is one stream of bytes.
    while (state.byte_count < size) {
        const ssize_t got = read(fd, buffer,
                                 static_cast<std::size_t>(std::min<std::uint64_t>(
                                     sizeof buffer, size - state.byte_count)));
        if (got == -1) return system_fault(fault::read_failed);
        if (got == 0) return changed_size;
        checksum_update(state, buffer, static_cast<std::size_t>(got));
        if (observer != nullptr) {
            const outcome taken =
                observer->take(observer->context, buffer, static_cast<std::size_t>(got));
            if (taken.failed()) return taken;
        }
    }
    return succeeded;
}

namespace {

// How much of the file the choice between the two ways reads: one mapped
// window, timed; one buffer read, not timed, so that the first touch of the
// buffer's own pages is not counted against reading; one more, timed. A file
// no longer than that is read: it costs little either way.
constexpr std::uint64_t probed_size = checksum_window_size + 2 * checksum_buffer_size;

// Sums the probe's windows, and tells whether mapping the rest costs less.
outcome mapping_is_cheaper(int fd, checksum_state& state, bool& cheaper) {
    cheaper = false;
    const std::uint64_t start = state.byte_count;
    const std::int64_t before_mapping = thread_time();
    outcome result = sum_mapped(fd, start + checksum_window_size, state);
    if (result.failed() || state.byte_count != start + checksum_window_size) return result;
    const std::int64_t mapping = thread_time() - before_mapping;
    result = sum_read(fd, state.byte_count + checksum_buffer_size, state);
    if (result.failed()) return result;
    const std::int64_t before_reading = thread_time();
    result = sum_read(fd, state.byte_count + checksum_buffer_size, state);
    if (result.failed()) return result;
    const std::int64_t reading = thread_time() - before_reading;
    // Per byte: the window is a whole number of buffers long.
    constexpr auto buffers_per_window =
        static_cast<std::int64_t>(checksum_window_size / checksum_buffer_size);
    cheaper = mapping < reading * buffers_per_window;
    return succeeded;
}

}  // namespace

outcome sum_prefix(int fd, std::uint64_t size, checksum_state& state,
                   const block_observer* observer) {
    if (observer == nullptr && size - state.byte_count > probed_size) {
        bool map_the_rest = false;
        outcome result = mapping_is_cheaper(fd, state, map_the_rest);
        if (result.failed()) return result;
        if (map_the_rest) result = sum_mapped(fd, size, state);
        if (result.failed() || state.byte_count == size) return result;
    }
    return sum_read(fd, size, state, observer);
}

outcome sum_image(int fd, off_t largest_size, checksum_state& state) {
    struct stat status {};
    if (fstat(fd, &status) == -1) return system_fault(fault::read_failed);
    // A file grown past the limit since it was opened would not have a 32-bit
    // length.
    if (status.st_size > largest_size) return {fault::read_failed, EOVERFLOW, nullptr};
    const auto size = static_cast<std::uint64_t>(status.st_size);

    const outcome result = sum_prefix(fd, size, state);
    if (result.failed()) return result;

    // Bytes appended or cut off meanwhile would make a seal that does not
    // match the file.
    if (fstat(fd, &status) == -1) return system_fault(fault::read_failed);
    if (static_cast<std::uint64_t>(status.st_size) != size) return changed_size;
    return succeeded;
}

outcome image_checksum(int fd, off_t largest_size, image_sum& sum) {
    checksum_state state = checksum_init();
    const outcome result = sum_image(fd, largest_size, state);
    if (!result.failed()) sum = checksum_final(state);
    return result;
}

}  // namespace imgseal
