// Byte strings that come from outside the program (an image's name, a path)
// written to a stream: as they are, or as text that a terminal cannot act on.
#pragma once

#include <cstddef>
#include <cstdio>

namespace imgseal {

enum class text_form {
    raw,            // byte for byte: what pipes, files and logs have always had
    escaped,        // printable text only, as print_text describes
    escaped_bytes,  // as escaped, for a terminal that does not take UTF-8:
                    // every byte from 0x80 up escaped
};

// On a terminal, escaped where the locale's character set (LC_CTYPE, as the
// environment sets it) is UTF-8 and escaped_bytes otherwise; raw elsewhere.
text_form text_form_for(std::FILE* stream);

// Writes the `size` bytes at `text` to `stream` in `form`. Escaped, valid
// UTF-8 characters (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF, none cut off at the end) are written as they are, except the C0
// controls, DEL, the C1 controls and the characters that make a terminal show
// other text than there is (U+061C, U+200E, U+200F, U+2028 to U+202E, U+2066
// to U+2069); every byte of those, and every byte that
// is not part of a valid character, is written as \xNN (two upper-case hex
// digits), and a backslash as \\, so that escapes and text cannot be told
// apart wrongly. The escaped text is at most four times as long as `text`.
// Nothing is allocated; a failed write is left to the stream's error flag.
void print_text(std::FILE* stream, const char* text, std::size_t size, text_form form);

}  // namespace imgseal
