#pragma once
// Names come from drivers and other programs and may hold any bytes. What the
// terminal program writes is valid UTF-8 whatever they hold, and plain output
// never passes a control character on to the terminal.

#include <cstddef>
#include <string>
#include <string_view>

namespace tamblet::cli {

inline constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Every byte that does not belong to a well-formed UTF-8 character (stray
// continuation, overlong form, surrogate, above U+10FFFF, cut short) becomes
// U+FFFD; the rest is kept as it is.
std::string ValidUtf8(std::string_view text);

// ValidUtf8, and each control character (U+0000-U+001F, U+007F-U+009F) also
// becomes U+FFFD: text for a terminal.
std::string PrintableText(std::string_view text);

// The terminal cells UTF-8 text takes: two for a wide East Asian character,
// none for a combining mark, one for each byte that is not UTF-8.
size_t TextWidth(std::string_view text);

// The longest start of `text` of at most `width` cells; never cuts inside a
// character nor between a character and its combining marks.
std::string CutToWidth(std::string_view text, size_t width);

// `text` followed by spaces up to `width` cells.
std::string PadToWidth(std::string text, size_t width);

}  // namespace tamblet::cli
