// Faults and hostile inputs: whatever happens, the run ends with a correct
// output or a clear message and exit status 1, and an existing output file
// stays as it was with no temporary file left beside it.
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "EndToEnd.h"

namespace lindqvar::testing {
namespace {

TEST_F(EndToEnd, UnreadStandardOutputPipe) {
  // The usage text outgrows the 128-byte buffer, so its write fails at once.
  RunOptions closed;
  closed.stdoutClosedPipe = true;
  const RunResult usage = Run({}, closed);
  EXPECT_EQ(usage.status, 1);
  ExpectReport(usage.err, "EInOutError", "I/O error 32.");

  // Short messages only go out when the run ends; losing them then does not
  // undo a listing that was written in full.
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult join = Run({"a.xml", "out.xml"}, closed);
  EXPECT_EQ(join.status, 0);
  EXPECT_EQ(join.err, "");
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
}

TEST_F(EndToEnd, InputGoneOrTurnedIntoADirectoryBetweenRuns) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("b.xml"), Listing("b.se", "x=\"2\""));
  ASSERT_EQ(Run({"a.xml", "b.xml", "out.xml"}).status, 0);
  const std::string joined = ReadFile(Path("out.xml"));

  fs::remove(Path("b.xml"));
  const RunResult gone = Run({"a.xml", "b.xml", "out.xml"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.out, "File \"b.xml\" not found\r\n");

  fs::create_directory(Path("b.xml"));
  const RunResult folder = Run({"a.xml", "b.xml", "out.xml"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.out, "File \"b.xml\" not found\r\n");

  EXPECT_EQ(ReadFile(Path("out.xml")), joined);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "b.xml", "out.xml"}));
}

TEST_F(EndToEnd, InputFromAFifoFedByAnotherProcess) {
  ASSERT_EQ(::mkfifo(Path("feed.xml").c_str(), 0644), 0);
  const std::string listing = Listing("fifo.se", "start=\"20041201070500\"");
  std::thread feeder([&] {
    std::ofstream(Path("feed.xml"), std::ios::binary) << listing;  // blocks until read
  });
  const RunResult run = Run({"feed.xml", "-t", "out.xml"});
  feeder.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + ChannelOf("fifo.se") +
                                           ProgrammeOf("fifo.se", "start=\"20041201070500\"") +
                                           "</tv>");
}

TEST_F(EndToEnd, ReadOnlyOutputDirectory) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  fs::create_directory(Path("locked"));
  WriteFile(Path("locked/out.xml"), "precious");
  fs::permissions(Path("locked/out.xml"), fs::perms(0666));
  fs::permissions(Path("locked"), fs::perms(0555));
  RunOptions options;
  options.unprivileged = true;  // root would write there anyway
  const RunResult run = Run({"a.xml", "locked/out.xml"}, options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Couldn't create output file locked/out.xml\r\n");
  EXPECT_EQ(ReadFile(Path("locked/out.xml")), "precious");
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("locked")), fs::directory_iterator()), 1);
}

TEST_F(EndToEnd, TenThousandTinyInputs) {
  std::vector<std::string> args;
  std::string channels;
  std::string programmes;
  for (int i = 0; i < 10000; ++i) {
    const std::string name = "in" + std::to_string(i) + ".xml";
    const std::string channel = "<channel id=\"" + std::to_string(i) + "\"></channel>";
    const std::string programme =
        "<programme start=\"20040601" + std::string(i % 2 ? "07" : "08") + "0000\"></programme>";
    WriteFile(Path(name), "<tv>" + channel + programme + "</tv>");
    args.push_back(name);
    if (i % 3 == 0) args.push_back("-t");
    channels += channel;
    programmes += i % 3 == 0 ? std::string(programme).insert(32, " +0100") : programme;
  }
  args.push_back("out.xml");
  const RunResult run = Run(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.ends_with("xml written to \"out.xml\" sucessfully\r\n"));
  EXPECT_TRUE(ReadFile(Path("out.xml")) == kHeader + channels + programmes + "</tv>");
}

// A sparse file: it takes no disk space, yet reads as all its bytes.
void MakeSparseFile(const fs::path& path, off_t size,
                    const std::vector<std::pair<off_t, std::string>>& pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  for (const auto& [offset, bytes] : pieces) {
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  }
  ASSERT_EQ(::close(fd), 0);
}

TEST_F(EndToEnd, HundredsOfMegabytesWithoutMarkers) {
  MakeSparseFile(Path("zeros.xml"), off_t{300} << 20, {{off_t{100} << 20, "<tv><chann"}});
  const RunResult run = Run({"zeros.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + "</tv>");
}

// Positions past 2 GiB must not wrap: the programme here starts beyond them.
TEST_F(EndToEnd, InputsOfMoreThanTwoGigabytes) {
  const off_t size = (off_t{5} << 29) + 1000;  // 2.5 GiB and a bit
  const std::string channel = "<channel id=\"far\"></channel>";
  const std::string programme =
      "<programme start=\"20040601070000 +0000\" stop=\"200412010800\"></programme>";
  MakeSparseFile(Path("huge.xml"), size,
                 {{0, "<tv>" + channel}, {size - 200, programme + "</tv>"}});
  const RunResult run = Run({"huge.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + channel +
                "<programme start=\"20040601070000 +0100\" stop=\"20041201080000\"></programme>" +
                "</tv>");
}

// An input truncated by another process after it was loaded: the run stops
// with a report instead of a crash, and leaves nothing behind.
TEST_F(EndToEnd, InputTruncatedWhileTheRunGoesOn) {
  std::string programmes;
  for (int i = 0; i < 20000; ++i)
    programmes += "<programme start=\"20041201070500\"></programme>\n";
  WriteFile(Path("a.xml"), programmes);
  WriteFile(Path("out.xml"), "precious");
  ASSERT_EQ(::mkfifo(Path("b.xml").c_str(), 0644), 0);
  std::thread saboteur([&] {
    // Opening the FIFO returns once the run has loaded a.xml and waits on b.xml.
    std::ofstream feed(Path("b.xml"), std::ios::binary);
    fs::resize_file(Path("a.xml"), 0);
    feed << Listing("b.se", "x=\"1\"");
  });
  const RunResult run = Run({"a.xml", "-t", "b.xml", "out.xml"});
  saboteur.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Checking timezone for \"a.xml\"\r\n");
  ExpectReport(run.err, "EInOutError", "Input file was truncated while it was being read.");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "b.xml", "out.xml"}));
}

// A run stopped while it writes, as by timeout(1), takes its temporary
// file with it and leaves the old output as it was.
TEST_F(EndToEnd, StoppedWhileWriting) {
  const off_t size = off_t{256} << 20;  // one channel section of 256 MiB
  MakeSparseFile(Path("wide.xml"), size, {{0, "<channel>"}, {size - 10, "</channel>"}});
  WriteFile(Path("out.xml"), "precious");
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(dir_.c_str()) != 0) ::_exit(126);
    ::execl(LINDQVAR_EXE, "Lindqvar", "wide.xml", "out.xml", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool seenTemporary = false;
  for (int tries = 0; tries < 20000 && !seenTemporary; ++tries) {
    for (const std::string& name : Entries()) seenTemporary |= name.starts_with(".out.xml.");
    if (!seenTemporary) ::usleep(100);
  }
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(seenTemporary);
  if (WIFEXITED(status)) GTEST_SKIP() << "the run finished before it could be stopped";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"out.xml", "wide.xml"}));
}

}  // namespace
}  // namespace lindqvar::testing
