#include "cli/safe_text.h"

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

}  // namespace

std::string ValidUtf8(std::string_view text) { return Clean(text, false); }
std::string PrintableText(std::string_view text) { return Clean(text, true); }

size_t TextWidth(std::string_view text) {
  size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

std::string CutToWidth(std::string_view text, size_t width) {
  size_t end = 0;
  for (size_t count = 0; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;
    if (count++ == width) break;
  }
  return std::string(text.substr(0, end));
}

std::string PadToWidth(std::string text, size_t width) {
  const size_t have = TextWidth(text);
  if (have < width) text.append(width - have, ' ');
  return text;
}

}  // namespace tamblet::cli
