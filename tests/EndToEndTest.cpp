// End-to-end runs of the joiner: messages, output bytes and exit statuses.
#include <sys/socket.h>
#include <sys/un.h>

#include "EndToEnd.h"

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
  EXPECT_EQ(version.out, "Lindqvar " LINDQVAR_VERSION "\r\n");
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
  RunOptions options;
  options.fileSizeLimit = 4096;
  const RunResult run = Run({"a.xml", "out.xml"}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Couldn't create output file out.xml\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(fs::status(Path("out.xml")).permissions(), fs::perms(0640));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));
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

// An output named for a descriptor already open is written through it: ">>"
// appends, a pipe gets the bytes, and the messages move to standard error
// so that standard output carries the document alone.
TEST_F(EndToEnd, OutputThroughAnOpenDescriptor) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string joined = kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>";
  RunOptions append;
  append.stdoutPath = Path("run.log").string();
  append.stdoutAppend = true;
  for (const std::string name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    WriteFile(Path("run.log"), "yesterday's lines\n");
    const RunResult run = Run({"a.xml", "-t", name}, append);
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(ReadFile(Path("run.log")), "yesterday's lines\n" + joined) << name;
    EXPECT_EQ(run.err,
              "Checking timezone for \"a.xml\"\r\nxml written to \"" + name + "\" sucessfully\r\n");
  }

  RunOptions piped;
  piped.stdoutPipe = true;
  const RunResult run = Run({"a.xml", "-t", "/dev/stdout"}, piped);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, joined);

  const RunResult toErr = Run({"a.xml", "/dev/stderr"});
  EXPECT_EQ(toErr.status, 0);
  EXPECT_EQ(toErr.err, joined);
  EXPECT_EQ(toErr.out, "xml written to \"/dev/stderr\" sucessfully\r\n");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "run.log"}));
}

// Links are followed only where the system itself would follow them for
// writing: not round a loop, nor, under fs.protected_symlinks, a link
// another user planted in a sticky world-writable folder such as /tmp.
TEST_F(EndToEnd, OutputLinksTheSystemWouldNotFollow) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  fs::create_symlink("loop.xml", Path("loop.xml"));
  const RunResult loop = Run({"a.xml", "loop.xml"});
  EXPECT_EQ(loop.status, 1);
  EXPECT_EQ(loop.out, "Couldn't create output file loop.xml\r\n");
  EXPECT_TRUE(fs::is_symlink(Path("loop.xml")));

  if (::geteuid() != 0) GTEST_SKIP() << "planting a link owned by another user needs root";
  const ProtectedSymlinks protection;
  if (!protection.on) GTEST_SKIP() << "cannot set fs.protected_symlinks to 1 here";
  fs::create_directory(Path("shared"));
  fs::permissions(Path("shared"), fs::perms(01777));
  WriteFile(Path("victim.xml"), "precious");
  fs::create_symlink(Path("victim.xml"), Path("shared/guide.xml"));
  fs::create_symlink(Path("planted.xml"), Path("shared/new.xml"));
  for (const char* link : {"shared/guide.xml", "shared/new.xml"}) {
    ASSERT_EQ(::lchown(Path(link).c_str(), 65534, 65534), 0);
    const RunResult run = Run({"a.xml", link});
    EXPECT_EQ(run.status, 1) << link;
    EXPECT_EQ(run.out, "Couldn't create output file " + std::string(link) + "\r\n");
  }
  EXPECT_EQ(ReadFile(Path("victim.xml")), "precious");
  EXPECT_FALSE(fs::exists(Path("planted.xml")));
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
