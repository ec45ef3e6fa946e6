// The words of imgseal-verify's line for a verdict on an image: what follows
// its path, from the seal's verdict and what the image was expected to be.
#pragma once

#include <cstddef>

#include "image_crc.hpp"
#include "record_line.hpp"
#include "seal_check.hpp"

namespace imgseal {

enum class verdict_class : unsigned char {
    ok,       // sealed, matching its seal and what it was expected to be
    failed,   // not sealed, not matching, or not what it was expected to be
    trouble,  // no image, or one that could not be checked
};

// What an image must be: from a record (the seal and, where recorded, the
// CRC-32 and the digest), or from --expect or --same-as (the seal).
struct expected_seal {
    enum class from : unsigned char { nothing, record, option } source;
    image_record record;
};

inline constexpr std::size_t verdict_text_size = 512;

// Puts the words for `report`, on an image checked as `scope` that must be
// `expected`, into `text`. Once the seal passes, the image's CRC, as `crc`
// found it, must match, and where `crc_required`, the image must carry one.
// `image` holds the digest computed of the image, if any; an OK verdict adds
// the seal and the CRC, making it the image's record.
verdict_class judge_seal(char (&text)[verdict_text_size], const seal_report& report,
                         seal_scope scope, const expected_seal& expected, const crc_found& crc,
                         bool crc_required, image_record& image);

// Whether `image` is what `record` says: the seal, and the CRC-32 and the
// digest where the record has them.
bool record_matches(const image_record& record, const image_record& image);

}  // namespace imgseal
