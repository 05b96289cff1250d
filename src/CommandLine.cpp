#include "CommandLine.h"

#include <type_traits>

#include "StringUtils.h"

namespace lindqvar {

namespace {

// The characters of line from the cursor on; with a lead byte test, a
// character of two bytes is taken whole.
template <typename Char>
struct Cursor {
  std::basic_string_view<Char> line;
  std::size_t at = 0;
  LeadByteTest isLeadByte = nullptr;

  unsigned Peek(std::size_t ahead = 0) const {
    if (at + ahead >= line.size()) return 0;
    return static_cast<std::make_unsigned_t<Char>>(line[at + ahead]);
  }
  // The units of the character at the cursor, stepped over: two for a lead
  // byte with a second byte after it, otherwise one.
  std::basic_string_view<Char> Take() {
    const std::size_t size =
        isLeadByte && isLeadByte(static_cast<unsigned char>(Peek())) && Peek(1) != 0 ? 2 : 1;
    const std::basic_string_view<Char> taken = line.substr(at, size);
    at += size;
    return taken;
  }
};

// One argument from the cursor on, empty when the line is used up.
template <typename Char>
std::basic_string<Char> NextArgument(Cursor<Char>& cursor) {
  for (;;) {
    while (cursor.Peek() != 0 && cursor.Peek() <= ' ') cursor.Take();
    if (cursor.Peek() != '"' || cursor.Peek(1) != '"') break;
    cursor.at += 2;
  }
  std::basic_string<Char> argument;
  while (cursor.Peek() > ' ') {
    if (cursor.Peek() != '"') {
      argument += cursor.Take();
      continue;
    }
    cursor.Take();
    while (cursor.Peek() != 0 && cursor.Peek() != '"') argument += cursor.Take();
    if (cursor.Peek() != 0) cursor.Take();
  }
  return argument;
}

template <typename Char>
std::vector<std::basic_string<Char>> Split(std::basic_string_view<Char> line,
                                           LeadByteTest isLeadByte) {
  // A zero ends the line, as it ends the system's string.
  Cursor<Char> cursor{line.substr(0, line.find(Char{0})), 0, isLeadByte};
  std::vector<std::basic_string<Char>> args{NextArgument(cursor)};
  for (std::basic_string<Char> argument; !(argument = NextArgument(cursor)).empty();) {
    args.push_back(std::move(argument));
  }
  return args;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line, LeadByteTest isLeadByte) {
  return Split(line, isLeadByte);
}

std::vector<std::u16string> SplitWideCommandLine(std::u16string_view line) {
  return Split(line, nullptr);
}

std::string Utf8FromUtf16(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    AppendUtf8(bytes, code);
  }
  return bytes;
}

std::u16string Utf16FromUtf8(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80                    ? 1
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    bool whole = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      whole = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    // No overlong forms, nothing past U+10FFFF; surrogates stand for
    // themselves.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!whole || code < least[length] || code > 0x10FFFF) {
      text += u'\xFFFD';
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      text += static_cast<char16_t>(code);
    }
    i += length;
  }
  return text;
}

}  // namespace lindqvar
