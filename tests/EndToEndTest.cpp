// Runs the built Lindqvar executable in a temporary directory and checks the
// bytes it writes: output file, standard output, standard error, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kHeader =
    "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
    "generator-info-name=\"Lindqvar\" generator-info-url=\"https://lindqvar.org/\">";

const std::string kUsage =
    "Usage: Lindqvar XML1.xml [-t] XML2.xml [-t] ... Out.xml\r\n"
    "       Append the -t switch after a filename to add timzone information to the\r\n"
    "       times in the xml\r\n";

struct RunOptions {
  std::string stdoutPath;  // default: a capture file
  std::string stdinBytes;  // fed through a pipe
  rlim_t fileSizeLimit = RLIM_INFINITY;
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A small listing with both sections, laid out the way grabbers write them.
std::string Listing(const std::string& channelId, const std::string& programmeAttributes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
         "<tv source-info-name=\"grabber\">\n"
         "  <channel id=\"" +
         channelId + "\">\n    <display-name>" + channelId +
         "</display-name>\n  </channel>\n"
         "  <programme " +
         programmeAttributes + " channel=\"" + channelId +
         "\">\n    <title>Nyheter</title>\n  </programme>\n</tv>\n";
}

std::string ChannelOf(const std::string& channelId) {
  return "<channel id=\"" + channelId + "\">\n    <display-name>" + channelId +
         "</display-name>\n  </channel>";
}

std::string ProgrammeOf(const std::string& channelId, const std::string& programmeAttributes) {
  return "<programme " + programmeAttributes + " channel=\"" + channelId +
         "\">\n    <title>Nyheter</title>\n  </programme>";
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lindqvar-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(dir_, ignored);
  }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    const fs::path outPath =
        options.stdoutPath.empty() ? dir_ / ".stdout" : fs::path(options.stdoutPath);
    const fs::path errPath = dir_ / ".stderr";
    int feed[2];
    if (::pipe(feed) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(feed[1]);
      ::dup2(feed[0], STDIN_FILENO);
      const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      ::umask(022);
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>("Lindqvar")};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(LINDQVAR_EXE, argv.data());
      ::_exit(127);
    }
    ::close(feed[0]);
    if (!options.stdinBytes.empty()) {
      [[maybe_unused]] const ssize_t ignored =
          ::write(feed[1], options.stdinBytes.data(), options.stdinBytes.size());
    }
    ::close(feed[1]);
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.stdoutPath.empty()) result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
  }

  // Files in the directory besides the capture files: catches temporaries
  // left behind by a failed run.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// The failure report's first line, with the code offset left open.
void ExpectReport(const std::string& err, const std::string& kind, const std::string& message) {
  static const std::regex shape(
      "Exception ([A-Za-z]+) in module Lindqvar at ([0-9A-F]{8})\\.\r\n([^]*)\r\n\r\n");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(err, parts, shape)) << err;
  EXPECT_EQ(parts[1], kind);
  EXPECT_NE(parts[2], "00000000");
  EXPECT_EQ(parts[3], message);
}

TEST_F(EndToEnd, FewerThanTwoArgumentsPrintsUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.xml"}}) {
    const RunResult run = Run(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
  }
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

TEST_F(EndToEnd, SingleInputAndEmptyInput) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("empty.xml"), "");
  const RunResult run = Run({"empty.xml", "a.xml", "empty.xml", "out.xml"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
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

TEST_F(EndToEnd, UnconvertibleTimeEndsTheRunWithoutOutput) {
  WriteFile(Path("a.xml"), Listing("a.se", "start=\"200412010705 +0100\""));
  WriteFile(Path("out.xml"), "precious");
  const RunResult run = Run({"a.xml", "-t", "out.xml"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Checking timezone for \"a.xml\"\r\n");
  ExpectReport(run.err, "EConvertError", "' +' is not a valid integer value.");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));
}

TEST_F(EndToEnd, ExampleListingsJoin) {
  const std::string examples = LINDQVAR_EXAMPLES;
  const RunResult run = Run({examples + "/svt.xml", examples + "/uk-local.xml", "-t",
                             examples + "/dr.xml", "joined.xml"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string joined = ReadFile(Path("joined.xml"));
  EXPECT_TRUE(joined.starts_with(kHeader + "<channel id=\"svt1.svt.se\">"));
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

TEST_F(EndToEnd, InputsCanBePipes) {
  const std::string listing = Listing("pipe.se", "x=\"1\"");
  RunOptions options;
  options.stdinBytes = listing;
  const RunResult run = Run({"/dev/stdin", "out.xml"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + ChannelOf("pipe.se") + ProgrammeOf("pipe.se", "x=\"1\"") + "</tv>");
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

TEST_F(EndToEnd, UnwritableStandardOutputIsReported) {
  const RunResult usage = Run({}, FullStdout());
  EXPECT_EQ(usage.status, 1);
  ExpectReport(usage.err, "EInOutError", "Disk full.");

  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult join = Run({"a.xml", "-t", "out.xml"}, FullStdout());
  EXPECT_EQ(join.status, 1);
  ExpectReport(join.err, "EInOutError", "Disk full.");
  EXPECT_FALSE(fs::exists(Path("out.xml")));
}

TEST_F(EndToEnd, OutputCanGoToADevice) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult run = Run({"a.xml", "/dev/null"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "xml written to \"/dev/null\" sucessfully\r\n");
}

}  // namespace
