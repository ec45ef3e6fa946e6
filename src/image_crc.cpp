// The image's CRC with its zeroed bytes, over libdeflate's CRC-32, which
// continues a CRC from 0 as the format's definition does (crc32(crc32(0, a),
// b) is the CRC of a followed by b).
#include "image_crc.hpp"

#include <libdeflate.h>

#include <algorithm>

namespace imgseal {

image_crc_state image_crc_init() { return {0, 0}; }

void image_crc_update(image_crc_state& state, const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t zeros[stamp_size] = {};
    static_assert(crc_size <= sizeof zeros && stamp_size <= sizeof zeros);
    while (size > 0) {
        // The longest run from here that is either all given bytes or all
        // zeroed ones.
        const std::uint64_t at = state.byte_count;
        std::size_t take = size;
        const std::uint8_t* from = data;
        for (const byte_range& zeroed : crc_zeroed) {
            if (at < zeroed.begin) {
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, zeroed.begin - at));
                break;
            }
            if (at < zeroed.end) {
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, zeroed.end - at));
                from = zeros;
                break;
            }
        }
        state.crc = libdeflate_crc32(state.crc, from, take);
        state.byte_count += take;
        data += take;
        size -= take;
    }
}

std::uint32_t image_crc_final(const image_crc_state& state) { return state.crc; }

std::uint32_t image_crc(const std::uint8_t* data, std::size_t size) {
    image_crc_state state = image_crc_init();
    image_crc_update(state, data, size);
    return image_crc_final(state);
}

void crc_check_begin(crc_check& check) { check = {0, {}, false, image_crc_init()}; }

outcome crc_check_take(void* context, const std::uint8_t* data, std::size_t size) {
    auto& check = *static_cast<crc_check*>(context);
    if (check.given < crc_field_end) {
        const auto kept =
            static_cast<std::size_t>(std::min<std::uint64_t>(size, crc_field_end - check.given));
        std::copy(data, data + kept, check.first + check.given);
        check.given += kept;
        data += kept;
        size -= kept;
        if (check.given < crc_field_end) return succeeded;
        check.carries = carries_crc(check.first, crc_field_end);
        if (check.carries) image_crc_update(check.state, check.first, crc_field_end);
    }
    if (check.carries) image_crc_update(check.state, data, size);
    check.given += size;
    return succeeded;
}

crc_found crc_check_end(const crc_check& check) {
    return {check.carries, load_be32(check.first + crc_at), image_crc_final(check.state)};
}

}  // namespace imgseal
