#include "StringUtils.h"

#include <algorithm>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <string>

#include "Failure.h"

namespace lindqvar {

namespace {

bool IsAsciiLetter(unsigned char c) {
  const unsigned char lower = c | 0x20;
  return lower >= 'a' && lower <= 'z';
}

bool MatchesAt(const unsigned char* text, std::string_view pattern, bool caseSensitive) {
  const auto* pat = reinterpret_cast<const unsigned char*>(pattern.data());
  if (caseSensitive) return std::memcmp(text, pat, pattern.size()) == 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (!SameChar(text[i], pat[i], false)) return false;
  }
  return true;
}

// A quick test on two bytes of each candidate. The markers this program
// looks for begin and end with bytes that XML is full of ('<', '>', '"'),
// which let through a candidate every few hundred bytes of a listing; the
// bytes next to them tell far more, so those are the ones tested when the
// pattern has four bytes or more. Without case sensitivity a letter is
// compared with bit 0x20 set on both sides; that also lets a few
// non-letters through, which the full comparison rejects.
struct ProbeFilter {
  std::size_t at[2];  // offsets of the two tested bytes in the pattern
  unsigned char byte[2];
  unsigned char fold[2];

  ProbeFilter(std::string_view pattern, bool caseSensitive) {
    const std::size_t m = pattern.size();
    at[0] = m >= 4 ? 1 : 0;
    at[1] = m >= 4 ? m - 2 : m - 1;
    if (m >= 4 && pattern[0] == '<' && pattern[1] != '/') {
      at[0] = 0;
      at[1] = 2;
    }
    for (int i = 0; i < 2; ++i) {
      const auto c = static_cast<unsigned char>(pattern[at[i]]);
      fold[i] = !caseSensitive && IsAsciiLetter(c) ? 0x20 : 0;
      byte[i] = c | fold[i];
    }
  }
  bool Passes(const unsigned char* candidate) const {
    return (candidate[at[0]] | fold[0]) == byte[0] && (candidate[at[1]] | fold[1]) == byte[1];
  }
#if defined(__x86_64__)
  // Bit i set when the candidate at candidates + i passes the filter.
  unsigned Passes16(const unsigned char* candidates) const {
    __m128i probes[2];
    __m128i hits[2];
    for (int i = 0; i < 2; ++i) {
      std::memcpy(&probes[i], candidates + at[i], 16);
      hits[i] = _mm_cmpeq_epi8(_mm_or_si128(probes[i], _mm_set1_epi8(static_cast<char>(fold[i]))),
                               _mm_set1_epi8(static_cast<char>(byte[i])));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(hits[0], hits[1])));
  }
#endif
};

#if defined(__x86_64__)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The filter's probes held in registers, for 32 candidates at a time. Built
// inside each loop, so nothing is reloaded from memory while it runs.
struct Probes32 {
  std::size_t at0, at1;
  __m256i fold0, byte0, fold1, byte1;

  [[gnu::target("avx2")]] explicit Probes32(const ProbeFilter& filter)
      : at0(filter.at[0]),
        at1(filter.at[1]),
        fold0(_mm256_set1_epi8(static_cast<char>(filter.fold[0]))),
        byte0(_mm256_set1_epi8(static_cast<char>(filter.byte[0]))),
        fold1(_mm256_set1_epi8(static_cast<char>(filter.fold[1]))),
        byte1(_mm256_set1_epi8(static_cast<char>(filter.byte[1]))) {}

  // Bit i set when the candidate at candidates + i passes the filter.
  [[gnu::target("avx2")]] unsigned Passes(const unsigned char* candidates) const {
    const __m256i probe0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(candidates + at0));
    const __m256i probe1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(candidates + at1));
    const __m256i both = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(probe0, fold0), byte0),
                                          _mm256_cmpeq_epi8(_mm256_or_si256(probe1, fold1), byte1));
    return static_cast<unsigned>(_mm256_movemask_epi8(both));
  }
};

// The filter over 64 candidates at a time, then 32, while whole blocks fit,
// moving p past the blocks it tried. Returns the first match, or npos.
[[gnu::target("avx2")]] std::size_t ScanForwardAvx2(const unsigned char* base, std::size_t& p,
                                                    std::size_t lastCandidate,
                                                    std::string_view pattern, bool caseSensitive,
                                                    const ProbeFilter& filter) {
  const Probes32 probes(filter);
  // Two blocks at a time while they fit: candidates are rare, and one test
  // for both halves the branches.
  for (; p + 63 <= lastCandidate; p += 64) {
    const std::uint64_t bits = probes.Passes(base + p) | std::uint64_t{probes.Passes(base + p + 32)}
                                                             << 32;
    for (std::uint64_t rest = bits; rest != 0; rest &= rest - 1) {
      const std::size_t candidate = p + static_cast<std::size_t>(__builtin_ctzll(rest));
      if (MatchesAt(base + candidate, pattern, caseSensitive)) return candidate;
    }
  }
  for (; p + 31 <= lastCandidate; p += 32) {
    for (unsigned bits = probes.Passes(base + p); bits != 0; bits &= bits - 1) {
      const std::size_t candidate = p + static_cast<std::size_t>(__builtin_ctz(bits));
      if (MatchesAt(base + candidate, pattern, caseSensitive)) return candidate;
    }
  }
  return std::string_view::npos;
}

// The same going backwards: tries the blocks of 64, then 32, candidates
// that end at end, moving end down past those it tried. Returns the last
// match, or npos.
[[gnu::target("avx2")]] std::size_t ScanBackwardAvx2(const unsigned char* base, std::size_t from,
                                                     std::size_t& end, std::string_view pattern,
                                                     bool caseSensitive,
                                                     const ProbeFilter& filter) {
  const Probes32 probes(filter);
  for (; end >= from + 64; end -= 64) {
    const unsigned char* block = base + end - 64;
    const std::uint64_t bits = probes.Passes(block) | std::uint64_t{probes.Passes(block + 32)}
                                                          << 32;
    for (std::uint64_t rest = bits; rest != 0;) {
      const int high = 63 - __builtin_clzll(rest);
      if (MatchesAt(block + high, pattern, caseSensitive)) {
        return end - 64 + static_cast<std::size_t>(high);
      }
      rest &= ~(std::uint64_t{1} << high);
    }
  }
  for (; end >= from + 32; end -= 32) {
    const unsigned char* block = base + end - 32;
    for (unsigned bits = probes.Passes(block); bits != 0;) {
      const int high = 31 - __builtin_clz(bits);
      if (MatchesAt(block + high, pattern, caseSensitive)) {
        return end - 32 + static_cast<std::size_t>(high);
      }
      bits &= ~(1u << high);
    }
  }
  return std::string_view::npos;
}
#endif

// First candidate in [from, lastCandidate] (0-based) that matches, or npos.
std::size_t FindForward(const unsigned char* base, std::size_t from, std::size_t lastCandidate,
                        std::string_view pattern, bool caseSensitive) {
  const std::size_t m = pattern.size();
  if (m == 1 && caseSensitive) {
    const void* hit = std::memchr(base + from, pattern[0], lastCandidate - from + 1);
    return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - base)
               : std::string_view::npos;
  }
  const ProbeFilter filter(pattern, caseSensitive);
  std::size_t p = from;
#if defined(__x86_64__)
  if (HasAvx2()) {
    const std::size_t hit = ScanForwardAvx2(base, p, lastCandidate, pattern, caseSensitive, filter);
    if (hit != std::string_view::npos) return hit;
  }
  for (; p + 15 <= lastCandidate; p += 16) {
    for (unsigned bits = filter.Passes16(base + p); bits != 0; bits &= bits - 1) {
      const std::size_t candidate = p + static_cast<std::size_t>(__builtin_ctz(bits));
      if (MatchesAt(base + candidate, pattern, caseSensitive)) return candidate;
    }
  }
#endif
  for (; p <= lastCandidate; ++p) {
    if (filter.Passes(base + p) && MatchesAt(base + p, pattern, caseSensitive)) return p;
  }
  return std::string_view::npos;
}

// Last candidate in [from, lastCandidate] (0-based) that matches, or npos.
std::size_t FindBackward(const unsigned char* base, std::size_t from, std::size_t lastCandidate,
                         std::string_view pattern, bool caseSensitive) {
  const ProbeFilter filter(pattern, caseSensitive);
  std::size_t end = lastCandidate + 1;  // candidates below end are left to try
#if defined(__x86_64__)
  if (HasAvx2()) {
    const std::size_t hit = ScanBackwardAvx2(base, from, end, pattern, caseSensitive, filter);
    if (hit != std::string_view::npos) return hit;
  }
  for (; end >= from + 16; end -= 16) {
    for (unsigned bits = filter.Passes16(base + end - 16); bits != 0;) {
      const int high = 31 - __builtin_clz(bits);
      const std::size_t candidate = end - 16 + static_cast<std::size_t>(high);
      if (MatchesAt(base + candidate, pattern, caseSensitive)) return candidate;
      bits &= ~(1u << high);
    }
  }
#endif
  while (end > from) {
    --end;
    if (filter.Passes(base + end) && MatchesAt(base + end, pattern, caseSensitive)) return end;
  }
  return std::string_view::npos;
}

bool PassesEndProbes(const PatternSet& set, const unsigned char* end) {
  bool passes[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    for (std::size_t k = 0; k < set.count[i]; ++k) {
      passes[i] |=
          (end[-static_cast<std::ptrdiff_t>(set.back[i])] | set.fold[i][k]) == set.byte[i][k];
    }
  }
  return passes[0] && passes[1];
}

#if defined(__x86_64__)
// The end probes held in registers, for 32 places at a time, when each of
// them has at most two bytes to test: all the vector path takes.
struct EndProbes32 {
  std::size_t back0, back1;
  __m256i byte0a, fold0a, byte0b, fold0b, byte1a, fold1a, byte1b, fold1b;

  static bool Fits(const PatternSet& probes) {
    return probes.count[0] <= 2 && probes.count[1] <= 2;
  }

  [[gnu::target("avx2")]] explicit EndProbes32(const PatternSet& probes)
      : back0(probes.back[0]),
        back1(probes.back[1]),
        byte0a(Broadcast(probes.byte[0][0])),
        fold0a(Broadcast(probes.fold[0][0])),
        byte0b(Broadcast(probes.byte[0][probes.count[0] - 1])),
        fold0b(Broadcast(probes.fold[0][probes.count[0] - 1])),
        byte1a(Broadcast(probes.byte[1][0])),
        fold1a(Broadcast(probes.fold[1][0])),
        byte1b(Broadcast(probes.byte[1][probes.count[1] - 1])),
        fold1b(Broadcast(probes.fold[1][probes.count[1] - 1])) {}

  [[gnu::target("avx2")]] static __m256i Broadcast(unsigned char c) {
    return _mm256_set1_epi8(static_cast<char>(c));
  }
  [[gnu::target("avx2")]] static __m256i Either(__m256i bytes, __m256i foldA, __m256i byteA,
                                                __m256i foldB, __m256i byteB) {
    return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_or_si256(bytes, foldA), byteA),
                           _mm256_cmpeq_epi8(_mm256_or_si256(bytes, foldB), byteB));
  }
  // Bit i set when the place ends + i passes.
  [[gnu::target("avx2")]] unsigned Passes(const unsigned char* ends) const {
    const __m256i bytes0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ends - back0));
    const __m256i bytes1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ends - back1));
    return static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_and_si256(Either(bytes0, fold0a, byte0a, fold0b, byte0b),
                                              Either(bytes1, fold1a, byte1a, fold1b, byte1b))));
  }
};

// Moves end, 32 places at a time while they fit up to last, to the first
// block in which some place passes; returns that block's bits, or 0 when
// no block up to last has any.
[[gnu::target("avx2")]] unsigned SkipToEndCandidates(const PatternSet& probes,
                                                     const unsigned char* base, std::size_t& end,
                                                     std::size_t last) {
  const EndProbes32 vectors(probes);
  for (; end + 31 <= last; end += 32) {
    if (const unsigned bits = vectors.Passes(base + end)) return bits;
  }
  return 0;
}
#endif

#if defined(__x86_64__)
// Well-formed UTF-8, 32 bytes at a time, by the table lookups of Keiser and
// Lemire ("Validating UTF-8 in less than one instruction per byte"): each
// byte's high nibble, the low and high nibbles of the byte before it, and
// the two bytes before that tell every fault but where it lies.
namespace utf8 {
constexpr unsigned char kTooShort = 1 << 0;   // a lead or ASCII, then a lead or ASCII
constexpr unsigned char kTooLong = 1 << 1;    // ASCII, then a continuation
constexpr unsigned char kOverlong3 = 1 << 2;  // E0 80..9F
constexpr unsigned char kTooLarge = 1 << 3;   // past U+10FFFF
constexpr unsigned char kSurrogate = 1 << 4;  // ED A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;  // C0, C1
constexpr unsigned char kTooLarge1000 = 1 << 6;
constexpr unsigned char kOverlong4 = 1 << 6;  // F0 80..8F
constexpr unsigned char kTwoContinuations = 1 << 7;
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoContinuations;
}  // namespace utf8

[[gnu::target("avx2")]] __m256i Lookup16(__m256i table, __m256i nibbles) {
  return _mm256_shuffle_epi8(table, nibbles);
}

[[gnu::target("avx2")]] __m256i Table16(const unsigned char (&bytes)[16]) {
  __m128i half;
  std::memcpy(&half, bytes, 16);
  return _mm256_broadcastsi128_si256(half);
}

// The bytes of input shifted up by n, the last n of previous before them.
template <int n>
[[gnu::target("avx2")]] __m256i Previous(__m256i input, __m256i previous) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - n);
}

struct Utf8Tables {
  __m256i byte1High, byte1Low, byte2High, lowNibble;
};

// Nonzero where a byte of input, with the bytes of previous before it, is
// not where well-formed UTF-8 can have it.
[[gnu::target("avx2")]] __m256i Utf8Faults(const Utf8Tables& tables, __m256i input,
                                           __m256i previous) {
  const __m256i previous1 = Previous<1>(input, previous);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(Lookup16(tables.byte1High, _mm256_and_si256(_mm256_srli_epi16(previous1, 4),
                                                                   tables.lowNibble)),
                       Lookup16(tables.byte1Low, _mm256_and_si256(previous1, tables.lowNibble))),
      Lookup16(tables.byte2High, _mm256_and_si256(_mm256_srli_epi16(input, 4), tables.lowNibble)));
  // The third and fourth bytes of a sequence must be continuations.
  const __m256i third =
      _mm256_subs_epu8(Previous<2>(input, previous), _mm256_set1_epi8(0xE0 - 0x80));
  const __m256i fourth =
      _mm256_subs_epu8(Previous<3>(input, previous), _mm256_set1_epi8(0xF0 - 0x80));
  const __m256i must =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must, special);
}

// The offset of the first block of 32 bytes from from on that holds a fault,
// counting a sequence the block before began and this one does not finish;
// npos when none does. checkedTo tells where the whole blocks tried end: a
// sequence cut there is not judged.
[[gnu::target("avx2")]] std::size_t FirstBadUtf8Block(const unsigned char* base, std::size_t from,
                                                      std::size_t n, std::size_t& checkedTo) {
  using namespace utf8;
  static constexpr unsigned char kByte1High[16] = {
      kTooLong,
      kTooLong,
      kTooLong,
      kTooLong,
      kTooLong,
      kTooLong,
      kTooLong,
      kTooLong,
      kTwoContinuations,
      kTwoContinuations,
      kTwoContinuations,
      kTwoContinuations,
      kTooShort | kOverlong2,
      kTooShort,
      kTooShort | kOverlong3 | kSurrogate,
      kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
  static constexpr unsigned char kByte1Low[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                                  kCarry | kOverlong2,
                                                  kCarry,
                                                  kCarry,
                                                  kCarry | kTooLarge,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000};
  static constexpr unsigned char kByte2High[16] = {
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
      kTooShort,
      kTooShort,
      kTooShort,
      kTooShort};
  const Utf8Tables tables{Table16(kByte1High), Table16(kByte1Low), Table16(kByte2High),
                          _mm256_set1_epi8(0x0F)};
  // Faults are gathered over a run of blocks, without a branch for each,
  // which ASCII and other text mixed would make hard to foresee; only a run
  // with a fault is gone over again a block at a time.
  constexpr std::size_t kRun = 32 * 32;
  __m256i previous = _mm256_setzero_si256();
  std::size_t p = from;
  while (p + 32 <= n) {
    const std::size_t runEnd = p + std::min(kRun, (n - p) / 32 * 32);
    __m256i faults = _mm256_setzero_si256();
    __m256i last = previous;
    for (std::size_t q = p; q < runEnd; q += 32) {
      __m256i input;
      std::memcpy(&input, base + q, 32);
      faults = _mm256_or_si256(faults, Utf8Faults(tables, input, last));
      last = input;
    }
    if (_mm256_testz_si256(faults, faults)) {
      previous = last;
      p = runEnd;
      continue;
    }
    for (;; p += 32) {
      __m256i input;
      std::memcpy(&input, base + p, 32);
      const __m256i blockFaults = Utf8Faults(tables, input, previous);
      if (!_mm256_testz_si256(blockFaults, blockFaults)) break;
      previous = input;
    }
    break;
  }
  checkedTo = p;
  return p + 32 <= n ? p : std::string_view::npos;
}
#endif

// Every search raises for a start below 1, even on an empty text.
void CheckStart(Position startAt) {
  if (startAt < 1) Raise("Exception", "Cannot start string search from " + std::to_string(startAt));
}

// The 0-based range of candidate positions for a search from startAt, or
// false when there is none. Raises for a start below 1.
bool CandidateRange(std::string_view text, std::string_view pattern, Position startAt,
                    std::size_t& from, std::size_t& lastCandidate) {
  CheckStart(startAt);
  const std::size_t n = text.size();
  if (static_cast<std::size_t>(startAt) > n) return false;
  from = static_cast<std::size_t>(startAt) - 1;
  if (pattern.size() > n - from) return false;
  lastCandidate = n - pattern.size();
  return true;
}

Position ToPosition(std::size_t offset) {
  return offset == std::string_view::npos ? -1 : static_cast<Position>(offset) + 1;
}

}  // namespace

bool SameChar(unsigned char a, unsigned char b, bool caseSensitive) {
  if (caseSensitive || a == b) return a == b;
  if (a >= 'A' && a <= 'Z') return b == a + 32;
  if (a >= 'a' && a <= 'z') return b == a - 32;
  return false;
}

// Equal to trying every position in turn: the filter only skips
// candidates that could never match.
Position SearchText(std::string_view text, std::string_view pattern, Position startAt,
                    bool caseSensitive) {
  std::size_t from = 0;
  std::size_t lastCandidate = 0;
  if (!CandidateRange(text, pattern, startAt, from, lastCandidate)) return -1;
  if (pattern.empty()) return startAt;
  const auto* base = reinterpret_cast<const unsigned char*>(text.data());
  return ToPosition(FindForward(base, from, lastCandidate, pattern, caseSensitive));
}

Position SearchLastText(std::string_view text, std::string_view pattern, Position startAt,
                        bool caseSensitive) {
  std::size_t from = 0;
  std::size_t lastCandidate = 0;
  if (!CandidateRange(text, pattern, startAt, from, lastCandidate) || pattern.empty()) return -1;
  const auto* base = reinterpret_cast<const unsigned char*>(text.data());
  return ToPosition(FindBackward(base, from, lastCandidate, pattern, caseSensitive));
}

PatternSet PreparePatterns(std::span<const std::string_view> patterns, bool caseSensitive) {
  PatternSet set;
  set.patterns = patterns;
  set.caseSensitive = caseSensitive;
  set.shortest = patterns.front().size();
  for (const std::string_view pattern : patterns) {
    set.shortest = std::min(set.shortest, pattern.size());
    set.longest = std::max(set.longest, pattern.size());
  }
  // The bytes a pattern ends with tell little, as for a single pattern: test
  // the two before the last, or the last two of a pattern shorter than three.
  set.back[0] = set.shortest >= 3 ? 1 : 0;
  set.back[1] = set.shortest >= 3 ? 2 : std::min<std::size_t>(1, set.shortest - 1);
  for (int i = 0; i < 2; ++i) {
    for (const std::string_view pattern : patterns) {
      const auto c = static_cast<unsigned char>(pattern[pattern.size() - 1 - set.back[i]]);
      const unsigned char fold = !caseSensitive && IsAsciiLetter(c) ? 0x20 : 0;
      bool known = false;
      for (std::size_t k = 0; k < set.count[i]; ++k) {
        known |= set.byte[i][k] == (c | fold) && set.fold[i][k] == fold;
      }
      if (!known) {
        set.byte[i][set.count[i]] = c | fold;
        set.fold[i][set.count[i]++] = fold;
      }
    }
  }
  return set;
}

Position SearchFirstOf(std::string_view text, const PatternSet& set, Position startAt,
                       std::size_t& which) {
  CheckStart(startAt);
  const std::size_t from = static_cast<std::size_t>(startAt) - 1;
  if (from >= text.size() || set.shortest > text.size() - from) return -1;
  const auto* base = reinterpret_cast<const unsigned char*>(text.data());

  // The lowest start among the matches that end at end; npos for none.
  std::size_t best = std::string_view::npos;
  const auto tryEnd = [&](std::size_t end) {
    for (std::size_t i = 0; i < set.patterns.size(); ++i) {
      const std::size_t m = set.patterns[i].size();
      if (end + 1 < from + m) continue;
      const std::size_t start = end + 1 - m;
      const bool earlier = start < best || (start == best && i < which);
      if (earlier && MatchesAt(base + start, set.patterns[i], set.caseSensitive)) {
        best = start;
        which = i;
      }
    }
  };
  // Places where a match would end, in order, up to the first that has one.
  const std::size_t lastEnd = text.size() - 1;
  std::size_t end = from + set.shortest - 1;
#if defined(__x86_64__)
  if (HasAvx2() && EndProbes32::Fits(set)) {
    while (const unsigned bits = SkipToEndCandidates(set, base, end, lastEnd)) {
      for (unsigned rest = bits; rest != 0; rest &= rest - 1) {
        tryEnd(end + static_cast<std::size_t>(__builtin_ctz(rest)));
      }
      if (best != std::string_view::npos) break;
      end += 32;
    }
  }
#endif
  for (; best == std::string_view::npos && end <= lastEnd; ++end) {
    if (PassesEndProbes(set, base + end)) tryEnd(end);
  }
  if (best == std::string_view::npos) return -1;
  // A longer pattern ending a little after the match found may still begin
  // before it.
  const std::size_t foundEnd = best + set.patterns[which].size() - 1;
  const std::size_t lastLater = std::min(lastEnd, foundEnd + (set.longest - set.shortest));
  for (std::size_t later = foundEnd + 1; later <= lastLater; ++later) {
    if (PassesEndProbes(set, base + later)) tryEnd(later);
  }
  return static_cast<Position>(best) + 1;
}

bool CanOverlapItself(std::string_view pattern, bool caseSensitive) {
  for (std::size_t shift = 1; shift < pattern.size(); ++shift) {
    bool overlaps = true;
    for (std::size_t i = 0; overlaps && i + shift < pattern.size(); ++i) {
      overlaps = SameChar(static_cast<unsigned char>(pattern[i]),
                          static_cast<unsigned char>(pattern[i + shift]), caseSensitive);
    }
    if (overlaps) return true;
  }
  return false;
}

Position SearchFrom(std::string_view text, std::string_view pattern, Position startAt) {
  return SearchText(text, pattern, startAt, true);
}

Position SearchFromStart(std::string_view text, std::string_view pattern, bool caseSensitive) {
  return SearchText(text, pattern, 1, caseSensitive);
}

Position SearchPastEnd(std::string_view text, std::string_view pattern, Position startAt,
                       bool caseSensitive) {
  const Position found = SearchText(text, pattern, startAt, caseSensitive);
  return found == -1 ? -1 : found + static_cast<Position>(pattern.size());
}

Position SearchInvalidUtf8(std::string_view text, Position startAt, Position& incomplete) {
  CheckStart(startAt);
  incomplete = -1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t p = static_cast<std::size_t>(startAt) - 1;
#if defined(__x86_64__)
  // The blocks tell only whether there is a fault; where, the plain way
  // below tells, from the first sequence the first bad block may hold, or
  // from the first one the blocks may have cut.
  if (HasAvx2() && p < n && n - p >= 64) {
    std::size_t checkedTo = p;
    const std::size_t bad = FirstBadUtf8Block(bytes, p, n, checkedTo);
    const std::size_t resume = bad != std::string_view::npos ? bad : checkedTo;
    if (resume >= p + 3) {
      p = resume - 3;
      while (p < resume && (bytes[p] & 0xC0) == 0x80) ++p;
    }
  }
#endif
  while (p < n) {
    // Listings are mostly ASCII: skip it eight bytes at a time.
    for (std::uint64_t word; p + 8 <= n; p += 8) {
      std::memcpy(&word, bytes + p, 8);
      if (word & 0x8080808080808080u) break;
    }
    if (p >= n) break;
    const unsigned char lead = bytes[p];
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // The length of the sequence the lead byte begins, and the range its
    // second byte must lie in, which rules out overlong forms, surrogates
    // and code points past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return ToPosition(p);
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (p + k >= n) {
        incomplete = ToPosition(p);
        return -1;
      }
      const unsigned char next = bytes[p + k];
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return ToPosition(p);
    }
    p += length;
  }
  return -1;
}

bool SameAsciiLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return SameChar(static_cast<unsigned char>(x), static_cast<unsigned char>(y), false);
         });
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string_view CopyRange(std::string_view text, Position first, Position last) {
  const Position size = static_cast<Position>(text.size());
  if (first < 1) first = 1;
  if (last > size) last = size;
  if (last < first) return {};
  return text.substr(static_cast<std::size_t>(first - 1),
                     static_cast<std::size_t>(last - first + 1));
}

}  // namespace lindqvar
