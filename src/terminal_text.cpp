// Escaping for terminals. The locale is not consulted: the program reads no
// environment, and what a terminal acts on does not depend on it.
#include "terminal_text.hpp"

#include <unistd.h>

namespace imgseal {

namespace {

// The length of the valid UTF-8 character that starts at `s`, or 0 when the
// byte at `s` starts none. The lead byte bounds the second byte's range: that
// is what rules out overlong forms (E0, F0), surrogates (ED) and code points
// above U+10FFFF (F4); C0, C1 and F5 to FF lead nothing.
std::size_t character_length(const unsigned char* s, std::size_t size) {
    const unsigned char lead = s[0];
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (size < length || s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return length;
}

// C0 controls and DEL are single bytes; the C1 controls, U+0080 to U+009F,
// are C2 80 to C2 9F.
bool is_control(const unsigned char* s, std::size_t length) {
    if (length == 1) return s[0] < 0x20 || s[0] == 0x7F;
    return length == 2 && s[0] == 0xC2 && s[1] < 0xA0;
}

void print_escape(std::FILE* stream, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    const char escape[4] = {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
    (void)std::fwrite(escape, 1, sizeof escape, stream);
}

// Text that is shown as it is goes out in runs, straight from `text`.
void print_escaped(std::FILE* stream, const unsigned char* text, std::size_t size) {
    std::size_t run_start = 0;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t length = character_length(text + i, size - i);
        if (length != 0 && text[i] != '\\' && !is_control(text + i, length)) {
            i += length;
            continue;
        }
        (void)std::fwrite(text + run_start, 1, i - run_start, stream);
        if (text[i] == '\\') {
            (void)std::fwrite("\\\\", 1, 2, stream);
            i += 1;
        } else {
            // A control's bytes are all escaped; an invalid byte alone, so
            // that a valid character right after it is still shown.
            const std::size_t end = i + (length != 0 ? length : 1);
            for (; i < end; ++i) print_escape(stream, text[i]);
        }
        run_start = i;
    }
    (void)std::fwrite(text + run_start, 1, size - run_start, stream);
}

}  // namespace

text_form text_form_for(std::FILE* stream) {
    return isatty(fileno(stream)) == 1 ? text_form::escaped : text_form::raw;
}

void print_text(std::FILE* stream, const char* text, std::size_t size, text_form form) {
    switch (form) {
        case text_form::raw:
            (void)std::fwrite(text, 1, size, stream);
            break;
        case text_form::escaped:
            print_escaped(stream, reinterpret_cast<const unsigned char*>(text), size);
            break;
    }
}

}  // namespace imgseal
