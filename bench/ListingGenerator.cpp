// A deterministic, realistic XMLTV listing of about the requested size,
// shaped like what grabbers write: channels with names and icons, then
// programmes with titles, sub-titles, descriptions in several languages,
// credits (director, actor, writer, presenter), several categories,
// language, country, episode numbers, icons, previously-shown, ratings and
// star ratings; times with and without zone suffixes, some programmes
// without stop, some with pdc-start or vps-start.
#include "ListingGenerator.h"

#include <cstdio>
#include <string>

namespace {

struct Random {
  std::uint64_t state;
  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
  template <std::size_t N>
  std::string_view Pick(const std::string_view (&items)[N]) {
    return items[Below(N)];
  }
};

constexpr std::string_view kWords[] = {
    "the",    "night",  "of",        "världen",  "Köpenhamn", "över",    "river",   "familie",
    "på",     "café",   "detective", "München",  "sæson",     "gränsen", "new",     "Zürich",
    "mörker", "island", "Ålesund",   "journey",  "straße",    "déjà",    "history", "naïve",
    "Tromsø", "garden", "kärlek",    "football", "Ελλάδα",    "東京",    "series",  "weather",
    "live",   "from",   "a",         "and",      "i",         "och",     "med",     "og"};
constexpr std::string_view kTitles[] = {"Rapport",
                                        "Nyheterna",
                                        "TV AVISEN",
                                        "BBC News",
                                        "Vetenskapens värld",
                                        "Go'kväll",
                                        "Søren Ryge præsenterer",
                                        "Match of the Day",
                                        "Antikrundan",
                                        "Tatort",
                                        "Brief Encounter",
                                        "Fråga doktorn",
                                        "Sportnytt",
                                        "Das Erste Mittagsmagazin",
                                        "Doctor Who",
                                        "Skavlan"};
constexpr std::string_view kCategories[] = {"News",       "Nyheter", "Sport",    "Film",
                                            "Dokumentär", "Drama",   "Children", "Livsstil",
                                            "Magasin",    "Music"};
constexpr std::string_view kLanguages[] = {"sv", "da", "en", "de", "no"};
constexpr std::string_view kZones[] = {" +0100", " +0000", " +0200", ""};
constexpr std::string_view kCountries[] = {"SE", "DK", "GB", "DE", "NO", "US", "FR"};
constexpr std::string_view kRatings[] = {"PG", "PG-13", "R", "TV-14", "TV-G", "TV-MA"};
constexpr std::string_view kPeople[] = {"Camilla Kvartoft", "David Lean",        "Celia Johnson",
                                        "Trevor Howard",    "Sofie Gråbøl",      "Jürgen Vogel",
                                        "Anna Björk",       "Mikael Persbrandt", "Olivia Colman"};

void Sentence(Random& random, std::string& out) {
  const std::size_t words = 6 + random.Below(14);
  for (std::size_t i = 0; i < words; ++i) {
    if (i > 0) out += ' ';
    out += random.Pick(kWords);
  }
  out += ". ";
}

// Minutes since 1 January of the listing's year, as YYYYMMDDhhmmss.
std::string Time(int year, std::uint64_t minutes) {
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::uint64_t day = minutes / 1440 % 365;
  int month = 0;
  while (day >= static_cast<std::uint64_t>(kMonthDays[month])) day -= kMonthDays[month++];
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d00", year, month + 1,
                static_cast<int>(day + 1), static_cast<int>(minutes / 60 % 24),
                static_cast<int>(minutes % 60));
  return text;
}

}  // namespace

void GenerateListing(std::uint64_t size, std::uint64_t seed,
                     const std::function<void(std::string_view)>& write) {
  const std::uint64_t target = size;
  const std::string tag = std::to_string(seed);
  Random random{seed * 7919 + 1};
  const int year = 2004 + static_cast<int>(random.Below(24));
  std::string out;
  out.reserve(1 << 20);
  std::uint64_t written = 0;
  auto flush = [&](bool force) {
    if (force || out.size() >= (1 << 20)) {
      write(out);
      written += out.size();
      out.clear();
    }
  };

  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n";
  out += "<tv source-info-name=\"generated\" generator-info-name=\"GenerateListing\">\n";
  const int channels = 40 + static_cast<int>(random.Below(80));
  for (int c = 0; c < channels; ++c) {
    const std::string id = "ch" + std::to_string(c) + "." + tag + ".example.tv";
    out += "  <channel id=\"" + id + "\">\n    <display-name lang=\"" +
           std::string(random.Pick(kLanguages)) + "\">" + std::string(random.Pick(kTitles)) + " " +
           std::to_string(c) + "</display-name>\n    <icon src=\"https://img.example.tv/" + id +
           ".png\"/>\n  </channel>\n";
  }
  std::uint64_t minutes = random.Below(365 * 1440);
  const std::string footer = "</tv>\n";
  while (written + out.size() + footer.size() < target) {
    const std::string channel =
        "ch" + std::to_string(random.Below(channels)) + "." + tag + ".example.tv";
    const std::uint64_t length = 5 * (1 + random.Below(24));
    const std::string zone(random.Pick(kZones));
    const std::string lang(random.Pick(kLanguages));
    const std::string start = Time(year, minutes) + zone;
    out += "  <programme start=\"" + start + "\"";
    if (random.Below(20) != 0) out += " stop=\"" + Time(year, minutes + length) + zone + "\"";
    if (random.Below(10) == 0) out += " pdc-start=\"" + start + "\"";
    if (random.Below(25) == 0) out += " vps-start=\"" + start + "\"";
    out += " channel=\"" + channel + "\">\n";
    out += "    <title lang=\"" + lang + "\">" + std::string(random.Pick(kTitles)) + "</title>\n";
    if (random.Below(2) == 0) {
      out += "    <sub-title lang=\"" + lang + "\">";
      Sentence(random, out);
      out += "</sub-title>\n";
    }
    for (std::size_t d = 1 + random.Below(2); d > 0; --d) {
      out += "    <desc lang=\"" + std::string(random.Pick(kLanguages)) + "\">";
      for (std::size_t s = 1 + random.Below(3); s > 0; --s) Sentence(random, out);
      out += "</desc>\n";
    }
    if (random.Below(3) != 0) {
      out += "    <credits>\n";
      for (std::size_t p = random.Below(2); p > 0; --p) {
        out += "      <director>" + std::string(random.Pick(kPeople)) + "</director>\n";
      }
      for (std::size_t p = random.Below(5); p > 0; --p) {
        out += "      <actor role=\"" + std::string(random.Pick(kWords)) + "\">" +
               std::string(random.Pick(kPeople)) + "</actor>\n";
      }
      if (random.Below(3) == 0) {
        out += "      <writer>" + std::string(random.Pick(kPeople)) + "</writer>\n";
      }
      if (random.Below(3) == 0) {
        out += "      <presenter>" + std::string(random.Pick(kPeople)) + "</presenter>\n";
      }
      out += "    </credits>\n";
    }
    if (random.Below(4) == 0)
      out += "    <date>" + std::to_string(1950 + random.Below(75)) + "</date>\n";
    for (std::size_t k = 1 + random.Below(3); k > 0; --k) {
      out += "    <category lang=\"" + std::string(random.Pick(kLanguages)) + "\">" +
             std::string(random.Pick(kCategories)) + "</category>\n";
    }
    out += "    <language>" + lang + "</language>\n";
    if (random.Below(3) == 0)
      out += "    <country>" + std::string(random.Pick(kCountries)) + "</country>\n";
    out += "    <episode-num system=\"xmltv_ns\">" + std::to_string(random.Below(30)) + "." +
           std::to_string(random.Below(40)) + ".</episode-num>\n";
    if (random.Below(2) == 0) {
      out += "    <episode-num system=\"onscreen\">S" + std::to_string(1 + random.Below(30)) + "E" +
             std::to_string(1 + random.Below(40)) + "</episode-num>\n";
    }
    if (random.Below(3) == 0) {
      out += "    <icon src=\"https://img.example.tv/p/" + std::to_string(random.Next() % 1000000) +
             ".jpg\" width=\"640\" height=\"360\"/>\n";
    }
    if (random.Below(4) == 0) {
      out += "    <previously-shown start=\"" +
             Time(year, minutes - std::min<std::uint64_t>(minutes, 10080)) + "\"/>\n";
    }
    if (random.Below(3) == 0) {
      out += "    <rating system=\"" + std::string(random.Below(2) ? "MPAA" : "VCHIP") +
             "\">\n      <value>" + std::string(random.Pick(kRatings)) +
             "</value>\n    </rating>\n";
    }
    if (random.Below(3) == 0) {
      out += "    <star-rating>\n      <value>" + std::to_string(1 + random.Below(10)) +
             "/10</value>\n    </star-rating>\n";
    }
    out += "  </programme>\n";
    minutes += length;
    flush(false);
  }
  out += footer;
  flush(true);
}
