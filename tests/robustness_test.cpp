// Random and mutated images: the tool ends with the status the format gives,
// never crashes or hangs, leaves refused images unchanged and seals the rest
// with the reference seal.
#include <random>

#include "support.hpp"

namespace imgseal_test {
namespace {

using robustness = tool_test;

// A valid image with one to a few bytes changed, cut short, or plain noise.
bytes mutated_image(std::mt19937& generator) {
    const auto pick = [&](std::size_t bound) {
        return static_cast<std::size_t>(generator() % bound);
    };
    const auto offset = static_cast<std::uint32_t>(pick(2) == 0 ? pick(16) : pick(3000));
    bytes image = build_image({.descriptor_offset = offset,
                               .size = offset + 2016 + pick(3000),
                               .content_seed = static_cast<std::uint32_t>(generator() | 1)});
    switch (pick(4)) {
        case 0:  // a few bytes anywhere
            for (std::size_t n = 1 + pick(3); n > 0; --n) {
                image[pick(image.size())] = static_cast<std::uint8_t>(generator());
            }
            break;
        case 1:  // one byte of the header or descriptor
            image[pick(2) == 0 ? pick(8) : offset + pick(16)] =
                static_cast<std::uint8_t>(generator());
            break;
        case 2:  // cut short
            image.resize(pick(image.size()));
            break;
        default:  // noise
            image = random_bytes(pick(5000), static_cast<std::uint32_t>(generator()));
            break;
    }
    return image;
}

TEST_F(robustness, MutatedImagesEndWithTheirStatusAndNeverCorrupt) {
    std::mt19937 generator(31337);
    int sealed = 0;
    for (int round = 0; round < 400; ++round) {
        const bytes image = mutated_image(generator);
        const run_result run = run_tool({put_image(image)});
        const int want = expected_status(image);
        ASSERT_EQ(run.status, want) << "round " << round << ": " << run.out << run.err;
        if (want == 0) {
            ++sealed;
            ASSERT_EQ(read_file(image_path_), sealed_image(image, load_be32_at(image, 4))) << round;
        } else {
            ASSERT_EQ(read_file(image_path_), image) << round;
        }
    }
    // The mix must exercise sealing as well as refusals.
    EXPECT_GT(sealed, 40);
}

}  // namespace
}  // namespace imgseal_test
