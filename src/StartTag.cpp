#include "StartTag.h"

#include <array>
#include <cstring>
#include <string>

#include "StringUtils.h"

namespace lindqvar {

namespace {

// Ends a name, as it ends an attribute's name in a tag or declaration.
constexpr std::array<bool, 256> kEndsName = [] {
  std::array<bool, 256> ends{};
  for (const unsigned char c : {' ', '\t', '\r', '\n', '=', '>', '/', '?'}) ends[c] = true;
  return ends;
}();

bool EndsName(char c) {
  return kEndsName[static_cast<unsigned char>(c)];
}

// The UTF-8 bytes of a code point XML allows in a reference; none for one
// it does not (zero, a surrogate, beyond U+10FFFF).
std::string Utf8Of(unsigned long code) {
  std::string bytes;
  if (code == 0 || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return bytes;
  AppendUtf8(bytes, static_cast<char32_t>(code));
  return bytes;
}

// What the reference between "&" and ";" stands for; empty when it is none.
std::string Referenced(std::string_view name) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [entity, c] : kEntities) {
    if (name == entity) return std::string(1, c);
  }
  if (name.size() < 2 || name[0] != '#') return {};
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return {};
  unsigned long code = 0;
  for (const char c : digits) {
    const int digit = c >= '0' && c <= '9'                            ? c - '0'
                      : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                      : -1;
    if (digit < 0) return {};
    code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
  }
  return Utf8Of(code);
}

}  // namespace

void AttributeReader::Start(std::string_view name, bool decodeReferences) {
  wanted_ = name;
  decode_ = decodeReferences;
  state_ = State::kBetween;
  found_ = false;
  inWanted_ = false;
  referenceSize_ = 0;
  value_.Clear();
}

void AttributeReader::EndReference() {
  // Whatever was read of it stands for itself.
  value_.Append({reference_, referenceSize_});
  referenceSize_ = 0;
}

void AttributeReader::TakeValueByte(char c) {
  if (referenceSize_ == 0) {
    if (c == '&') {
      reference_[referenceSize_++] = c;
    } else {
      value_.Append({&c, 1});
    }
    return;
  }
  if (c == ';') {
    const std::string decoded = Referenced({reference_ + 1, referenceSize_ - 1});
    if (decoded.empty()) {
      EndReference();
      value_.Append(";");
    } else {
      value_.Append(decoded);
      referenceSize_ = 0;
    }
  } else if (c == '&') {
    EndReference();  // and a new one begins
    reference_[referenceSize_++] = c;
  } else if (referenceSize_ == sizeof reference_) {
    EndReference();  // too long to be one
    value_.Append({&c, 1});
  } else {
    reference_[referenceSize_++] = c;
  }
}

std::size_t AttributeReader::Feed(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size() && state_ != State::kEnded) {
    const char c = bytes[at];
    switch (state_) {
      case State::kBetween:
      case State::kAfterName:
        if (IsXmlBlank(c) || c == '/' || c == '?') {
          ++at;
        } else if (c == '>') {
          state_ = State::kEnded;
          ++at;
        } else if (c == '=') {
          // A value with no name before it; "=" right after a name is its value's.
          state_ = state_ == State::kAfterName ? State::kAfterEquals : State::kSkip;
          ++at;
        } else {
          state_ = State::kName;
          nameSize_ = 0;
          nameMatches_ = true;
        }
        break;
      case State::kName: {
        // The name's bytes in this piece at once, matched against the one wanted.
        std::size_t end = at;
        while (end < bytes.size() && !EndsName(bytes[end])) ++end;
        const std::size_t run = end - at;
        nameMatches_ = nameMatches_ && nameSize_ + run <= wanted_.size() &&
                       std::memcmp(wanted_.data() + nameSize_, bytes.data() + at, run) == 0;
        nameSize_ += run;
        at = end;
        if (at == bytes.size()) break;
        const char ending = bytes[at];
        state_ = IsXmlBlank(ending) ? State::kAfterName
                 : ending == '='    ? State::kAfterEquals
                                    : State::kBetween;
        if (ending == '=' || IsXmlBlank(ending)) ++at;
        break;
      }
      case State::kAfterEquals:
        if (IsXmlBlank(c)) {
          ++at;
        } else if (c == '"' || c == '\'') {
          quote_ = c;
          inWanted_ = !found_ && nameMatches_ && nameSize_ == wanted_.size();
          state_ = State::kValue;
          ++at;
        } else {
          state_ = State::kSkip;  // a value must be quoted
        }
        break;
      case State::kValue: {
        const void* close = std::memchr(bytes.data() + at, quote_, bytes.size() - at);
        const std::size_t end =
            close ? static_cast<const char*>(close) - bytes.data() : bytes.size();
        if (inWanted_) {
          // Whole runs without references go at once.
          while (decode_ && at < end) {
            if (referenceSize_ > 0 || bytes[at] == '&') {
              TakeValueByte(bytes[at++]);
              continue;
            }
            const void* ampersand = std::memchr(bytes.data() + at, '&', end - at);
            const std::size_t run =
                ampersand ? static_cast<const char*>(ampersand) - bytes.data() : end;
            value_.Append(bytes.substr(at, run - at));
            at = run;
          }
          if (!decode_) value_.Append(bytes.substr(at, end - at));
        }
        at = end;
        if (close) {
          if (inWanted_) {
            if (referenceSize_ > 0) EndReference();
            found_ = true;
            inWanted_ = false;
          }
          state_ = State::kBetween;
          ++at;
        }
        break;
      }
      case State::kSkip: {
        const void* close = std::memchr(bytes.data() + at, '>', bytes.size() - at);
        if (!close) return bytes.size();
        at = static_cast<const char*>(close) - bytes.data() + 1;
        state_ = State::kEnded;
        break;
      }
      case State::kEnded:
        break;
    }
  }
  return at;
}

}  // namespace lindqvar
