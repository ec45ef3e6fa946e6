// Writes the fuzzers' seed corpus into a directory: valid images at several
// descriptor offsets and sizes, unsealed and sealed, and one image for each
// refusal; images that carry a CRC; and a records file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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
    // Sealed images that carry a CRC, as imgseal-pack lays them out: one whose
    // CRC matches, and one with a page of its zeros left erased, which passes
    // the seal and fails the CRC.
    imgseal_test::bytes packed = build_image({.size = 4096, .content_seed = 7});
    const std::uint8_t marker[] = {0x89, 0x43, 0x52, 0x43};
    std::copy(std::begin(marker), std::end(marker), packed.begin() + 8);
    std::fill(packed.begin() + 3072, packed.begin() + 3328, 0);
    const std::uint32_t crc = imgseal_test::reference_image_crc(packed);
    for (std::size_t i = 0; i < 4; ++i)
        packed[12 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    packed = imgseal_test::sealed_image(packed, 8);
    write_seed(dir, "packed", packed);
    std::fill(packed.begin() + 3072, packed.begin() + 3328, 0xFF);
    write_seed(dir, "packed-page-erased", packed);

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
