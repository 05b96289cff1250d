// Throughput of the search module and section extraction on a generated
// listing, beside memchr and memmem on the same text. Each benchmark checks
// its answer before it is timed.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "ListingGenerator.h"
#include "ProgrammeTimes.h"
#include "Sections.h"
#include "StringUtils.h"

namespace {

using lindqvar::Position;

const std::string& Listing() {
  static const std::string text = [] {
    std::string listing;
    GenerateListing(std::uint64_t{64} << 20, 1, [&](std::string_view piece) { listing += piece; });
    return listing;
  }();
  return text;
}

void CountBytes(benchmark::State& state, std::size_t perIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

// A byte that never occurs, so both scan the whole text.
void BM_SearchText_OneByte(benchmark::State& state) {
  const std::string& text = Listing();
  if (lindqvar::SearchText(text, "\x01", 1, true) != -1) state.SkipWithError("byte occurs");
  for (auto _ : state) benchmark::DoNotOptimize(lindqvar::SearchText(text, "\x01", 1, true));
  CountBytes(state, text.size());
}

void BM_memchr_OneByte(benchmark::State& state) {
  const std::string& text = Listing();
  for (auto _ : state) benchmark::DoNotOptimize(std::memchr(text.data(), 1, text.size()));
  CountBytes(state, text.size());
}

// Every occurrence of pattern, one search after the other, as the driver
// walks a section.
std::size_t CountFolding(const std::string& text, std::string_view pattern) {
  std::size_t count = 0;
  for (Position at = 1; (at = lindqvar::SearchPastEnd(text, pattern, at, false)) != -1;) ++count;
  return count;
}

std::size_t CountMemmem(const std::string& text, std::string_view pattern) {
  std::size_t count = 0;
  const char* at = text.data();
  const char* end = text.data() + text.size();
  while (const void* hit =
             memmem(at, static_cast<std::size_t>(end - at), pattern.data(), pattern.size())) {
    ++count;
    at = static_cast<const char*>(hit) + pattern.size();
  }
  return count;
}

void BM_SearchText_Folding(benchmark::State& state, std::string_view pattern) {
  const std::string& text = Listing();
  // The listing writes its markers in lower case only, so the counts agree.
  if (CountFolding(text, pattern) != CountMemmem(text, pattern)) state.SkipWithError("mismatch");
  for (auto _ : state) benchmark::DoNotOptimize(CountFolding(text, pattern));
  CountBytes(state, text.size());
}

void BM_memmem(benchmark::State& state, std::string_view pattern) {
  const std::string& text = Listing();
  for (auto _ : state) benchmark::DoNotOptimize(CountMemmem(text, pattern));
  CountBytes(state, text.size());
}

// The last "</channel>" of a listing lies before its programmes, so the
// backward search crosses them all: what finding an input's channel section
// costs on each buffer of programmes.
void BM_SearchLastText_Channel(benchmark::State& state) {
  const std::string& text = Listing();
  const Position last = lindqvar::SearchLastText(text, "</channel>", 1, false);
  if (last < 0 || static_cast<std::size_t>(last) > text.size() / 10)
    state.SkipWithError("not first");
  for (auto _ : state)
    benchmark::DoNotOptimize(lindqvar::SearchLastText(text, "</channel>", 1, false));
  CountBytes(state, text.size() - static_cast<std::size_t>(last));
}

void BM_ExtractSection(benchmark::State& state) {
  const std::string& text = Listing();
  const std::string_view programmes = lindqvar::ExtractSection(text, "<programme", "</programme>");
  if (programmes.size() + 5000 < text.size() / 2) state.SkipWithError("section too short");
  for (auto _ : state) {
    benchmark::DoNotOptimize(lindqvar::ExtractSection(text, "<channel", "</channel>"));
    benchmark::DoNotOptimize(lindqvar::ExtractSection(text, "<programme", "</programme>"));
  }
  CountBytes(state, text.size());
}

void BM_RewriteProgrammeTimes(benchmark::State& state) {
  const std::string_view section =
      lindqvar::ExtractSection(Listing(), "<programme", "</programme>");
  std::string out;
  out.reserve(2 * section.size());
  for (auto _ : state) {
    lindqvar::RewriteProgrammeTimes(section, out);
    out.clear();
  }
  CountBytes(state, section.size());
}

BENCHMARK(BM_SearchText_OneByte);
BENCHMARK(BM_memchr_OneByte);
BENCHMARK_CAPTURE(BM_SearchText_Folding, channel, "<channel");
BENCHMARK_CAPTURE(BM_memmem, channel, "<channel");
BENCHMARK_CAPTURE(BM_SearchText_Folding, start, "start=\"");
BENCHMARK_CAPTURE(BM_memmem, start, "start=\"");
BENCHMARK(BM_SearchLastText_Channel);
BENCHMARK(BM_ExtractSection);
BENCHMARK(BM_RewriteProgrammeTimes);

}  // namespace

BENCHMARK_MAIN();
