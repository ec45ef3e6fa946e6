// The SHA-256 of an image's bytes, from nettle, whose hash state is a plain
// struct: fed block by block by the pass that reads the image, so that the
// image is read once for its seal and its digest.
#pragma once

#include <nettle/sha2.h>

#include <cstddef>
#include <cstdint>

#include "record_line.hpp"
#include "run.hpp"

namespace imgseal {

static_assert(SHA256_DIGEST_SIZE == sha256_size);

struct sha256_pass {
    sha256_ctx context;
};

void sha256_begin(sha256_pass& pass);

// Adds the next `size` bytes: the take of a block observer, whose context is
// a sha256_pass. Never fails.
outcome sha256_take(void* pass, const std::uint8_t* data, std::size_t size);

void sha256_end(sha256_pass& pass, std::uint8_t (&digest)[sha256_size]);

}  // namespace imgseal
