#include "cli/safe_text.h"

#include <locale.h>
#include <wchar.h>

namespace tamblet::cli {
namespace {

// The length of the well-formed character at `text[i]`, or 0 when there is none.
size_t CharLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((byte(k) & 0xC0) != 0x80) return 0;
  return length;
}

std::string Clean(std::string_view text, bool printable) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = CharLength(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    const bool control =
        length == 1 ? (lead < 0x20 || lead == 0x7F)
                    : length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (length == 0 || (printable && control)) {
      out += kReplacement;
      i += length == 0 ? 1 : length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

// The cells a character takes on a terminal, by the C library's tables for
// UTF-8 whatever the program's own locale: wide East Asian characters and most
// emoji take two, combining marks none. A byte that starts no character, and
// a character the tables do not know, take one, as the replacement shown for it.
// Without a C.UTF-8 locale (Debian always has one) every character takes one.
class CellWidths {
 public:
  CellWidths() : utf8_(Utf8Locale()), saved_(utf8_ ? uselocale(utf8_) : nullptr) {}
  ~CellWidths() {
    if (utf8_) uselocale(saved_);
  }
  CellWidths(const CellWidths&) = delete;
  CellWidths& operator=(const CellWidths&) = delete;

  // The cells of the character at `text[i]`; moves `i` past it.
  size_t Next(std::string_view text, size_t& i) const {
    const size_t length = CharLength(text, i);
    if (length == 0) {
      ++i;
      return 1;
    }
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = static_cast<unsigned char>(text[i]) & kLeadBits[length];
    for (size_t k = 1; k < length; ++k) code = code << 6 | (text[i + k] & 0x3F);
    i += length;
    if (!utf8_) return 1;
    const int cells = wcwidth(static_cast<wchar_t>(code));
    return cells < 0 ? 1 : static_cast<size_t>(cells);
  }

 private:
  // Made once and kept: a locale object is shared by every thread that uses it.
  static locale_t Utf8Locale() {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return utf8;
  }

  locale_t utf8_;
  locale_t saved_;
};

}  // namespace

std::string ValidUtf8(std::string_view text) { return Clean(text, false); }
std::string PrintableText(std::string_view text) { return Clean(text, true); }

size_t TextWidth(std::string_view text) {
  CellWidths cells;
  size_t width = 0;
  for (size_t i = 0; i < text.size();) width += cells.Next(text, i);
  return width;
}

std::string CutToWidth(std::string_view text, size_t width) {
  CellWidths cells;
  size_t end = 0, used = 0;
  // Marks that combine with the last character kept stay with it.
  for (size_t i = 0; i < text.size();) {
    used += cells.Next(text, i);
    if (used > width) break;
    end = i;
  }
  return std::string(text.substr(0, end));
}

std::string PadToWidth(std::string text, size_t width) {
  const size_t have = TextWidth(text);
  if (have < width) text.append(width - have, ' ');
  return text;
}

}  // namespace tamblet::cli
