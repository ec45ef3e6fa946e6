// nettle's SHA-256 behind the pass's block interface.
#include "image_digest.hpp"

namespace imgseal {

void sha256_begin(sha256_pass& pass) { sha256_init(&pass.context); }

outcome sha256_take(void* pass, const std::uint8_t* data, std::size_t size) {
    sha256_update(&static_cast<sha256_pass*>(pass)->context, size, data);
    return succeeded;
}

void sha256_end(sha256_pass& pass, std::uint8_t (&digest)[sha256_size]) {
    sha256_digest(&pass.context, sha256_size, digest);
}

}  // namespace imgseal
