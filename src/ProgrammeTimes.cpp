#include "ProgrammeTimes.h"

#include <algorithm>

#include "Failure.h"
#include "StringUtils.h"

namespace lindqvar {

namespace {

// The value of every attribute whose name ends in one of these is a time.
constexpr std::string_view kAttributes[] = {"start=\"", "stop=\""};
constexpr std::uint64_t kLongestAttribute = 7;

const PatternSet& TimeAttributes() {
  static const PatternSet attributes = PreparePatterns(kAttributes, false);
  return attributes;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int DigitValue(unsigned char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// A time field read as an integer: leading blanks, an optional sign, then
// decimal digits or a hexadecimal number after "$", "x", "X", "0x" or "0X",
// running to the end of the field or to a zero byte. Keeps the low 16 bits.
std::uint16_t ParseTimeField(std::string_view field) {
  const std::string_view digits = field.substr(0, field.find('\0'));
  std::size_t i = 0;
  while (i < digits.size() && digits[i] == ' ') ++i;
  const bool negative = i < digits.size() && digits[i] == '-';
  if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) ++i;
  int base = 10;
  if (i < digits.size() && (digits[i] == '$' || digits[i] == 'x' || digits[i] == 'X')) {
    base = 16;
    i += 1;
  } else if (i + 1 < digits.size() && digits[i] == '0' && (digits[i + 1] | 0x20) == 'x') {
    base = 16;
    i += 2;
  }
  std::uint32_t value = 0;
  bool valid = i < digits.size();
  for (; valid && i < digits.size(); ++i) {
    const int digit = DigitValue(static_cast<unsigned char>(digits[i]), base);
    if (digit < 0) {
      valid = false;
    } else {
      value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
    }
  }
  if (!valid) Raise("EConvertError", "'" + std::string(field) + "' is not a valid integer value");
  return static_cast<std::uint16_t>(negative ? 0u - value : value);
}

// Appends the listing time of value to out, or only checks that it has one
// when out is null. Nearly every value is twelve or fourteen digits; its
// fields are then plain decimal numbers, which the listing time writes back
// with the same digits, so its first twelve bytes go out as they stand.
void PassOnTime(std::string_view value, std::string* out, TimeRewriter& rewriter) {
  const std::size_t digits = std::min<std::size_t>(value.size(), 14);
  if (value.size() < 12 || !std::all_of(value.begin(), value.begin() + digits, IsDigit)) {
    const ListingTime time = ConvertListingTime(value, rewriter.zone, &rewriter.zoneYear);
    if (out) out->append(time.View());
    return;
  }
  if (!out) return;
  const auto number = [&](std::size_t at, std::size_t count) {
    std::uint16_t result = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      result = static_cast<std::uint16_t>(result * 10 + (value[i] - '0'));
    }
    return result;
  };
  const CalendarTime time{number(0, 4), number(4, 2),  0, number(6, 2),
                          number(8, 2), number(10, 2), 0, 0};
  if (rewriter.zone) {
    const std::int32_t offset = OffsetAtLocalTime(*rewriter.zone, time, rewriter.zoneYear);
    const unsigned minutes = static_cast<unsigned>(offset < 0 ? -offset : offset) / 60;
    const char suffix[8] = {'0',
                            '0',
                            ' ',
                            offset < 0 ? '-' : '+',
                            static_cast<char>('0' + minutes / 600),
                            static_cast<char>('0' + minutes / 60 % 10),
                            static_cast<char>('0' + minutes % 60 / 10),
                            static_cast<char>('0' + minutes % 10)};
    out->append(value.substr(0, 12)).append(suffix, sizeof suffix);
    return;
  }
  out->append(value.substr(0, 12)).append(IsSummerTime(time) ? "00 +0100" : "00");
}

}  // namespace

void TimeRewriter::Start(std::uint64_t first) {
  const TimeZone* const keptZone = zone;
  *this = TimeRewriter();
  zone = keptZone;
  pos = searchFrom = first;
}

void TimeRewriter::Feed(Window window, std::uint64_t upTo, std::string* out) {
  const std::string_view text =
      window.bytes.substr(0, static_cast<std::size_t>(upTo - window.offset));
  const auto passOn = [&](std::uint64_t end) {
    if (out) out->append(text.substr(pos - window.offset, end - pos));
    pos = end;
  };
  while (pos < upTo) {
    if (!inValue) {
      std::size_t which = 0;
      const Position at = SearchFirstOf(
          text, TimeAttributes(), static_cast<Position>(searchFrom - window.offset) + 1, which);
      if (at == -1) {
        passOn(upTo);
        searchFrom = std::max(searchFrom, upTo - std::min(upTo, kLongestAttribute - 1));
        return;
      }
      // Up to the opening quote.
      passOn(window.offset + static_cast<std::uint64_t>(at - 1) + kAttributes[which].size());
      inValue = true;
      valueSize = 0;
      continue;
    }
    const std::size_t from = static_cast<std::size_t>(pos - window.offset);
    const std::size_t quote = std::min(text.find('"', from), text.size());
    std::string_view value = text.substr(from, quote - from);
    if (valueSize > 0 || quote == text.size()) {
      // The value runs on from the window before or into the next: collect it.
      const std::size_t kept = std::min(valueSize, kKeptValueBytes);
      std::copy_n(value.data(), std::min(value.size(), kKeptValueBytes - kept), valueBytes + kept);
      valueSize += value.size();
      value = {valueBytes, std::min(valueSize, kKeptValueBytes)};
    }
    pos = window.offset + quote;
    if (quote == text.size()) return;
    PassOnTime(value, out, *this);
    inValue = false;
    searchFrom = pos;  // the closing quote goes out with the next stretch
  }
}

void TimeRewriter::Finish() const {
  if (!inValue) return;
  const std::string_view rest(valueBytes, std::min<std::size_t>(valueSize, 40));
  Raise("EConvertError", "Listing time '" + std::string(rest) + (valueSize > 40 ? "..." : "") +
                             "' has no closing quote");
}

namespace {

// The bytes StreamedTimes gathers before it rewrites them.
constexpr std::size_t kStreamedWindow = std::size_t{256} << 10;

}  // namespace

StreamedTimes::StreamedTimes(const TimeZone* zone, std::string& out) : out_(out) {
  rewriter_.zone = zone;
  rewriter_.Start(0);
  window_.reserve(kStreamedWindow + kWindowOverlap);
}

void StreamedTimes::Add(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t take =
        std::min(bytes.size(), kStreamedWindow + kWindowOverlap - window_.size());
    window_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (window_.size() == kStreamedWindow + kWindowOverlap) Rewrite();
  }
}

void StreamedTimes::Rewrite() {
  const Window window{window_, offset_};
  rewriter_.Feed(window, window.End(), &out_);
  // The last bytes go on at the start of the next window, as WalkWindows
  // repeats them, for a name cut by the end.
  const std::size_t keep = std::min(kWindowOverlap, window_.size());
  offset_ += window_.size() - keep;
  window_.erase(0, window_.size() - keep);
  repeated_ = keep;
}

void StreamedTimes::Finish() {
  if (window_.size() > repeated_) Rewrite();
  rewriter_.Finish();
}

void RewriteProgrammeTimes(std::string_view section, std::string& programmeText,
                           const TimeZone* zone) {
  TimeRewriter rewriter;
  rewriter.zone = zone;
  rewriter.Feed(Window{section, 0}, section.size(), &programmeText);
  rewriter.Finish();
}

ListingTime ConvertListingTime(std::string_view value, const TimeZone* zone, ZoneYear* zoneYear) {
  // A field whose first byte lies inside the value is read from the bytes
  // that do; the minute field must at least begin.
  if (value.size() < 11) {
    Raise("EConvertError", "'" + std::string(value) + "' is not a valid listing time");
  }
  CalendarTime time{};
  time.year = ParseTimeField(CopyRange(value, 1, 4));
  time.month = ParseTimeField(CopyRange(value, 5, 6));
  time.day = ParseTimeField(CopyRange(value, 7, 8));
  time.hour = ParseTimeField(CopyRange(value, 9, 10));
  time.minute = ParseTimeField(CopyRange(value, 11, 12));
  // Seconds must parse, though the result always carries "00".
  if (value.size() > 12) time.second = ParseTimeField(CopyRange(value, 13, 14));
  if (!zone) return FormatListingTime(time, true);
  ZoneYear once;
  return FormatZonedListingTime(time, OffsetAtLocalTime(*zone, time, zoneYear ? *zoneYear : once));
}

}  // namespace lindqvar
