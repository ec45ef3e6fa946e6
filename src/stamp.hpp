// stamp_image: the write-back that seals an image, the only stage that writes.
#pragma once

#include <cstdint>

#include "image_checksum.hpp"
#include "image_file.hpp"
#include "run.hpp"

namespace imgseal {

// Compares the file's state with `since`, reserves the stamp's space, appends
// the fill byte to an odd-sized image and flushes it, compares the state again,
// writes checksum and length into the descriptor, forces the file to stable
// storage and closes it. Stops at the first failure, with the handle still
// open, after undoing a stamp written in part; another writer seen by either
// comparison is changed_size or changed_content.
outcome stamp_image(int fd, std::uint32_t descriptor_offset, const image_sum& sum,
                    const file_state& since);

}  // namespace imgseal
