// Escaping for terminals. The locale's character set tells whether the
// terminal takes UTF-8: one that does not takes bytes 0x80 to 0x9F as C1
// controls, so that any byte from 0x80 up may act on it.
#include "terminal_text.hpp"

#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstring>

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
// are C2 80 to C2 9F. Also shown escaped: the characters that make a terminal
// show other text than there is, by reordering it (the bidirectional
// embeddings, overrides and isolates, U+202A to U+202E and U+2066 to U+2069,
// and the marks U+200E, U+200F and U+061C) or by breaking a line (U+2028,
// U+2029).
bool is_control(const unsigned char* s, std::size_t length) {
    if (length == 1) return s[0] < 0x20 || s[0] == 0x7F;
    if (length == 2) return (s[0] == 0xC2 && s[1] < 0xA0) || (s[0] == 0xD8 && s[1] == 0x9C);
    if (length != 3 || s[0] != 0xE2) return false;
    if (s[1] == 0x80) return s[2] == 0x8E || s[2] == 0x8F || (s[2] >= 0xA8 && s[2] <= 0xAE);
    return s[1] == 0x81 && s[2] >= 0xA6 && s[2] <= 0xA9;
}

void print_escape(std::FILE* stream, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    const char escape[4] = {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
    (void)std::fwrite(escape, 1, sizeof escape, stream);
}

// Text that is shown as it is goes out in runs, straight from `text`. Where
// the terminal does not take UTF-8, only ASCII is shown as it is.
void print_escaped(std::FILE* stream, const unsigned char* text, std::size_t size, bool utf8) {
    std::size_t run_start = 0;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t length =
            utf8 || text[i] < 0x80 ? character_length(text + i, size - i) : 0;
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
    if (isatty(fileno(stream)) != 1) return text_form::raw;
    if (std::setlocale(LC_CTYPE, "") == nullptr) return text_form::escaped_bytes;
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? text_form::escaped
                                                           : text_form::escaped_bytes;
}

void print_text(std::FILE* stream, const char* text, std::size_t size, text_form form) {
    switch (form) {
        case text_form::raw:
            (void)std::fwrite(text, 1, size, stream);
            break;
        case text_form::escaped:
        case text_form::escaped_bytes:
            print_escaped(stream, reinterpret_cast<const unsigned char*>(text), size,
                          form == text_form::escaped);
            break;
    }
}

}  // namespace imgseal
