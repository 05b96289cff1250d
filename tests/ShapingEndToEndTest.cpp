// End-to-end runs that shape the guide: --channels with playlists and
// plain lists, --first-wins, and their messages, failures and exit statuses.
#include "EndToEnd.h"
#include "ListingGenerator.h"

namespace lindqvar::testing {
namespace {

const std::string kM3u =
    "#EXTM3U\n"
    "#EXTINF:-1 tvg-id=\"a.se\" tvg-name=\"A\",A, HD\nhttp://tv/a\n"
    "#EXTINF:-1 tvg-id='D.SE',D\nhttp://tv/d\n"
    "#EXTINF:-1,Radio without an id\nhttp://tv/r\n"
    "#EXTINF:-1 tvg-id=\"gone.se\",Gone\nhttp://tv/g\n";

// A listing of the channels with a programme each; the programme of c.se
// carries its channel as &#99;.se.
std::string ListingOf(const std::vector<std::string>& channels, const std::string& times) {
  std::string listing = "<?xml version=\"1.0\"?>\n<tv>\n";
  for (const std::string& id : channels) listing += "  " + ChannelOf(id) + "\n";
  for (const std::string& id : channels) {
    listing += "  " + ProgrammeOf(id == "c.se" ? "&#99;.se" : id, times) + "\n";
  }
  return listing + "</tv>\n";
}

TEST_F(EndToEnd, ChannelsOfAPlaylist) {
  const std::string times = "start=\"20260701120000\" stop=\"20260701130000\"";
  WriteFile(Path("one.xml"), ListingOf({"a.se", "b.se", "c.se"}, times));
  WriteFile(Path("two.xml"), ListingOf({"d.se", "e.se"}, times));
  WriteFile(Path("playlist.m3u"), kM3u);
  const RunResult run = Run({"--channels=playlist.m3u", "one.xml", "two.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Checking timezone for \"two.xml\"\r\nxml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(run.err,
            "Lindqvar: warning: \"playlist.m3u\" has 1 entry without a tvg-id, first \"Radio "
            "without an id\"\r\n"
            "Lindqvar: warning: \"playlist.m3u\" names 1 channel that no input has, first "
            "\"gone.se\"\r\n"
            "Lindqvar: warning: 1 channel id matches \"playlist.m3u\" only when letter case is "
            "ignored, first \"d.se\" for \"D.SE\"\r\n");
  // Each kept element with the blanks before it, within its input; -t on
  // the kept programmes.
  EXPECT_EQ(
      ReadFile(Path("out.xml")),
      kHeader + ChannelOf("a.se") + ChannelOf("d.se") + ProgrammeOf("a.se", times) +
          ProgrammeOf("d.se", "start=\"20260701120000 +0100\" stop=\"20260701130000 +0100\"") +
          "</tv>");

  // A plain list, with a wildcard, from a pipe and gzip-compressed; the
  // programme of c.se is known by its reference decoded.
  ASSERT_EQ(RunShell("printf '# mine\\nc.*\\n  b.se \\r\\n' | gzip -c > list.gz", false), 0);
  RunOptions piped;
  piped.stdinBytes = ReadFile(Path("list.gz"));
  const RunResult plain = Run({"--channels=/dev/stdin", "--", "one.xml", "out.xml"}, piped);
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + "\n  " + ChannelOf("b.se") + "\n  " +
                                           ChannelOf("c.se") + "\n  " + ProgrammeOf("b.se", times) +
                                           "\n  " + ProgrammeOf("&#99;.se", times) + "</tv>");

  // Gzip inputs and a .gz output give the same guide.
  ASSERT_EQ(RunShell("gzip -c one.xml > one.gz && gzip -c two.xml > two.gz", false), 0);
  ASSERT_EQ(Run({"--channels=playlist.m3u", "one.xml", "two.xml", "-t", "out.xml"}).status, 0);
  ASSERT_EQ(Run({"--channels=playlist.m3u", "one.gz", "two.gz", "-t", "out.xml.gz"}).status, 0);
  ASSERT_EQ(RunShell("gzip -dc < out.xml.gz > unpacked.xml", false), 0);
  EXPECT_EQ(ReadFile(Path("unpacked.xml")), ReadFile(Path("out.xml")));
}

TEST_F(EndToEnd, ShapedGuidesThatCannotBeMade) {
  WriteFile(Path("one.xml"), ListingOf({"a.se"}, "start=\"20260701120000\""));
  WriteFile(Path("out.xml"), "precious");
  WriteFile(Path("other.txt"), "nowhere.se\n");
  WriteFile(Path("comments.txt"), "# nothing\n\n");
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string report;  // kind and message, if the run ends with the failure report
  };
  const Row rows[] = {
      {{"--channels=missing.m3u", "missing.xml", "out.xml"},
       1,
       "File \"missing.m3u\" not found\r\n",
       ""},
      {{"--channels=comments.txt", "one.xml", "out.xml"},
       1,
       "",
       "EConvertError No channel ids in \"comments.txt\"."},
      {{"--channels=other.txt", "--channels=comments.txt", "one.xml", "out.xml"},
       1,
       "",
       "EConvertError No channel ids in \"comments.txt\"."},
      // An empty or broken source must not wipe a good guide.
      {{"--channels=other.txt", "one.xml", "out.xml"},
       1,
       "",
       "EConvertError No channel of \"other.txt\" is in the inputs."},
      // Spelled otherwise, an option is an input as ever.
      {{"--chanels=other.txt", "one.xml", "out.xml"},
       1,
       "File \"--chanels=other.txt\" not found\r\n",
       ""},
      {{"one.xml", "--first-wins", "out.xml"}, 1, "File \"--first-wins\" not found\r\n", ""},
      {{"--", "one.xml", "out.xml"}, 1, "File \"--\" not found\r\n", ""},
      {{"--first-wins", "one.xml"}, 0, kUsage, ""},
  };
  for (const Row& row : rows) {
    const RunResult run = Run(row.args);
    EXPECT_EQ(run.status, row.status) << row.args[0];
    EXPECT_EQ(run.out, row.out) << row.args[0];
    if (!row.report.empty()) {
      const std::size_t blank = row.report.find(' ');
      ExpectReport(run.err.substr(run.err.find("Exception ")), row.report.substr(0, blank),
                   row.report.substr(blank + 1));
    }
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious") << row.args[0];
  }
  const RunResult help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with(kUsage)) << help.out;
  EXPECT_EQ(std::count(help.out.begin(), help.out.end(), '\n'), 5) << help.out;
  EXPECT_NE(help.out.find("       --channels=LIST "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("       --first-wins "), std::string::npos) << help.out;
}

// Each channel from one source: the first with programmes of it, else the
// first with the channel; the others give it up, and say so.
TEST_F(EndToEnd, FirstWins) {
  const std::string early = "start=\"20260701120000\"";
  const std::string late = "start=\"20260702120000\"";
  WriteFile(Path("grabber.xml"),
            "<tv>" + ChannelOf("a.se") + ChannelOf("b.se") + ProgrammeOf("a.se", early) + "</tv>");
  WriteFile(Path("backup.xml"), "<tv>" + ChannelOf("a.se") + ChannelOf("b.se") +
                                    ProgrammeOf("a.se", late) + ProgrammeOf("b.se", late) +
                                    "</tv>");
  const RunResult run = Run({"--first-wins", "grabber.xml", "backup.xml", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "Lindqvar: warning: \"backup.xml\" gives up 1 channel to earlier inputs, first "
            "\"a.se\" to \"grabber.xml\"\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + ChannelOf("a.se") + ChannelOf("b.se") +
                                           ProgrammeOf("a.se", early) + ProgrammeOf("b.se", late) +
                                           "</tv>");
  // The same listing twice: the second gives up everything.
  const RunResult twice = Run({"--first-wins", "backup.xml", "backup.xml", "out.xml"});
  EXPECT_EQ(twice.err,
            "Lindqvar: warning: \"backup.xml\" gives up 2 channels to earlier inputs, first "
            "\"a.se\" to \"backup.xml\"\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + ChannelOf("a.se") + ChannelOf("b.se") +
                                           ProgrammeOf("a.se", late) + ProgrammeOf("b.se", late) +
                                           "</tv>");
}

// Guides of many windows, whose kept bytes go out while the next window is
// filtered: a list of every channel keeps each byte of the join, with and
// without -t, into a plain file and a .gz one.
TEST_F(EndToEnd, EveryChannelKeptIsTheJoin) {
  std::string list;
  for (const int seed : {5, 6}) {
    std::string generated;
    GenerateListing(3 << 20, seed, [&](std::string_view piece) { generated.append(piece); });
    WriteFile(Path("in" + std::to_string(seed) + ".xml"), generated);
    const std::string marker = "<channel id=\"";
    for (std::size_t at = generated.find(marker); at != std::string::npos;
         at = generated.find(marker, at)) {
      at += marker.size();
      list += generated.substr(at, generated.find('"', at) - at) + "\n";
    }
  }
  WriteFile(Path("all.txt"), list);
  for (const bool rewrite : {false, true}) {
    std::vector<std::string> inputs = {"in5.xml", "in6.xml"};
    if (rewrite) inputs = {"in5.xml", "-t", "in6.xml", "-t"};
    std::vector<std::string> joined = inputs;
    joined.push_back("joined.xml");
    ASSERT_EQ(Run(joined).status, 0);
    for (const std::string output : {"shaped.xml", "shaped.xml.gz"}) {
      std::vector<std::string> shaped = {"--channels=all.txt"};
      shaped.insert(shaped.end(), inputs.begin(), inputs.end());
      shaped.push_back(output);
      const RunResult run = Run(shaped);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      if (output.ends_with(".gz")) {
        ASSERT_EQ(RunShell("gzip -dc < shaped.xml.gz > shaped.xml", false), 0);
      }
      EXPECT_TRUE(ReadFile(Path("shaped.xml")) == ReadFile(Path("joined.xml")))
          << output << " " << rewrite;
    }
  }
}

}  // namespace
}  // namespace lindqvar::testing
