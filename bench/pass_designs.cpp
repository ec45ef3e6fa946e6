// The checksum pass over a whole file by one design or the other, so that the
// benchmark can time both on the same host: every window mapped, every block
// read, or the choice the tools make. Prints the file's checksum.
// Usage: pass_designs mapped|read|chosen FILE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "image_checksum.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        (void)std::fputs("usage: pass_designs mapped|read|chosen FILE\n", stderr);
        return 2;
    }
    const char* design = argv[1];
    const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd == -1 || fstat(fd, &status) == -1) {
        std::perror(argv[2]);
        return 2;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    imgseal::checksum_state state = imgseal::checksum_init();
    imgseal::outcome result = imgseal::succeeded;
    if (std::strcmp(design, "mapped") == 0) {
        result = imgseal::sum_mapped(fd, size, state);
        // Only what a mapping cannot do (a hole, a failed map) is read.
        if (!result.failed() && state.byte_count != size) {
            (void)std::fprintf(stderr, "mapped %llu bytes of %llu; reading the rest\n",
                               static_cast<unsigned long long>(state.byte_count),
                               static_cast<unsigned long long>(size));
            result = imgseal::sum_read(fd, size, state);
        }
    } else if (std::strcmp(design, "read") == 0) {
        result = imgseal::sum_read(fd, size, state);
    } else if (std::strcmp(design, "chosen") == 0) {
        result = imgseal::sum_prefix(fd, size, state);
    } else {
        (void)std::fprintf(stderr, "pass_designs: no design %s\n", design);
        return 2;
    }
    if (result.failed()) {
        (void)std::fprintf(stderr, "%s: %s\n", argv[2], imgseal::describe(result));
        return 1;
    }
    (void)std::printf("%04X\n", imgseal::checksum_final(state).checksum);
    return 0;
}
