// The packer's checks, its layout and the write of the image through a
// temporary file that no failure and no stopping signal leaves behind.
#include "image_pack.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "image_crc.hpp"

namespace imgseal {

bool parse_pack_number(const char* text, std::uint64_t& value) {
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (*text == '\0') return false;
    value = 0;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value > (UINT64_MAX - digit) / base ? UINT64_MAX : value * base + digit;
    }
    return true;
}

namespace {

constexpr pack_outcome packed{pack_failure::none, 0, nullptr};

pack_outcome layout_fault(const char* text) { return {pack_failure::layout, 0, text}; }

pack_outcome system_failure(pack_failure what) { return {what, errno, nullptr}; }

// The control characters that the packer's manual lists: C0 (the zero byte
// cannot come from a command line), DEL, and C1 as UTF-8 writes it, C2 80 to
// C2 9F. imgseal escapes more than these on a terminal (the bidirectional
// controls, the line and paragraph separators), but a name that holds them
// is still one a terminal cannot be fooled by once escaped, so it is taken.
bool has_control_character(const char* name) {
    for (const auto* p = reinterpret_cast<const unsigned char*>(name); *p != 0; ++p) {
        if (*p < 0x20 || *p == 0x7F || (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F)) {
            return true;
        }
    }
    return false;
}

}  // namespace

pack_outcome check_pack_settings(const pack_settings& settings) {
    if (std::strlen(settings.name) > longest_pack_name) {
        return layout_fault("the name is longer than 1999 bytes");
    }
    if (has_control_character(settings.name)) {
        return layout_fault("the name holds a control character");
    }
    const std::uint64_t align = settings.align;
    if (align < smallest_pack_align || align > largest_pack_align || (align & (align - 1)) != 0) {
        return layout_fault("the alignment is not a power of two from 4 to 65536");
    }
    if (settings.image_version >= erased_image_version) {
        return layout_fault(settings.image_version == erased_image_version
                                ? "the image version 0xFFFFFFFF reads as erased flash"
                                : "the image version does not fit the header's 4 bytes");
    }
    return packed;
}

std::uint64_t binary_offset(std::uint64_t align) {
    return (pack_name_end + align - 1) / align * align;
}

void lay_out_head(const pack_settings& settings, std::uint8_t* head) {
    const std::size_t size = static_cast<std::size_t>(binary_offset(settings.align));
    std::memset(head, pack_fill, size);
    store_be32(head, static_cast<std::uint32_t>(settings.image_version));
    store_be32(head + header_descriptor_offset_at, crc_descriptor_offset);
    std::memcpy(head + crc_marker_at, crc_marker, sizeof crc_marker);
    std::memset(head + crc_at, 0, crc_size);
    head[crc_descriptor_offset + descriptor_signature_at] = settings.signature;
    head[crc_descriptor_offset + descriptor_signature_at + 1] = 0;
    std::memset(head + crc_stamp_at, 0, stamp_size);
    const std::size_t name_length = std::strlen(settings.name);
    std::memcpy(head + pack_name_at, settings.name, name_length);
    head[pack_name_at + name_length] = 0;
}

namespace {

// The binary is copied through this buffer; the head is laid out in the
// other, as large as the largest alignment makes it.
alignas(64) std::uint8_t copy_buffer[std::size_t{1} << 20];
std::uint8_t head_buffer[largest_pack_align];

// The temporary file, for the handler of a stopping signal to remove.
char temporary_path[PATH_MAX];
volatile std::sig_atomic_t temporary_exists = 0;
constexpr int stopping_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

void remove_and_stop(int signal) {
    if (temporary_exists != 0) (void)unlink(temporary_path);
    // Blocked while this runs, the signal comes again on return, at its
    // default action, and stops the process as it would have.
    (void)std::signal(signal, SIG_DFL);
    (void)raise(signal);
}

// A signal that the caller ignores (nohup's SIGHUP) stays ignored.
void catch_stopping_signals() {
    for (const int signal : stopping_signals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            (void)std::signal(signal, remove_and_stop);
        }
    }
}

// While the temporary file comes into being or goes, no stopping signal can
// find it half-done.
sigset_t block_stopping_signals() {
    sigset_t stopping;
    sigset_t earlier;
    sigemptyset(&stopping);
    for (const int signal : stopping_signals) sigaddset(&stopping, signal);
    (void)sigprocmask(SIG_BLOCK, &stopping, &earlier);
    return earlier;
}

void restore_signals(const sigset_t& earlier) { (void)sigprocmask(SIG_SETMASK, &earlier, nullptr); }

// Creates the temporary file beside `image_path`, with the permissions that
// a new file gets.
pack_outcome create_temporary(const char* image_path, int& fd) {
    constexpr char leaf[] = ".imgseal-pack-XXXXXX";
    const char* slash = std::strrchr(image_path, '/');
    const std::size_t directory =
        slash != nullptr ? static_cast<std::size_t>(slash - image_path) + 1 : 0;
    if (directory + sizeof leaf > sizeof temporary_path) {
        errno = ENAMETOOLONG;
        return system_failure(pack_failure::output);
    }
    const sigset_t earlier = block_stopping_signals();
    std::memcpy(temporary_path, image_path, directory);
    std::memcpy(temporary_path + directory, leaf, sizeof leaf);
    fd = mkostemp(temporary_path, O_CLOEXEC);
    temporary_exists = fd != -1 ? 1 : 0;
    restore_signals(earlier);
    if (fd == -1) return system_failure(pack_failure::output);
    const mode_t mask = umask(0);
    (void)umask(mask);
    if (fchmod(fd, 0666 & ~mask) == -1) return system_failure(pack_failure::output);
    return packed;
}

void remove_temporary() {
    const sigset_t earlier = block_stopping_signals();
    if (temporary_exists != 0) (void)unlink(temporary_path);
    temporary_exists = 0;
    restore_signals(earlier);
}

pack_outcome write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put == -1 && errno == EINTR) continue;
        if (put == -1) return system_failure(pack_failure::output);
        if (put == 0) return {pack_failure::output, 0, "Incomplete write"};
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return packed;
}

constexpr pack_outcome too_large = {pack_failure::layout, 0, "the image would reach 2^31 bytes"};

// The image's size for a binary of `binary_size` bytes at `offset`, with the
// fill byte of an odd one.
std::uint64_t image_size(std::uint64_t offset, std::uint64_t binary_size) {
    return offset + binary_size + binary_size % 2;
}

bool fits(std::uint64_t size) { return size < static_cast<std::uint64_t>(largest_image_size); }

// Writes the head, the binary from its first block of `got` bytes on, the
// fill byte and the CRC into the temporary file `fd`, and flushes it.
pack_outcome write_image(int binary, int fd, std::size_t head_size, ssize_t got,
                         pack_report& report) {
    image_crc_state crc = image_crc_init();
    pack_outcome result = write_all(fd, head_buffer, head_size);
    if (result.what != pack_failure::none) return result;
    image_crc_update(crc, head_buffer, head_size);
    std::uint64_t copied = 0;
    while (got != 0) {
        if (got == -1) return system_failure(pack_failure::binary);
        const auto size = static_cast<std::size_t>(got);
        copied += size;
        if (!fits(image_size(head_size, copied))) return too_large;
        result = write_all(fd, copy_buffer, size);
        if (result.what != pack_failure::none) return result;
        image_crc_update(crc, copy_buffer, size);
        got = read_waiting(binary, copy_buffer, sizeof copy_buffer);
    }
    if (copied % 2 != 0) {
        result = write_all(fd, &pack_fill, 1);
        if (result.what != pack_failure::none) return result;
        image_crc_update(crc, &pack_fill, 1);
    }
    report.binary_size = copied;
    report.image_size = image_size(head_size, copied);
    report.crc = image_crc_final(crc);
    std::uint8_t field[crc_size];
    store_be32(field, report.crc);
    const ssize_t put = pwrite(fd, field, sizeof field, static_cast<off_t>(crc_at));
    if (put == -1) return system_failure(pack_failure::output);
    if (put != static_cast<ssize_t>(sizeof field))
        return {pack_failure::output, 0, "Incomplete write"};
    // EINVAL: this file system cannot sync this file, and never will.
    if (fsync(fd) == -1 && errno != EINVAL) return system_failure(pack_failure::output);
    return packed;
}

// The output's directory on stable storage too, where it can be: the image
// is whole either way, and only a power cut could still lose the rename.
void flush_directory() {
    char directory[PATH_MAX] = ".";
    const char* slash = std::strrchr(temporary_path, '/');
    if (slash != nullptr) {
        // "/" itself for a file at the root.
        const std::size_t length =
            std::max<std::size_t>(1, static_cast<std::size_t>(slash - temporary_path));
        std::memcpy(directory, temporary_path, length);
        directory[length] = '\0';
    }
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return;
    (void)fsync(fd);
    (void)close(fd);
}

// Checks the output at `image_path` against the open binary.
pack_outcome check_output(const char* image_path, const struct stat& binary) {
    struct stat output {};
    if (stat(image_path, &output) == -1) {
        // No file there yet (or a link to none): the rename makes one.
        if (errno == ENOENT) return packed;
        return system_failure(pack_failure::output);
    }
    if (output.st_dev == binary.st_dev && output.st_ino == binary.st_ino) {
        return {pack_failure::output, 0, "the same file as the binary"};
    }
    if (!S_ISREG(output.st_mode)) return {pack_failure::output, 0, "Not a regular file"};
    return packed;
}

pack_outcome pack_opened(int binary, const char* image_path, const pack_settings& settings,
                         pack_report& report) {
    struct stat status {};
    if (fstat(binary, &status) == -1) return system_failure(pack_failure::binary);
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return system_failure(pack_failure::binary);
    }
    const ssize_t got = read_waiting(binary, copy_buffer, sizeof copy_buffer);
    if (got == -1) return system_failure(pack_failure::binary);
    if (got == 0) return {pack_failure::binary, 0, "empty"};
    report.binary_offset = binary_offset(settings.align);
    if (S_ISREG(status.st_mode) &&
        !fits(image_size(report.binary_offset, static_cast<std::uint64_t>(status.st_size)))) {
        return too_large;
    }
    pack_outcome result = check_output(image_path, status);
    if (result.what != pack_failure::none) return result;

    lay_out_head(settings, head_buffer);
    int fd = -1;
    result = create_temporary(image_path, fd);
    if (result.what == pack_failure::none) {
        result =
            write_image(binary, fd, static_cast<std::size_t>(report.binary_offset), got, report);
    }
    // After EINTR the descriptor is closed all the same and nothing was lost.
    if (fd != -1 && close(fd) == -1 && errno != EINTR && result.what == pack_failure::none) {
        result = system_failure(pack_failure::output);
    }
    if (result.what == pack_failure::none) {
        const sigset_t earlier = block_stopping_signals();
        if (std::rename(temporary_path, image_path) == -1) {
            result = system_failure(pack_failure::output);
        } else {
            temporary_exists = 0;
        }
        restore_signals(earlier);
    }
    if (result.what != pack_failure::none) {
        remove_temporary();
        return result;
    }
    flush_directory();
    return packed;
}

}  // namespace

pack_outcome pack_image(const char* binary_path, const char* image_path,
                        const pack_settings& settings, pack_report& report) {
    pack_outcome result = check_pack_settings(settings);
    if (result.what != pack_failure::none) return result;
    const int binary = open(binary_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (binary == -1) return system_failure(pack_failure::binary);
    catch_stopping_signals();
    result = pack_opened(binary, image_path, settings, report);
    (void)close(binary);  // read-only: nothing to lose
    return result;
}

}  // namespace imgseal
