#include "present/shown_text.h"

#include <algorithm>

namespace karvello {

std::size_t Utf8SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned int lowest = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  unsigned int code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

namespace {

void AppendByte(std::string& out, unsigned char byte) {
  constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The escaped form of `text` up to `limit` of its bytes, cut at a character's start; `used`: the
// bytes taken.
std::string Escape(std::string_view text, std::size_t limit, std::size_t* used) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = Utf8SequenceLength(text.substr(i));
    if (i + std::max<std::size_t>(length, 1) > limit) break;
    if (length == 0) {
      AppendByte(out, c);
      length = 1;
    } else if (c < 0x20 || c == 0x7F) {
      AppendByte(out, c);
    } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: the C1 controls, which some terminals act on as ESC sequences.
      AppendByte(out, c);
      AppendByte(out, static_cast<unsigned char>(text[i + 1]));
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  if (used) *used = i;
  return out;
}

}  // namespace

std::string EscapedText(std::string_view text) {
  return Escape(text, text.size(), nullptr);
}

std::string QuotedValue(std::string_view text) {
  std::size_t used = 0;
  std::string shown = "\"" + Escape(text, kLongestShownValue, &used) + "\"";
  if (used < text.size()) shown += "... (" + std::to_string(text.size()) + " bytes)";
  return shown;
}

}  // namespace karvello
