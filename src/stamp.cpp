// The write-back of the seal, ordered so that a failure, or a power cut at any
// moment, leaves an image that a rerun either seals identically or refuses.
#include "stamp.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "image_format.hpp"

namespace imgseal {

namespace {

// Writes zeros back over the first `count` bytes of the stamp, which held
// zeros before: the image was checked unsealed. False if that fails too.
bool clear_stamp(int fd, off_t stamp_position, std::size_t count) {
    static const std::uint8_t zeros[stamp_size] = {};
    std::size_t cleared = 0;
    while (cleared < count) {
        const ssize_t put = pwrite(fd, zeros + cleared, count - cleared,
                                   stamp_position + static_cast<off_t>(cleared));
        if (put <= 0) return false;
        cleared += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

outcome stamp_image(int fd, std::uint32_t descriptor_offset, const image_sum& sum,
                    const file_state& since) {
    static const std::uint8_t fill_byte[1] = {0x00};
    static std::uint8_t stamp[stamp_size];

    const off_t stamp_position =
        descriptor_position(descriptor_offset) + static_cast<off_t>(descriptor_checksum_at);

    // The last look at the state that the sums were taken from: the
    // reservation and the fill byte change the file's times themselves.
    outcome result = compare_file_state(fd, since);
    if (result.failed()) return result;

    // The stamp may lie over a hole of a sparse image and need new blocks. A
    // file system short of space then says so here, while the image is as it
    // was, and not half-way through the stamp. One that cannot reserve space
    // (EOPNOTSUPP), or fails otherwise, leaves the verdict to the write.
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, stamp_position, stamp_size) == -1 &&
        (errno == ENOSPC || errno == EDQUOT)) {
        return system_fault(fault::write_failed);
    }

    // The fill byte goes first. A failed append then leaves the image as it
    // was, and a trailing zero changes neither the checksum nor the length of a
    // rerun. Appended last, its failure would leave a stamp whose length the
    // file's size contradicts: an image every later run refuses. The flush
    // puts it on stable storage before any stamp can get there, since the
    // system writes pages back in no particular order. EINVAL: as below.
    if (sum.odd_tail) {
        result = seek_to(fd, 0, SEEK_END, fault::seek_failed);
        if (result.failed()) return result;
        result = write_exactly(fd, fill_byte, sizeof fill_byte, fault::write_failed);
        if (result.failed()) return result;
    }
    // The state once this run's own changes are made: a write by anyone else
    // from here on, during the flush of the fill byte above all (a flush that
    // writes back a whole freshly written image takes long), shows against it.
    file_state own{};
    result = record_file_state(fd, own);
    if (result.failed()) return result;
    if (sum.odd_tail && fdatasync(fd) == -1 && errno != EINVAL) {
        return system_fault(fault::write_failed);
    }

    // One write for both fields: within one 512-byte sector it reaches the
    // disk whole or not at all, never a checksum without its length.
    store_be16(stamp, sum.checksum);
    store_be32(stamp + descriptor_checksum_size, sum.padded_length);
    result = seek_to(fd, stamp_position, SEEK_SET, fault::seek_failed);
    if (result.failed()) return result;
    result = compare_file_state(fd, own);
    if (result.failed()) return result;
    const ssize_t put = write(fd, stamp, sizeof stamp);
    if (put == -1) return system_fault(fault::write_failed);
    if (static_cast<std::size_t>(put) != sizeof stamp) {
        // Part of a stamp makes every rerun refuse the image: it is undone,
        // and the undoing flushed, in case the part had already been written
        // back. A flush that fails leaves it to the system's write-back.
        if (clear_stamp(fd, stamp_position, static_cast<std::size_t>(put))) {
            (void)fdatasync(fd);
            return {fault::write_failed, 0, "Incomplete write"};
        }
        return {fault::write_failed, 0, "Incomplete write (stamp left partly written)"};
    }

    // EINVAL: this file system cannot sync this file, and never will. Any other
    // error means the seal may not be on stable storage.
    if (fsync(fd) == -1 && errno != EINVAL) return system_fault(fault::write_failed);
    // After EINTR the descriptor is closed all the same and nothing was lost.
    if (close(fd) == -1 && errno != EINTR) return system_fault(fault::write_failed);
    return succeeded;
}

}  // namespace imgseal
