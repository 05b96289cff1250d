// End-to-end runs of the joiner: messages, output bytes and exit statuses.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iostream>
#include <map>

#include "EndToEnd.h"
#include "ListingGenerator.h"

namespace lindqvar::testing {
namespace {

TEST_F(EndToEnd, FewerThanTwoArgumentsPrintsUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"a.xml"}, {"--Version"}, {"-t"}}) {
    const RunResult run = Run(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
  }
  const RunResult version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  // The second line names the tzdata version the zone table was made from,
  // such as 2026f.
  const std::string first = "Lindqvar " LINDQVAR_VERSION "\r\nzone data ";
  ASSERT_TRUE(version.out.starts_with(first) && version.out.ends_with("\r\n")) << version.out;
  const std::string zoneData =
      version.out.substr(first.size(), version.out.size() - first.size() - 2);
  EXPECT_TRUE(zoneData.size() >= 5 &&
              std::all_of(zoneData.begin(), zoneData.begin() + 4, ::isdigit) &&
              std::all_of(zoneData.begin() + 4, zoneData.end(), ::islower))
      << zoneData;
}

TEST_F(EndToEnd, JoinsChannelsThenProgrammesUnderOneHeader) {
  WriteFile(Path("a.xml"), Listing("a.se", "start=\"20041201070500\""));
  WriteFile(Path("b.xml"), Listing("b.se", "start=\"20041201080000\""));
  const RunResult run = Run({"a.xml", "b.xml", "out.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "xml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + ChannelOf("a.se") + ChannelOf("b.se") +
                                           ProgrammeOf("a.se", "start=\"20041201070500\"") +
                                           ProgrammeOf("b.se", "start=\"20041201080000\"") +
                                           "</tv>");
}

// An input from which nothing is taken adds nothing and gets a warning on
// standard error as soon as it is read; the run goes on as ever.
TEST_F(EndToEnd, SingleInputAndEmptyInput) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("empty.xml"), "");
  WriteFile(Path("error.html"), "<html><body>502 Bad Gateway</body></html>");
  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";
  const RunResult run = Run({"empty.xml", "a.xml", "error.html", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(Path("out.xml")), joined);
  EXPECT_EQ(run.out,
            "Checking timezone for \"error.html\"\r\nxml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(run.err,
            "Lindqvar: warning: nothing taken from \"empty.xml\"\r\n"
            "Lindqvar: warning: nothing taken from \"error.html\"\r\n");

  // With the document on standard output, warnings keep their place among
  // the messages on standard error.
  RunOptions piped;
  piped.stdoutPipe = true;
  const RunResult toStdout = Run({"a.xml", "-t", "empty.xml", "/dev/stdout"}, piped);
  EXPECT_EQ(toStdout.status, 0);
  EXPECT_EQ(toStdout.out, joined);
  EXPECT_EQ(toStdout.err,
            "Checking timezone for \"a.xml\"\r\n"
            "Lindqvar: warning: nothing taken from \"empty.xml\"\r\n"
            "xml written to \"/dev/stdout\" sucessfully\r\n");
}

// Inputs that break the guide further down get a warning each, in the
// order they are read, among the messages; the join itself, its messages
// and its exit status stay what they are without the warnings.
TEST_F(EndToEnd, WarningsForBrokenGuides) {
  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<tv>" +
                             ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"caf\xE9\"") + "</tv>";
  const std::string twice = "<tv>" + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") +
                            ChannelOf("b.se") + ProgrammeOf("b.se", "x=\"2\"") + "</tv>";
  WriteFile(Path("latin1.xml"), latin1);
  WriteFile(Path("twice.xml"), twice);
  const RunResult run = Run({"latin1.xml", "twice.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Checking timezone for \"twice.xml\"\r\nxml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(run.err,
            "Lindqvar: warning: \"latin1.xml\" is declared ISO-8859-1, but the joined guide is "
            "read as UTF-8\r\n"
            "Lindqvar: warning: \"twice.xml\" repeats 1 channel id given before, first \"a.se\" "
            "from \"latin1.xml\"\r\n"
            "Lindqvar: warning: \"twice.xml\" has programmes among its channels; the joined guide "
            "holds them twice\r\n");
  const auto cut = [](const std::string& text, const std::string& open, const std::string& close) {
    const std::size_t first = text.find(open);
    return text.substr(first, text.rfind(close) + close.size() - first);
  };
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + cut(latin1, "<channel", "</channel>") +
                                           cut(twice, "<channel", "</channel>") +
                                           cut(latin1, "<programme", "</programme>") +
                                           cut(twice, "<programme", "</programme>") + "</tv>");
}

TEST_F(EndToEnd, TimezoneSwitchIsAnnouncedAndSteppedOver) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("b.xml"), Listing("b.se", "x=\"2\""));
  const RunResult run = Run({"a.xml", "-t", "b.xml", "out.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Checking timezone for \"a.xml\"\r\nxml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + ChannelOf("a.se") + ChannelOf("b.se") +
                                           ProgrammeOf("a.se", "x=\"1\"") +
                                           ProgrammeOf("b.se", "x=\"2\"") + "</tv>");
}

TEST_F(EndToEnd, TimesAreRewrittenOnlyForMarkedInputs) {
  const std::string summer = "start=\"20040921193000 +0000\" stop=\"20040921200000 +0000\"";
  const std::string winter = "START=\"200412010705\" pdc-start=\"20041201070000\"";
  WriteFile(Path("a.xml"), Listing("a.se", summer));
  WriteFile(Path("b.xml"), Listing("b.se", summer));
  WriteFile(Path("c.xml"), Listing("c.se", winter));
  const RunResult run = Run({"a.xml", "-t", "b.xml", "c.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Checking timezone for \"a.xml\"\r\nChecking timezone for \"c.xml\"\r\n"
            "xml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(
      ReadFile(Path("out.xml")),
      kHeader + ChannelOf("a.se") + ChannelOf("b.se") + ChannelOf("c.se") +
          ProgrammeOf("a.se", "start=\"20040921193000 +0100\" stop=\"20040921200000 +0100\"") +
          ProgrammeOf("b.se", summer) +
          ProgrammeOf("c.se", "START=\"20041201070500\" pdc-start=\"20041201070000\"") + "</tv>");
}

// -t=ZONE labels each time with the offset its zone has in force then,
// beside inputs with -t and none; a zone the program does not know stops the
// run before any input is read.
TEST_F(EndToEnd, TimesLabelledWithTheirZone) {
  const std::string times =
      "start=\"20261025013000 +0000\" stop=\"20261025023000\" pdc-start=\"202603290230\"";
  WriteFile(Path("uk.xml"), Listing("uk", times));
  WriteFile(Path("au.xml"), Listing("au", times));
  WriteFile(Path("se.xml"), Listing("se", times));
  const RunResult run = Run({"uk.xml", "-t=Europe/London", "au.xml", "-t=Australia/Sydney",
                             "se.xml", "-t", "se.xml", "uk.xml", "-t=<+0530>-5:30", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Checking timezone for \"uk.xml\"\r\nChecking timezone for \"au.xml\"\r\n"
            "Checking timezone for \"se.xml\"\r\nChecking timezone for \"uk.xml\"\r\n"
            "xml written to \"out.xml\" sucessfully\r\n");
  const std::string output = ReadFile(Path("out.xml"));
  for (const std::string& expected :
       {ProgrammeOf("uk",
                    "start=\"20261025013000 +0100\" stop=\"20261025023000 +0000\" "
                    "pdc-start=\"20260329023000 +0100\""),
        ProgrammeOf("au",
                    "start=\"20261025013000 +1100\" stop=\"20261025023000 +1100\" "
                    "pdc-start=\"20260329023000 +1100\""),
        ProgrammeOf("se",
                    "start=\"20261025013000\" stop=\"20261025023000\" "
                    "pdc-start=\"20260329023000 +0100\""),
        ProgrammeOf("se", times),
        ProgrammeOf("uk",
                    "start=\"20261025013000 +0530\" stop=\"20261025023000 +0530\" "
                    "pdc-start=\"20260329023000 +0530\"")}) {
    EXPECT_NE(output.find(expected), std::string::npos) << expected;
  }

  WriteFile(Path("out.xml"), "precious");
  for (const std::string zone : {"Mars/Olympus_Mons", "europe/london", "CET-1CEST,M3.5.0", "",
                                 "Factory", "../Europe/London"}) {
    const RunResult unknown = Run({"uk.xml", "-t=" + zone, "missing.xml", "out.xml"});
    EXPECT_EQ(unknown.status, 1) << zone;
    EXPECT_EQ(unknown.out, "") << zone;
    ExpectReport(unknown.err, "EConvertError", "'" + zone + "' is not a known time zone.");
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  }
  // Anywhere else, -t=ZONE is a name like any other.
  const RunResult first = Run({"-t=Europe/London", "uk.xml", "out.xml"});
  EXPECT_EQ(first.out, "File \"-t=Europe/London\" not found\r\n");

  // The zone folder TZDIR names comes first; where it holds no zone file
  // of that name, the program's own table answers.
  fs::create_directories(Path("zones/Mars"));
  fs::copy_file("/usr/share/zoneinfo/Asia/Kolkata", Path("zones/Mars/Olympus_Mons"));
  WriteFile(Path("zones/Europe"), "not a folder");
  ::setenv("TZDIR", Path("zones").c_str(), 1);
  const RunResult local =
      Run({"uk.xml", "-t=Mars/Olympus_Mons", "se.xml", "-t=Europe/Stockholm", "out.xml"});
  ::unsetenv("TZDIR");
  EXPECT_EQ(local.status, 0) << local.err;
  const std::string zoned = ReadFile(Path("out.xml"));
  EXPECT_NE(zoned.find("start=\"20261025013000 +0530\""), std::string::npos) << zoned;
  EXPECT_NE(zoned.find("start=\"20261025013000 +0200\""), std::string::npos) << zoned;
}

// pdc-start after stop, in the XMLTV DTD's order, and programmes without
// stop: every value is converted, each programme keeps its own times.
TEST_F(EndToEnd, PdcStartAndStoplessProgrammesAllConverted) {
  WriteFile(Path("a.xml"),
            "<tv><programme start=\"20260701110000 +0000\" stop=\"20260701120000 +0000\" "
            "pdc-start=\"20260701110000 +0000\"></programme>\n"
            "<programme start=\"20260701120000 +0000\"></programme>\n"
            "<programme start=\"20261201130000\" vps-start=\"20261201130000\"></programme>\n"
            "<programme start=\"20261201140000\" stop=\"20261201150000\"></programme></tv>");
  const RunResult run = Run({"a.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader +
                "<programme start=\"20260701110000 +0100\" stop=\"20260701120000 +0100\" "
                "pdc-start=\"20260701110000 +0100\"></programme>\n"
                "<programme start=\"20260701120000 +0100\"></programme>\n"
                "<programme start=\"20261201130000\" vps-start=\"20261201130000\"></programme>\n"
                "<programme start=\"20261201140000\" stop=\"20261201150000\"></programme></tv>");
}

// A bad time ends the run as soon as its input is read: before the output
// exists, and before any later input is looked at, even a missing one.
TEST_F(EndToEnd, UnconvertibleTimeEndsTheRunWithoutOutput) {
  WriteFile(Path("a.xml"), Listing("a.se", "start=\"200412010705 +0100\""));
  WriteFile(Path("out.xml"), "precious");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"a.xml", "-t", "out.xml"},
                                               {"a.xml", "-t", "missing.xml", "out.xml"}}) {
    const RunResult run = Run(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Checking timezone for \"a.xml\"\r\n");
    ExpectReport(run.err, "EConvertError", "' +' is not a valid integer value.");
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));
  }
}

// The README's Quick start and worked example, byte counts included.
TEST_F(EndToEnd, ExampleListingsJoin) {
  const std::string examples = LINDQVAR_EXAMPLES;
  const RunResult run = Run({examples + "/svt.xml", examples + "/dr.xml",
                             examples + "/uk-local.xml", "-t", "joined.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string joined = ReadFile(Path("joined.xml"));
  EXPECT_TRUE(joined.starts_with(kHeader + "<channel id=\"svt1.svt.se\">"));
  EXPECT_TRUE(joined.substr(0, 315).ends_with("\n  <channel id=\"svt2.svt.se\">"));
  EXPECT_TRUE(
      joined.substr(joined.size() - 323).starts_with("<programme start=\"20261208190000\""));
  EXPECT_TRUE(joined.ends_with("</programme></tv>"));
  // UK times around the October change, rewritten by the window of 2026.
  for (const std::string rewritten :
       {"start=\"20261024230000 +0100\" stop=\"20261025003000 +0100\"",
        "start=\"20261025003000 +0100\" stop=\"20261025013000\"",
        "start=\"20261025013000\" stop=\"20261025060000\"", "start=\"20261208193000\" channel"}) {
    EXPECT_NE(joined.find(rewritten), std::string::npos) << rewritten;
  }
  EXPECT_NE(joined.find("start=\"20261208180000 +0100\" stop=\"20261208183000 +0100\""),
            std::string::npos);  // the Swedish listing kept its own times
}

TEST_F(EndToEnd, SwitchAsLastArgumentLeavesNoOutputName) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult run = Run({"a.xml", "-t"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Checking timezone for \"a.xml\"\r\nCouldn't create output file \r\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.xml"});
}

TEST_F(EndToEnd, MissingInputsStopTheRunWithoutOutput) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  fs::create_directory(Path("folder"));
  WriteFile(Path("out.xml"), "precious");
  struct Case {
    std::vector<std::string> args;
    std::string missing;
  };
  const Case cases[] = {
      {{"a.xml", "missing.xml", "out.xml"}, "missing.xml"},
      {{"-t", "a.xml", "out.xml"}, "-t"},        // first argument is always an input
      {{"a.xml", "-T", "out.xml"}, "-T"},        // the switch is case-sensitive
      {{"a.xml", "-t", "-t", "out.xml"}, "-t"},  // a switch after a switch is a name
      {{"folder", "out.xml"}, "folder"},         // directories are not inputs
      {{"", "out.xml"}, ""},                     // an empty name is a name
  };
  for (const Case& c : cases) {
    const RunResult run = Run(c.args);
    EXPECT_EQ(run.status, 1) << c.missing;
    EXPECT_TRUE(run.out.ends_with("File \"" + c.missing + "\" not found\r\n")) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "folder", "out.xml"}));
}

TEST_F(EndToEnd, InputThatCannotBeOpenedIsReported) {
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = Path("sock").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_directory(Path("sub"));
  const RunResult run = Run({"./sub/../sock", "out.xml"});
  ::close(sock);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  ExpectReport(
      run.err, "EFOpenError",
      "Cannot open file \"" + fs::canonical(dir_).string() + "/sock\". No such device or address.");
  EXPECT_FALSE(fs::exists(Path("out.xml")));
}

TEST_F(EndToEnd, PipeInputJoinsLikeTheFile) {
  const std::string listing = Listing("pipe.se", "start=\"20040601070000 +0000\"");
  WriteFile(Path("a.xml"), listing);
  ASSERT_EQ(Run({"a.xml", "-t", "a.xml", "file.xml"}).status, 0);
  RunOptions options;
  options.stdinBytes = listing;
  const RunResult run = Run({"/dev/stdin", "-t", "a.xml", "pipe.xml"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string joined = ReadFile(Path("pipe.xml"));
  EXPECT_EQ(joined, ReadFile(Path("file.xml")));
  EXPECT_EQ(joined, kHeader + ChannelOf("pipe.se") + ChannelOf("pipe.se") +
                        ProgrammeOf("pipe.se", "start=\"20040601070000 +0100\"") +
                        ProgrammeOf("pipe.se", "start=\"20040601070000 +0000\"") + "</tv>");
}

// Gzip data, found by its first bytes whatever the name, is joined exactly
// as the listing it decompresses to: from a file, several members one after
// another, a pipe; with and without -t. An output name ending in .gz gives
// a gzip file of the plain join, but a descriptor named so gets it plain.
TEST_F(EndToEnd, CompressedListingsInAndOut) {
  if (RunShell("gzip --version > /dev/null", false) != 0) GTEST_SKIP() << "gzip is not installed";
  const std::string examples = LINDQVAR_EXAMPLES;
  std::vector<std::string> names;
  for (const char* name : {"svt.xml", "dr.xml", "uk-local.xml"}) {
    fs::copy_file(examples + "/" + name, Path(name));
    names.push_back(name);
  }
  std::string generated;
  GenerateListing(3 << 20, 5, [&](std::string_view piece) { generated.append(piece); });
  WriteFile(Path("generated.xml"), generated);
  names.push_back("generated.xml");
  for (const std::string& name : names) {
    // The name says nothing: the compressed copy of generated.xml is
    // called generated.xml too, in a folder of its own.
    const std::string packed = name == "generated.xml" ? "packed/generated.xml" : name + ".gz";
    fs::create_directories(Path("packed"));
    ASSERT_EQ(RunShell("gzip -c " + name + " > " + packed, false), 0);
  }
  for (const bool rewrite : {false, true}) {
    std::vector<std::string> plain;
    std::vector<std::string> packed;
    for (const std::string& name : names) {
      plain.push_back(name);
      packed.push_back(name == "generated.xml" ? "packed/generated.xml" : name + ".gz");
      if (rewrite) plain.push_back("-t"), packed.push_back("-t");
    }
    plain.push_back("plain.xml");
    packed.push_back("packed.xml");
    const RunResult expected = Run(plain);
    ASSERT_EQ(expected.status, 0) << expected.err;
    const RunResult run = Run(packed);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(Path("packed.xml")) == ReadFile(Path("plain.xml"))) << rewrite;
  }

  // Members one after another, as zcat reads them, and a pipe.
  ASSERT_EQ(RunShell("cat svt.xml.gz dr.xml.gz > two.gz && cat svt.xml dr.xml > two.xml", false),
            0);
  // Without -t, the programmes of each go straight to their place, the
  // pipe's from the spool; an input without any goes by.
  WriteFile(Path("empty.xml"), "");
  RunOptions piped;
  piped.stdinBytes = ReadFile(Path("packed/generated.xml"));
  for (const bool rewrite : {false, true}) {
    const std::vector<std::string> plain =
        rewrite ? std::vector<std::string>{"two.xml", "generated.xml", "-t", "plain.xml"}
                : std::vector<std::string>{"two.xml", "empty.xml", "generated.xml", "plain.xml"};
    ASSERT_EQ(Run(plain).status, 0);
    const std::vector<std::string> packed =
        rewrite ? std::vector<std::string>{"two.gz", "/dev/stdin", "-t", "packed.xml"}
                : std::vector<std::string>{"two.gz", "empty.xml", "/dev/stdin", "packed.xml"};
    const RunResult fromPipe = Run(packed, piped);
    EXPECT_EQ(fromPipe.status, 0) << fromPipe.err;
    EXPECT_TRUE(ReadFile(Path("packed.xml")) == ReadFile(Path("plain.xml"))) << rewrite;
  }

  // A .gz output, in any letter case.
  const RunResult gz = Run({"two.gz", "generated.xml", "-t", "guide.xml.Gz"});
  EXPECT_EQ(gz.status, 0);
  EXPECT_EQ(gz.out,
            "Checking timezone for \"generated.xml\"\r\n"
            "xml written to \"guide.xml.Gz\" sucessfully\r\n");
  ASSERT_EQ(RunShell("gzip -dc < guide.xml.Gz > unpacked.xml", false), 0);
  EXPECT_TRUE(ReadFile(Path("unpacked.xml")) == ReadFile(Path("plain.xml")));
  fs::create_symlink("/dev/stdout", Path("stdout.gz"));
  RunOptions toPipe;
  toPipe.stdoutPipe = true;
  const RunResult descriptor = Run({"two.gz", "generated.xml", "-t", "stdout.gz"}, toPipe);
  EXPECT_EQ(descriptor.status, 0);
  EXPECT_TRUE(descriptor.out == ReadFile(Path("plain.xml")));
}

TEST_F(EndToEnd, OutputMayReplaceAnInput) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult run = Run({"a.xml", "a.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(Path("a.xml")),
            kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
}

TEST_F(EndToEnd, OutputThatCannotBeCreatedIsReportedAsFailure) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  fs::create_directory(Path("folder"));
  for (const std::string name : {"nowhere/out.xml", "folder", "folder/", ""}) {
    const RunResult run = Run({"a.xml", name});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_EQ(run.out, "Couldn't create output file " + name + "\r\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "folder"}));
  EXPECT_TRUE(fs::is_empty(Path("folder")));
}

TEST_F(EndToEnd, FailedWriteLeavesExistingOutputUntouched) {
  std::string big;
  for (int i = 0; i < 200; ++i) big += "<programme start=\"20041201070500\"></programme>\n";
  WriteFile(Path("a.xml"), big);
  WriteFile(Path("out.xml"), "precious");
  fs::permissions(Path("out.xml"), fs::perms(0640));
  ASSERT_EQ(RunShell("gzip -c a.xml > a.gz", false), 0);
  RunOptions options;
  options.fileSizeLimit = 4096;
  // Gzip inputs have their programmes written at their places, two at a time.
  for (const auto& inputs : {std::vector<std::string>{"a.xml", "out.xml"},
                             std::vector<std::string>{"a.gz", "a.gz", "out.xml"}}) {
    const RunResult run = Run(inputs, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Couldn't create output file out.xml\r\n");
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
    EXPECT_EQ(fs::status(Path("out.xml")).permissions(), fs::perms(0640));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"a.gz", "a.xml", "out.xml"}));
  }
}

TEST_F(EndToEnd, ReplacedOutputKeepsPermissionsAndLinks) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";

  EXPECT_EQ(Run({"a.xml", "new.xml"}).status, 0);
  EXPECT_EQ(fs::status(Path("new.xml")).permissions(), fs::perms(0644));  // 0666 less umask

  WriteFile(Path("old.xml"), "old");
  fs::permissions(Path("old.xml"), fs::perms(0604));
  EXPECT_EQ(Run({"a.xml", "old.xml"}).status, 0);
  EXPECT_EQ(ReadFile(Path("old.xml")), joined);
  EXPECT_EQ(fs::status(Path("old.xml")).permissions(), fs::perms(0604));

  fs::create_directory(Path("real"));
  WriteFile(Path("real/target.xml"), "old");
  fs::create_symlink("real/target.xml", Path("link.xml"));
  fs::create_symlink("real/later.xml", Path("dangling.xml"));
  EXPECT_EQ(Run({"a.xml", "link.xml"}).status, 0);
  EXPECT_EQ(Run({"a.xml", "dangling.xml"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(Path("link.xml")));
  EXPECT_TRUE(fs::is_symlink(Path("dangling.xml")));
  EXPECT_EQ(ReadFile(Path("real/target.xml")), joined);
  EXPECT_EQ(ReadFile(Path("real/later.xml")), joined);
}

RunOptions FullStdout() {
  RunOptions options;
  options.stdoutPath = "/dev/full";
  return options;
}

// A message that cannot be written fails the run while no output is made;
// once the output is in place, losing one changes nothing.
TEST_F(EndToEnd, UnwritableStandardOutputIsReported) {
  const RunResult usage = Run({}, FullStdout());
  EXPECT_EQ(usage.status, 1);
  ExpectReport(usage.err, "EInOutError", "Disk full.");

  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("out.xml"), "precious");
  const RunResult join = Run({"a.xml", "-t", "out.xml"}, FullStdout());
  EXPECT_EQ(join.status, 1);
  ExpectReport(join.err, "EInOutError", "Disk full.");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));

  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";
  const RunResult made = Run({"a.xml", "out.xml"}, FullStdout());
  EXPECT_EQ(made.status, 0);
  EXPECT_EQ(made.err, "");
  EXPECT_EQ(ReadFile(Path("out.xml")), joined);

  RunOptions closed;
  closed.stdoutClosedPipe = true;
  const std::string longName = std::string(200, 'g') + ".xml";  // its message fills the buffer
  const RunResult piped = Run({"a.xml", longName}, closed);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(ReadFile(Path(longName)), joined);
}

// An output name that leads to a descriptor already open, however it is
// spelled, is written through it: ">>" appends, a pipe gets the bytes, and
// the messages keep off the streams that carry the document.
TEST_F(EndToEnd, OutputThroughAnOpenDescriptor) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";
  RunOptions append;
  append.stdoutPath = Path("run.log").string();
  append.stdoutAppend = true;
  RunOptions piped;
  piped.stdoutPipe = true;
  for (const std::string name :
       {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "/dev//stdout", "/dev/./stdout",
        "//dev/stdout", "/dev/fd//1", "/proc/thread-self/fd/1", "/proc/self/fd/../fd/1"}) {
    WriteFile(Path("run.log"), "yesterday's lines\n");
    struct stat before;
    ASSERT_EQ(::stat(Path("run.log").c_str(), &before), 0);
    const RunResult run = Run({"a.xml", "-t", name}, append);
    struct stat after;
    ASSERT_EQ(::stat(Path("run.log").c_str(), &after), 0);
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(after.st_ino, before.st_ino) << name;
    EXPECT_EQ(ReadFile(Path("run.log")), "yesterday's lines\n" + joined) << name;
    EXPECT_EQ(run.err,
              "Checking timezone for \"a.xml\"\r\nxml written to \"" + name + "\" sucessfully\r\n");

    const RunResult toPipe = Run({"a.xml", "-t", name}, piped);
    EXPECT_EQ(toPipe.status, 0) << name;
    EXPECT_EQ(toPipe.out, joined) << name;
  }

  // Descriptor 3 is standard output: the messages go to standard error.
  RunOptions third = piped;
  third.thirdToOutput = true;
  const RunResult viaThird = Run({"a.xml", "-t", "/dev/fd/3"}, third);
  EXPECT_EQ(viaThird.status, 0);
  EXPECT_EQ(viaThird.out, joined);
  EXPECT_EQ(viaThird.err,
            "Checking timezone for \"a.xml\"\r\nxml written to \"/dev/fd/3\" sucessfully\r\n");

  // Both streams are the document: nothing but the document comes out,
  // not even a warning.
  RunOptions both = piped;
  both.errorToOutput = true;
  WriteFile(Path("empty.xml"), "");
  const RunResult viaBoth = Run({"a.xml", "-t", "empty.xml", "/dev/stderr"}, both);
  EXPECT_EQ(viaBoth.status, 0);
  EXPECT_EQ(viaBoth.out, joined);

  const RunResult toErr = Run({"a.xml", "/dev/stderr"});
  EXPECT_EQ(toErr.status, 0);
  EXPECT_EQ(toErr.err, joined);
  EXPECT_EQ(toErr.out, "xml written to \"/dev/stderr\" sucessfully\r\n");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "empty.xml", "run.log"}));
}

// Every file and link below folder, by relative path: a file by its bytes,
// a link by where it points.
// Links are not followed: some here are ones the kernel refuses to follow.
std::map<std::string, std::string> Snapshot(const fs::path& folder,
                                            const std::string& prefix = "") {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = prefix + entry.path().filename().string();
    const fs::file_type type = fs::symlink_status(entry.path()).type();
    if (type == fs::file_type::symlink) {
      entries[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (type == fs::file_type::directory) {
      entries.merge(Snapshot(entry.path(), name + "/"));
    } else {
      entries[name] = ReadFile(entry.path());
    }
  }
  return entries;
}

// The output is opened as the shell's ">" opens it. In each situation the
// run makes its output where ": > NAME" writes, and is refused, leaving
// every file as it was, where the shell is refused: the kernel decides
// both, with its link and file protections on where they can be set. Run
// as root and as nobody.
TEST_F(EndToEnd, OutputOpenedAsTheShellOpensIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "the situations need files of another user: run as root";
  const Protections protections;
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";
  const auto ownedByNobody = [](const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
  };
  struct Situation {
    const char* name;
    const char* output;
    std::function<void(const fs::path&)> make;
  };
  const Situation situations[] = {
      {"LinkPlantedInStickyFolder", "shared/guide.xml",
       [&](const fs::path& at) {
         fs::create_symlink("../victim.xml", at / "shared/guide.xml");
         ownedByNobody(at / "shared/guide.xml");
       }},
      {"DanglingLinkPlantedInStickyFolder", "shared/new.xml",
       [&](const fs::path& at) {
         fs::create_symlink("../planted.xml", at / "shared/new.xml");
         ownedByNobody(at / "shared/new.xml");
       }},
      {"FilePlantedInStickyFolder", "shared/guide.xml",
       [&](const fs::path& at) {
         WriteFile(at / "shared/guide.xml", "planted");
         fs::permissions(at / "shared/guide.xml", fs::perms(0666));
         ownedByNobody(at / "shared/guide.xml");
       }},
      {"ReadOnlyFile", "open/guide.xml",
       [&](const fs::path& at) {
         WriteFile(at / "open/guide.xml", "old");
         fs::permissions(at / "open/guide.xml", fs::perms(0444));
         ownedByNobody(at / "open/guide.xml");
       }},
      {"AnotherUsersFile", "open/guide.xml",
       [](const fs::path& at) { WriteFile(at / "open/guide.xml", "root's"); }},
      {"LinkLoop", "open/loop.xml",
       [](const fs::path& at) { fs::create_symlink("loop.xml", at / "open/loop.xml"); }},
      {"LinkToAFolder", "open/up.xml",
       [](const fs::path& at) { fs::create_symlink("..", at / "open/up.xml"); }},
      {"NewFile", "open/new.xml", [](const fs::path&) {}},
      {"LinkToANewFile", "open/link.xml",
       [](const fs::path& at) { fs::create_symlink("later.xml", at / "open/link.xml"); }},
      {"LinkThroughLinks", "open/first.xml",
       [](const fs::path& at) {
         fs::create_symlink("../shared/second.xml", at / "open/first.xml");
         fs::create_symlink("../victim.xml", at / "shared/second.xml");
       }},
  };
  const auto make = [&](const fs::path& at, const Situation& situation) {
    fs::create_directories(at / "shared");
    fs::create_directories(at / "open");
    fs::permissions(at / "shared", fs::perms(01777));
    fs::permissions(at / "open", fs::perms(0777));
    WriteFile(at / "victim.xml", "precious");
    situation.make(at);
  };
  const bool asNobody = WhyNobodyCannotRun().empty();
  for (const bool unprivileged : {false, true}) {
    if (unprivileged && !asNobody) {
      std::cout << "not run as nobody: " << WhyNobodyCannotRun() << "\n";
      continue;
    }
    for (const Situation& situation : situations) {
      const std::string what = std::string(situation.name) + (unprivileged ? " as nobody" : "");
      fs::remove_all(Path("shell"));
      fs::remove_all(Path("run"));
      make(Path("shell"), situation);
      make(Path("run"), situation);
      const auto shellBefore = Snapshot(Path("shell"));
      const bool shellWrites =
          RunShell(": > shell/" + std::string(situation.output), unprivileged) == 0;
      auto expected = Snapshot(Path("run"));
      // What the shell emptied or made is the file that gets the guide.
      for (const auto& [name, bytes] : Snapshot(Path("shell"))) {
        const auto before = shellBefore.find(name);
        if (bytes.empty() && (before == shellBefore.end() || !before->second.empty())) {
          expected[name] = joined;
        }
      }
      RunOptions options;
      options.unprivileged = unprivileged;
      const RunResult run = Run({"a.xml", "run/" + std::string(situation.output)}, options);
      EXPECT_EQ(run.status, shellWrites ? 0 : 1) << what << ": " << run.out;
      EXPECT_EQ(Snapshot(Path("run")), expected) << what;
    }
  }
}

// Another user plants a link where root's run writes its output in a sticky
// world-writable folder, and takes it away again, over and over: the file
// the link points to is never touched.
TEST_F(EndToEnd, LinkPlantedWhileTheOutputIsOpened) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting a link as another user needs root";
  if (const std::string why = WhyNobodyCannotRun(); !why.empty()) GTEST_SKIP() << why;
  const Protections protections;
  if (!protections.symlinksOn) GTEST_SKIP() << "cannot set fs.protected_symlinks to 1 here";
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("victim.xml"), "precious");
  fs::create_directory(Path("shared"));
  fs::permissions(Path("shared"), fs::perms(01777));
  const std::string link = Path("shared/guide.xml").string();
  const std::string victim = Path("victim.xml").string();
  const pid_t planter = ::fork();
  if (planter == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(125);
    for (;;) {
      ::symlink(victim.c_str(), link.c_str());
      ::unlink(link.c_str());
    }
  }
  int made = 0;
  for (int round = 0; round < 1500; ++round) {
    ::unlink(link.c_str());
    const RunResult run = Run({"a.xml", "shared/guide.xml"});
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
    made += run.status == 0;
  }
  ::kill(planter, SIGKILL);
  ::waitpid(planter, nullptr, 0);
  EXPECT_EQ(ReadFile(Path("victim.xml")), "precious");
  EXPECT_GT(made, 0);
}

// Permission bits are set after the last write, which would clear setuid
// and setgid bits for anyone but root.
TEST_F(EndToEnd, ReplacedOutputKeepsSetuidBits) {
  if (const std::string why = WhyNobodyCannotRun(); !why.empty()) GTEST_SKIP() << why;
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  fs::create_directory(Path("mine"));
  WriteFile(Path("mine/tool.xml"), "old");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(Path("mine").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(Path("mine/tool.xml").c_str(), 65534, 65534), 0);
  }
  fs::permissions(Path("mine/tool.xml"), fs::perms(06755));
  RunOptions options;
  options.unprivileged = true;
  const RunResult run = Run({"a.xml", "mine/tool.xml"}, options);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(fs::status(Path("mine/tool.xml")).permissions(), fs::perms(06755));
}

TEST_F(EndToEnd, OutputCanGoToADevice) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult run = Run({"a.xml", "/dev/null"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "xml written to \"/dev/null\" sucessfully\r\n");
}

}  // namespace
}  // namespace lindqvar::testing
