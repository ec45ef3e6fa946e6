// A library that the tests preload into the tool to make the calls on one
// image file behave as some file systems do: reads and writes that come back
// short, a failing pwrite, a file that cannot be mapped. The tool itself reads
// no environment; this library does, and leaves every other file alone:
//   IO_FAULTS_IMAGE         path of the image; calls on other files run as usual
//   IO_FAULTS_READ_CAP      reads of more than 2000 bytes return at most this many
//                           (read() and, under _FORTIFY_SOURCE, __read_chk())
//   IO_FAULTS_WRITE_CAP     write() moves at most this many bytes
//   IO_FAULTS_PWRITE_ERROR  pwrite() fails with this error number, writing nothing
//   IO_FAULTS_PWRITE_ZERO   when 1, pwrite() returns 0, writing nothing
//   IO_FAULTS_FAIL_MMAP     when 1, mapping the image fails with ENODEV
//   IO_FAULTS_REWRITE_AT    another writer changes the image's first byte in
//                           place just before the pass's Nth window or read
//   IO_FAULTS_KEEP_TIMES    when 1, that writer then sets the image's access and
//                           modification times back, as touch -r, rsync -t and
//                           tar do: only the change time still shows the write
//   IO_FAULTS_REWRITE_IN_FLUSH  when 1, another writer changes it inside
//                           fdatasync(), as during the fill byte's long flush
//   IO_FAULTS_PREAD_CHANGE_AT  another writer changes the image just before
//                           its Nth pread() (or __pread_chk(), __pread64_chk())
//                           of more than 2000 bytes, as
//                           IO_FAULTS_REWRITE_AT does, or with
//   IO_FAULTS_SHRINK        when 1, cuts it to half its size instead
//   IO_FAULTS_MAPPING_CHEAPER  when 1, the thread's processor-time clock moves
//                           one nanosecond a reading, so that the pass, which
//                           times mapping against reading, finds mapping the
//                           cheaper way on any host
// No <unistd.h> nor <sys/mman.h>: with 64-bit file offsets they rename mmap
// and pwrite to their 64-bit forms, and both forms are defined here.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

struct fault_settings {
    bool image_known;
    dev_t image_device;
    ino_t image_inode;
    std::size_t read_cap;
    std::size_t write_cap;
    int pwrite_error;
    bool pwrite_zero;
    bool fail_mmap;
    std::size_t rewrite_at;
    bool keep_times;
    bool rewrite_in_flush;
    std::size_t pread_change_at;
    bool shrink;
    bool mapping_cheaper;
    const char* image_path;
};

// Reads of this size and less are the image check's, which must stay whole.
constexpr std::size_t largest_whole_read = 2000;

std::size_t setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoul(value, nullptr, 10) : 0;
}

// All off until the library's constructor has run: a sanitizer's runtime
// makes its first calls before the environment can be read.
fault_settings settings{};

__attribute__((constructor)) void load_settings() {
    const char* image = std::getenv("IO_FAULTS_IMAGE");
    struct stat status {};
    if (image != nullptr && stat(image, &status) == 0) {
        settings.image_known = true;
        settings.image_device = status.st_dev;
        settings.image_inode = status.st_ino;
    }
    settings.read_cap = setting("IO_FAULTS_READ_CAP");
    settings.write_cap = setting("IO_FAULTS_WRITE_CAP");
    settings.pwrite_error = static_cast<int>(setting("IO_FAULTS_PWRITE_ERROR"));
    settings.pwrite_zero = setting("IO_FAULTS_PWRITE_ZERO") == 1;
    settings.fail_mmap = setting("IO_FAULTS_FAIL_MMAP") == 1;
    settings.rewrite_at = setting("IO_FAULTS_REWRITE_AT");
    settings.keep_times = setting("IO_FAULTS_KEEP_TIMES") == 1;
    settings.rewrite_in_flush = setting("IO_FAULTS_REWRITE_IN_FLUSH") == 1;
    settings.pread_change_at = setting("IO_FAULTS_PREAD_CHANGE_AT");
    settings.shrink = setting("IO_FAULTS_SHRINK") == 1;
    settings.mapping_cheaper = setting("IO_FAULTS_MAPPING_CHEAPER") == 1;
    settings.image_path = image;
}

const fault_settings& faults() { return settings; }

// By identity, not by path: the tool may reach the image through any name.
bool is_image(int fd) {
    const fault_settings& f = faults();
    struct stat status {};
    return f.image_known && fstat(fd, &status) == 0 && status.st_dev == f.image_device &&
           status.st_ino == f.image_inode;
}

template <typename Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void* const map_failed = reinterpret_cast<void*>(-1);

// A write by another open file description, as another process makes it: the
// first byte, which the pass has summed by the second window, flipped.
void rewrite_first_byte() {
    const fault_settings& f = faults();
    static const auto real_open = next_definition<int (*)(const char*, int, ...)>("open");
    static const auto real_pread =
        next_definition<ssize_t (*)(int, void*, std::size_t, __off64_t)>("pread64");
    static const auto real_pwrite =
        next_definition<ssize_t (*)(int, const void*, std::size_t, __off64_t)>("pwrite64");
    static const auto real_close = next_definition<int (*)(int)>("close");
    const int writer = real_open(f.image_path, O_RDWR);
    unsigned char first = 0;
    struct stat before {};
    if (writer == -1 || real_pread(writer, &first, 1, 0) != 1 || fstat(writer, &before) == -1) {
        std::abort();
    }
    first ^= 0xFF;
    if (real_pwrite(writer, &first, 1, 0) != 1) std::abort();
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (f.keep_times && futimens(writer, times) == -1) std::abort();
    (void)real_close(writer);
}

// A truncation by another process, to half the image's size.
void shrink_to_half() {
    static const auto real_open = next_definition<int (*)(const char*, int, ...)>("open");
    static const auto real_close = next_definition<int (*)(int)>("close");
    static const auto real_truncate = next_definition<int (*)(int, __off64_t)>("ftruncate64");
    const int writer = real_open(faults().image_path, O_RDWR);
    struct stat status {};
    if (writer == -1 || fstat(writer, &status) == -1 ||
        real_truncate(writer, status.st_size / 2) == -1) {
        std::abort();
    }
    (void)real_close(writer);
}

// Before the image's Nth pread of a block, as the comparison of --same-as
// reads it.
void change_before_pread(int fd, std::size_t count) {
    static std::size_t preads = 0;
    const fault_settings& f = faults();
    if (f.pread_change_at == 0 || count <= largest_whole_read || !is_image(fd) ||
        ++preads != f.pread_change_at) {
        return;
    }
    if (f.shrink) {
        shrink_to_half();
    } else {
        rewrite_first_byte();
    }
}

void rewrite_before_access(int fd) {
    static std::size_t accesses = 0;
    const fault_settings& f = faults();
    if (f.rewrite_at != 0 && is_image(fd) && ++accesses == f.rewrite_at) rewrite_first_byte();
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, std::size_t count) {
    static const auto real = next_definition<ssize_t (*)(int, void*, std::size_t)>("read");
    const std::size_t cap = faults().read_cap;
    if (count > largest_whole_read) rewrite_before_access(fd);
    if (cap != 0 && count > largest_whole_read && count > cap && is_image(fd)) count = cap;
    return real(fd, buffer, count);
}

// With _FORTIFY_SOURCE the tool may read through the checked form, whose glibc
// definition calls no read() that this library would see. A count beyond the
// buffer goes on whole, for the checked form to stop the process.
ssize_t __read_chk(int fd, void* buffer, std::size_t count, std::size_t buffer_size) {
    static const auto real =
        next_definition<ssize_t (*)(int, void*, std::size_t, std::size_t)>("__read_chk");
    const std::size_t cap = faults().read_cap;
    if (count > largest_whole_read) rewrite_before_access(fd);
    if (cap != 0 && count <= buffer_size && count > largest_whole_read && count > cap &&
        is_image(fd))
        count = cap;
    return real(fd, buffer, count, buffer_size);
}

ssize_t pread(int fd, void* buffer, std::size_t count, __off_t offset) {
    static const auto real =
        next_definition<ssize_t (*)(int, void*, std::size_t, __off_t)>("pread");
    change_before_pread(fd, count);
    return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, std::size_t count, __off64_t offset) {
    static const auto real =
        next_definition<ssize_t (*)(int, void*, std::size_t, __off64_t)>("pread64");
    change_before_pread(fd, count);
    return real(fd, buffer, count, offset);
}

// The checked forms, as for __read_chk.
ssize_t __pread_chk(int fd, void* buffer, std::size_t count, __off_t offset,
                    std::size_t buffer_size) {
    static const auto real =
        next_definition<ssize_t (*)(int, void*, std::size_t, __off_t, std::size_t)>("__pread_chk");
    change_before_pread(fd, count);
    return real(fd, buffer, count, offset, buffer_size);
}

ssize_t __pread64_chk(int fd, void* buffer, std::size_t count, __off64_t offset,
                      std::size_t buffer_size) {
    static const auto real =
        next_definition<ssize_t (*)(int, void*, std::size_t, __off64_t, std::size_t)>(
            "__pread64_chk");
    change_before_pread(fd, count);
    return real(fd, buffer, count, offset, buffer_size);
}

ssize_t write(int fd, const void* buffer, std::size_t count) {
    static const auto real = next_definition<ssize_t (*)(int, const void*, std::size_t)>("write");
    const std::size_t cap = faults().write_cap;
    if (cap != 0 && count > cap && is_image(fd)) count = cap;
    return real(fd, buffer, count);
}

ssize_t pwrite(int fd, const void* buffer, std::size_t count, __off_t offset) {
    static const auto real =
        next_definition<ssize_t (*)(int, const void*, std::size_t, __off_t)>("pwrite");
    const int error = faults().pwrite_error;
    if (error != 0 && is_image(fd)) {
        errno = error;
        return -1;
    }
    if (faults().pwrite_zero && is_image(fd)) return 0;
    return real(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, std::size_t count, __off64_t offset) {
    static const auto real =
        next_definition<ssize_t (*)(int, const void*, std::size_t, __off64_t)>("pwrite64");
    const int error = faults().pwrite_error;
    if (error != 0 && is_image(fd)) {
        errno = error;
        return -1;
    }
    if (faults().pwrite_zero && is_image(fd)) return 0;
    return real(fd, buffer, count, offset);
}

void* mmap(void* address, std::size_t length, int protection, int flags, int fd, __off_t offset) {
    static const auto real =
        next_definition<void* (*)(void*, std::size_t, int, int, int, __off_t)>("mmap");
    if (fd != -1) rewrite_before_access(fd);
    if (faults().fail_mmap && fd != -1 && is_image(fd)) {
        errno = ENODEV;
        return map_failed;
    }
    return real(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, std::size_t length, int protection, int flags, int fd,
             __off64_t offset) {
    static const auto real =
        next_definition<void* (*)(void*, std::size_t, int, int, int, __off64_t)>("mmap64");
    if (fd != -1) rewrite_before_access(fd);
    if (faults().fail_mmap && fd != -1 && is_image(fd)) {
        errno = ENODEV;
        return map_failed;
    }
    return real(address, length, protection, flags, fd, offset);
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    static const auto real = next_definition<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    static long readings = 0;
    if (faults().mapping_cheaper && clock == CLOCK_THREAD_CPUTIME_ID) {
        *now = {0, ++readings};
        return 0;
    }
    return real(clock, now);
}

int fdatasync(int fd) {
    static const auto real = next_definition<int (*)(int)>("fdatasync");
    if (faults().rewrite_in_flush && is_image(fd)) rewrite_first_byte();
    return real(fd);
}

}  // extern "C"
