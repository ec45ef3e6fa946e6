// Writes the fuzzers' seed corpus into a directory: valid images at several
// descriptor offsets and sizes, unsealed and sealed, and one image for each
// refusal; and a records file.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.hpp"

namespace {

void write_seed(const std::string& dir, const std::string& name, const imgseal_test::bytes& data) {
    std::FILE* file = std::fopen((dir + "/" + name).c_str(), "wb");
    if (file == nullptr) {
        std::perror(name.c_str());
        std::exit(1);
    }
    std::fwrite(data.data(), 1, data.size(), file);
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds DIRECTORY\n");
        return 1;
    }
    const std::string dir = argv[1];
    using imgseal_test::build_image;
    for (const std::uint32_t offset : {0u, 1u, 8u, 13u, 100u}) {
        for (const std::size_t extra : {0u, 1u, 64u}) {
            const std::string shape = std::to_string(offset) + "-" + std::to_string(extra);
            const imgseal_test::bytes unsealed = build_image({.descriptor_offset = offset,
                                                              .size = offset + 2016 + extra,
                                                              .content_seed = offset + 1});
            write_seed(dir, "valid-" + shape, unsealed);
            // For the boot check, whose checksum a fuzzer would not find by itself.
            write_seed(dir, "sealed-" + shape, imgseal_test::sealed_image(unsealed, offset));
        }
    }
    write_seed(dir, "valid-aa", build_image({.signature = 0xAA}));
    // Slots as flash holds them: a sealed image followed by other bytes, and
    // erased flash.
    imgseal_test::bytes slot = imgseal_test::sealed_image(build_image({.content_seed = 3}), 8);
    const imgseal_test::bytes rest = imgseal_test::random_bytes(301, 4);
    slot.insert(slot.end(), rest.begin(), rest.end());
    write_seed(dir, "sealed-in-slot", slot);
    write_seed(dir, "erased", imgseal_test::bytes(4096, 0xFF));

    const imgseal_test::bytes valid = build_image({});
    imgseal_test::bytes image = valid;
    image.resize(5);
    write_seed(dir, "short-header", image);
    image = valid;
    image[4] = 0x80;
    write_seed(dir, "negative-offset", image);
    image = valid;
    image[6] = 0x10;
    write_seed(dir, "offset-beyond-end", image);
    image = valid;
    image[8 + 8] = 0x12;
    write_seed(dir, "bad-signature", image);
    image = valid;
    image[8 + 11] = 0x01;
    write_seed(dir, "nonzero-checksum", image);
    image = valid;
    image[8 + 15] = 0x02;
    write_seed(dir, "nonzero-length", image);
    image = valid;
    image.resize(1000);
    write_seed(dir, "name-cut-short", image);

    // Records, for the records' reader: each form of the line, as editors
    // leave them.
    const std::string digest(64, 'a');
    const std::string records =
        "\xef\xbb\xbf# release 1.4\n\nout/a.img: OK, Length = 2024, Checksum DEAC\r\n"
        "\\out/b\\nc.img: OK, Length = 4294967294, Checksum 0000, SHA-256 " +
        digest +
        "\n#a: OK, Length = 2, Checksum FFFF\nx: OK, Length = 2024, Checksum DEAC, "
        "CRC-32 CBF43926, SHA-256 " +
        digest + "\n \t\n";
    write_seed(dir, "records", imgseal_test::bytes(records.begin(), records.end()));
    return 0;
}
