// Compressed listings: magic numbers, reading gzip data as it comes (and a
// chunk ahead, on a thread of its own), and writing it on several threads,
// checked against zlib's own one-piece decompression.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Gunzip.h"
#include "Gzip.h"
#include "Inputs.h"
#include "ListingGenerator.h"

namespace lindqvar {
namespace {

using namespace std::string_literals;

// text as one gzip member, made by zlib in one piece.
std::string GzipMember(const std::string& text, int level = 9) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Listing(std::uint64_t size, std::uint64_t seed) {
  std::string text;
  GenerateListing(size, seed, [&](std::string_view piece) { text.append(piece); });
  return text;
}

TEST(CompressionOf, MagicNumbers) {
  const std::pair<std::string, Compression> rows[] = {
      {"\x1F\x8B\x08"s, Compression::Gzip},
      {"\xFD"
       "7zXZ\0"s,
       Compression::Xz},
      {"\xFD"
       "7zXZ"s,
       Compression::None},  // cut short
      {"\x28\xB5\x2F\xFD"s, Compression::Zstd},
      {"BZh91AY&SY"s, Compression::Bzip2},
      {"BZh11AY&SYx"s, Compression::Bzip2},
      {"BZh91AY&S"s, Compression::None},  // cut short
      {"BZh01AY&SY"s, Compression::None},
      {"BZh is how the listing starts"s, Compression::None},
      {"PK\x03\x04"s, Compression::Zip},
      {"PK\x05\x06"s, Compression::Zip},
      {"PK\x04\x03"s, Compression::None},
      {"\x1F"s, Compression::None},
      {"<?xml"s, Compression::None},
      {""s, Compression::None},
  };
  for (const auto& [bytes, expected] : rows) EXPECT_EQ(CompressionOf(bytes), expected) << bytes;
}

TEST(GzipReader, MembersOneAfterAnother) {
  const std::string a = Listing(100000, 1);
  const std::string b = "<tv></tv>";
  const std::string joined = GzipMember(a) + GzipMember("") + GzipMember(b);
  for (const GzipReader::Inflater inflater : testing::Inflaters()) {
    for (const std::size_t chunk :
         {std::size_t{1}, std::size_t{7}, std::size_t{4096}, joined.size()}) {
      EXPECT_EQ(testing::GunzipInPieces(joined, chunk, inflater), a + b) << chunk;
    }
  }
}

// Cut anywhere, with one byte changed anywhere, or followed by anything but
// another member, the data is damaged; it never reads as shorter data.
TEST(GzipReader, DamagedDataIsNeverTakenForGood) {
  const std::string text = Listing(20000, 2);
  const std::string good = GzipMember(text);
  for (const GzipReader::Inflater inflater : testing::Inflaters()) {
    for (std::size_t cut = 1; cut < good.size(); cut += cut < 40 ? 1 : 97) {
      EXPECT_EQ(testing::GunzipInPieces(good.substr(0, cut), 1000, inflater), std::nullopt)
          << "cut at " << cut;
    }
    std::mt19937 random(3);
    for (int round = 0; round < 200; ++round) {
      std::string flipped = good;
      flipped[random() % flipped.size()] ^= static_cast<char>(1 << (random() % 8));
      // A changed byte in the header's unused fields can pass; the text must
      // then come out whole.
      const std::optional<std::string> read = testing::GunzipInPieces(flipped, 1000, inflater);
      if (read) {
        EXPECT_EQ(*read, text) << round;
      }
    }
    // Zeros to the end are padding, as gzip takes them; anything else after
    // the last member, the zeros' too, is damage.
    for (const std::string& junk : {"\n"s, "x"s, "\x1F"s, "\x1F\x8B"s, "\0\0\0\0x"s,
                                    std::string(5000, '\0') + "\1", "\0"s + good}) {
      for (const std::size_t piece : {std::size_t{1}, std::size_t{1000}}) {
        EXPECT_EQ(testing::GunzipInPieces(good + junk, piece, inflater), std::nullopt)
            << junk.size();
      }
    }
    for (const std::string& padding : {"\0"s, std::string(100000, '\0')}) {
      for (const std::size_t piece : {std::size_t{1}, std::size_t{1000}}) {
        EXPECT_EQ(testing::GunzipInPieces(good + padding, piece, inflater), text) << padding.size();
        EXPECT_EQ(testing::GunzipInPieces(good + good + padding, piece, inflater), text + text);
      }
    }
  }
}

// The header's optional fields, each read and stepped over, its own check
// value checked, and whatever RFC 1952 does not allow refused, by every
// inflater alike: header bytes before a member made by zlib.
TEST(GzipReader, HeaderFields) {
  const std::string text = "<tv></tv>";
  const std::string member = GzipMember(text);
  const std::string deflated = member.substr(10);  // the data and the trailer
  const auto header = [](unsigned char flags, const std::string& fields) {
    return std::string("\x1F\x8B\x08", 3) + static_cast<char>(flags) + std::string(6, '\0') +
           fields;
  };
  const auto withHeaderCrc = [](std::string head) {
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(head.data()), static_cast<uInt>(head.size()));
    return head + static_cast<char>(crc & 0xFF) + static_cast<char>((crc >> 8) & 0xFF);
  };
  const std::pair<std::string, bool> rows[] = {
      {header(0, ""), true},
      {header(0x01, ""), true},  // FTEXT
      {header(0x04,
              "\x03\x00"
              "abc"s),
       true},                                // FEXTRA
      {header(0x08, "guide.xml\0"s), true},  // FNAME
      {header(0x10, "a comment\0"s), true},  // FCOMMENT
      {header(0x1C, "\x00\x00name\0comment\0"s), true},
      {withHeaderCrc(header(0x02, "")), true},  // FHCRC, right
      {header(0x02, "\x12\x34"s), false},       // FHCRC, wrong
      {header(0x20, ""), false},                // a reserved flag
      {header(0x80, ""), false},
      {"\x1F\x8B\x07"s + std::string(7, '\0'), false},  // not deflate
      {header(0x08, "never ends"), false},
      {header(0x04,
              "\xFF\x00"
              "abc"s),
       false},  // FEXTRA longer than the data
  };
  for (const GzipReader::Inflater inflater : testing::Inflaters()) {
    for (const auto& [head, good] : rows) {
      const std::optional<std::string> read = testing::GunzipInPieces(head + deflated, 3, inflater);
      EXPECT_EQ(read, good ? std::optional<std::string>(text) : std::nullopt) << head;
    }
  }
}

// text compressed by a GzipWriter on threads threads, written in pieces of
// piece bytes.
std::string Compress(const std::string& text, unsigned threads, std::size_t piece) {
  std::string out;
  GzipWriter writer([&](std::string_view bytes) { out.append(bytes); }, threads);
  for (std::size_t at = 0; at < text.size(); at += piece) writer.Write(text.substr(at, piece));
  writer.Finish();
  return out;
}

// One member whatever the number of threads, byte for byte, that zlib reads
// back as the text, hardly larger than zlib's one-piece compression at the
// same level.
// Reads and skips of random sizes, from a source that delivers random
// pieces and, in half the rounds, fails part way: the bytes come in order,
// none lost or twice, and the failure comes where it came in the bytes.
TEST(ReadAhead, ReadsAndSkipsGiveTheSourceInOrder) {
  std::mt19937 random(7);
  const std::string text = Listing(200000, 3);
  for (int round = 0; round < 40; ++round) {
    const std::size_t failAt = round % 2 ? random() % text.size() : text.size() + 1;
    std::size_t given = 0;
    const ReadBytes source = [&](char* bytes, std::size_t size) {
      if (given == failAt) throw DamagedData();
      const std::size_t piece =
          std::min({size, text.size() - given, failAt - given, std::size_t{1} + random() % 5000});
      std::memcpy(bytes, text.data() + given, piece);
      given += piece;
      return piece;
    };
    std::vector<char> room(2 * (16 + round * 997 % 9000));
    std::string got;
    std::size_t at = 0;  // bytes taken, read or passed over
    bool failed = false;
    {
      ReadAhead ahead(source, room);
      std::mt19937 sizes(round);
      try {
        for (;;) {
          const std::size_t size = 1 + sizes() % 20000;
          std::size_t taken = 0;
          if (sizes() % 3 == 0) {
            // What is passed over stands as it should be: a wrong count
            // shows in the bytes read after it.
            taken = ahead.Skip(size);
            got.append(text, std::min(at, text.size()), taken);
          } else {
            std::string piece(size, '\0');
            taken = ahead.Read(piece.data(), size);
            got.append(piece, 0, taken);
          }
          if (taken == 0) break;
          at += taken;
        }
      } catch (const DamagedData&) {
        failed = true;
      }
    }
    ASSERT_EQ(failed, failAt <= text.size()) << round;
    ASSERT_EQ(at, std::min(failAt, text.size())) << round;
    ASSERT_TRUE(got == text.substr(0, at)) << round;
  }
}

TEST(GzipWriter, SameBytesOnAnyNumberOfThreads) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1000}, std::size_t{128} << 10, std::size_t{3} << 20}) {
    const std::string text = Listing(size, size + 4).substr(0, size);
    const std::string one = Compress(text, 1, 1 << 20);
    EXPECT_EQ(Compress(text, 4, 4999), one) << size;
    EXPECT_EQ(Compress(text, 2, 1), one) << size;
    ASSERT_GE(one.size(), 18u);
    EXPECT_EQ(one.substr(0, 10), "\x1F\x8B\x08\0\0\0\0\0\0\xFF"s);
    EXPECT_EQ(testing::GunzipInPieces(one, 1 << 16), text) << size;
    EXPECT_LE(one.size(), GzipMember(text, 6).size() * 101 / 100 + 16) << size;
    std::string inflated(text.size() + 1, '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(one.data()));
    z.avail_in = static_cast<uInt>(one.size());
    z.next_out = reinterpret_cast<Bytef*>(inflated.data());
    z.avail_out = static_cast<uInt>(inflated.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << size;
    EXPECT_EQ(z.avail_in, 0u) << "a single member";
    EXPECT_EQ(std::string(inflated.data(), z.total_out), text);
    inflateEnd(&z);
  }
}

}  // namespace
}  // namespace lindqvar
