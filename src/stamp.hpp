// stamp_image: the write-back that seals an image, the only stage that writes.
#pragma once

#include <cstdint>

#include "image_checksum.hpp"

namespace imgseal {

// Reserves the stamp's space, appends the fill byte to an odd-sized image and
// flushes it, writes checksum and length into the descriptor, forces the file
// to stable storage, closes it and prints the checksum line. Ends the run on
// any failure, after undoing a stamp written in part.
void stamp_image(int fd, std::uint32_t descriptor_offset, const image_sum& sum);

}  // namespace imgseal
