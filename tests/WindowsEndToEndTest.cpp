// End-to-end runs of Lindqvar.exe on Windows (under Wine here): the home
// platform's own rules for the command line, the existence test, sharing,
// full paths, the failure report, and a run ended from outside.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Console.h"

namespace lindqvar {
namespace {

namespace fs = std::filesystem;

const std::string kHeader =
    "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
    "generator-info-name=\"Lindqvar\" generator-info-url=\"https://lindqvar.org/\">";

// A path given at build time, which under Wine may be a Unix one: drive Z:
// is the Unix root there.
std::string WindowsPath(std::string path) {
  if (path.starts_with("/")) path = "Z:" + path;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Listing(const std::string& id, const std::string& attributes) {
  return "<tv>\r\n<channel id=\"" + id + "\"></channel>\r\n<programme " + attributes +
         " channel=\"" + id + "\"></programme>\r\n</tv>\r\n";
}

// The system's text for err, trimmed as the program trims it.
std::string SystemText(DWORD err) {
  char text[512] = "";
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0,
                   text, sizeof text, nullptr);
  std::string message = text;
  while (!message.empty() &&
         (static_cast<unsigned char>(message.back()) <= ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

struct RunResult {
  DWORD status = 0;
  std::string out;
  std::string err;
};

class WindowsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ::GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "lindqvar-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(::GetTickCount64());
    ASSERT_TRUE(::CreateDirectoryA(dir_.c_str(), nullptr));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }

  // Starts Lindqvar.exe with arguments, the command line after the
  // program's name exactly as given, in the test's folder.
  PROCESS_INFORMATION Start(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto capture = [&](const char* name) {
      return ::CreateFileA(Path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = capture(".stdout");
    startup.hStdError = capture(".stderr");
    const std::string exe = WindowsPath(LINDQVAR_EXE);
    std::string line = "\"" + exe + "\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started =
        ::CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                         nullptr, dir_.c_str(), &startup, &process);
    ::CloseHandle(startup.hStdInput);
    ::CloseHandle(startup.hStdOutput);
    ::CloseHandle(startup.hStdError);
    EXPECT_TRUE(started) << ::GetLastError();
    return process;
  }

  RunResult Finish(const PROCESS_INFORMATION& process) {
    RunResult result;
    ::WaitForSingleObject(process.hProcess, 120000);
    ::GetExitCodeProcess(process.hProcess, &result.status);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    result.out = ReadFile(Path(".stdout"));
    result.err = ReadFile(Path(".stderr"));
    return result;
  }

  RunResult Run(const std::string& arguments) { return Finish(Start(arguments)); }

  // Files in the folder besides the captures: catches temporary outputs.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

// The report's first line names Lindqvar.exe and an offset in eight or more
// hexadecimal digits; the rest is the message.
void ExpectReport(const std::string& err, const std::string& kind, const std::string& message) {
  const std::string head = "Exception " + kind + " in module Lindqvar.exe at ";
  ASSERT_TRUE(err.starts_with(head)) << err;
  const std::string offset = err.substr(head.size(), 8);
  EXPECT_EQ(offset.find_first_not_of("0123456789ABCDEF"), std::string::npos) << err;
  EXPECT_NE(offset, "00000000");
  EXPECT_EQ(err.substr(head.size() + 8), ".\r\n" + message + "\r\n\r\n");
}

TEST_F(WindowsEndToEnd, JoinsTheExamples) {
  const std::string examples = WindowsPath(LINDQVAR_EXAMPLES);
  const RunResult run = Run("\"" + examples + "\\svt.xml\" \"" + examples + "\\dr.xml\" \"" +
                            examples + "\\uk-local.xml\" -t joined.xml");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out, "Checking timezone for \"" + examples +
                         "\\uk-local.xml\"\r\nxml written to \"joined.xml\" sucessfully\r\n");
  const std::string joined = ReadFile(Path("joined.xml"));
  EXPECT_TRUE(joined.starts_with(kHeader + "<channel id=\"svt1.svt.se\">"));
  EXPECT_NE(joined.find("start=\"20261025003000 +0100\" stop=\"20261025013000\""),
            std::string::npos);
  EXPECT_EQ(Entries(), std::vector<std::string>{"joined.xml"});
}

// The arguments come from GetCommandLineA, split by the runtime's rule, not
// by the C library's: an empty pair of quotes is no argument at all.
TEST_F(WindowsEndToEnd, CommandLineSplitByTheRuntimesRule) {
  WriteFile(Path("a b.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("ab.xml"), Listing("ab.se", "x=\"2\""));
  const RunResult run = Run("\"\" \"a b.xml\" \"\" a\"\"b.xml -t \"out put.xml\"");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out,
            "Checking timezone for \"ab.xml\"\r\nxml written to \"out put.xml\" sucessfully\r\n");
  EXPECT_EQ(ReadFile(Path("out put.xml")),
            kHeader + "<channel id=\"a.se\"></channel><channel id=\"ab.se\"></channel>" +
                "<programme x=\"1\" channel=\"a.se\"></programme>" +
                "<programme x=\"2\" channel=\"ab.se\"></programme></tv>");

  // A lone double quote opens an argument that runs to the end of the line.
  const RunResult quoted = Run("\"a b.xml\" \"out.xml");
  EXPECT_EQ(quoted.status, 0u);
  EXPECT_EQ(quoted.out, "xml written to \"out.xml\" sucessfully\r\n");
}

// An input exists when a directory search finds a file first whose
// last-write time has a DOS date: a file last written in 1975 has none.
TEST_F(WindowsEndToEnd, ExistenceByDirectorySearch) {
  WriteFile(Path("old.xml"), Listing("old.se", "x=\"1\""));
  const HANDLE old = ::CreateFileA(Path("old.xml").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  SYSTEMTIME then{1975, 6, 0, 1, 12, 0, 0, 0};
  FILETIME written;
  ::SystemTimeToFileTime(&then, &written);
  ASSERT_TRUE(::SetFileTime(old, nullptr, nullptr, &written));
  ::CloseHandle(old);
  ::CreateDirectoryA(Path("folder.xml").c_str(), nullptr);
  for (const std::string name : {"old.xml", "folder.xml", "missing.xml"}) {
    const RunResult run = Run(name + " out.xml");
    EXPECT_EQ(run.status, 1u) << name;
    EXPECT_EQ(run.out, "File \"" + name + "\" not found\r\n");
  }

  // A wildcard finds a file, so the name passes, and then cannot be opened.
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult wildcard = Run("*.xml out.xml");
  EXPECT_EQ(wildcard.status, 1u);
  ExpectReport(
      wildcard.err, "EFOpenError",
      "Cannot open file \"" + Path("*.xml") + "\". " + SystemText(ERROR_INVALID_NAME) + ".");
  EXPECT_FALSE(fs::exists(Path("out.xml")));
}

// Inputs are opened with no sharing: a file another program holds cannot be
// read. The run's own second look at a file shares its handle, and the
// output may still replace an input.
TEST_F(WindowsEndToEnd, InputsOpenedWithNoSharing) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string joined = kHeader + "<channel id=\"a.se\"></channel>" +
                             "<channel id=\"a.se\"></channel>" +
                             "<programme x=\"1\" channel=\"a.se\"></programme>" +
                             "<programme x=\"1\" channel=\"a.se\"></programme></tv>";
  const RunResult twice = Run("a.xml a.xml a.xml");
  EXPECT_EQ(twice.status, 0u) << twice.err;
  EXPECT_EQ(ReadFile(Path("a.xml")), joined);

  const HANDLE held =
      ::CreateFileA(Path("a.xml").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const RunResult run = Run("a.xml out.xml");
  ::CloseHandle(held);
  EXPECT_EQ(run.status, 1u);
  ExpectReport(
      run.err, "EFOpenError",
      "Cannot open file \"" + Path("a.xml") + "\". " + SystemText(ERROR_SHARING_VIOLATION) + ".");
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.xml"});
}

// A path the system's wide-character calls take at any length, for the
// test's own set-up (the paths here are plain ASCII).
std::wstring LongPath(const std::string& path) {
  return L"\\\\?\\" + std::wstring(path.begin(), path.end());
}

std::string ReadLongFile(const std::string& path) {
  const HANDLE file = ::CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  std::string bytes(1 << 16, '\0');
  DWORD got = 0;
  ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  ::CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

// Full paths of any length: inputs deep in a tree are read, the output is
// written there, and the open-error message shows the whole path.
TEST_F(WindowsEndToEnd, PathsLongerThanMaxPath) {
  std::string deep = dir_;
  while (deep.size() < 300) {
    deep += "\\" + std::string(40, 'd');
    ASSERT_TRUE(::CreateDirectoryW(LongPath(deep).c_str(), nullptr)) << deep;
  }
  const std::string input = deep + "\\a.xml";
  {
    const HANDLE file =
        ::CreateFileW(LongPath(input).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const std::string listing = Listing("deep.se", "x=\"1\"");
    DWORD written = 0;
    ::WriteFile(file, listing.data(), static_cast<DWORD>(listing.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  const RunResult run = Run("\"" + input + "\" \"" + deep + "\\out.xml\"");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(ReadLongFile(deep + "\\out.xml"),
            kHeader + "<channel id=\"deep.se\"></channel>" +
                "<programme x=\"1\" channel=\"deep.se\"></programme></tv>");

  const HANDLE held =
      ::CreateFileW(LongPath(input).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const RunResult refused = Run("\"" + input + "\" out.xml");
  ::CloseHandle(held);
  EXPECT_EQ(refused.status, 1u);
  ExpectReport(refused.err, "EFOpenError",
               "Cannot open file \"" + input + "\". " + SystemText(ERROR_SHARING_VIOLATION) + ".");
  std::error_code ignored;
  fs::remove_all(LongPath(dir_ + "\\" + std::string(40, 'd')), ignored);
}

// The failure report, and the report alone, is converted from the ANSI to
// the OEM character set: the messages keep the name's bytes as given.
TEST_F(WindowsEndToEnd, ReportInTheOemCharacterSet) {
  char oem[2] = "\xE9";
  ::CharToOemBuffA(oem, oem, 1);
  if (oem[0] == '\xE9') GTEST_SKIP() << "the ANSI and OEM code pages agree on byte E9 here";
  const std::string name = "caf\xE9.xml";
  WriteFile(Path(name), Listing("a.se", "start=\"200412010705\""));
  const RunResult run = Run(name + " -t out.xml");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out,
            "Checking timezone for \"" + name + "\"\r\nxml written to \"out.xml\" sucessfully\r\n");

  const HANDLE held =
      ::CreateFileA(Path(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const RunResult refused = Run(name + " out.xml");
  ::CloseHandle(held);
  std::string expected =
      "Cannot open file \"" + Path(name) + "\". " + SystemText(ERROR_SHARING_VIOLATION) + ".";
  ::CharToOemBuffA(expected.data(), expected.data(), static_cast<DWORD>(expected.size()));
  ExpectReport(refused.err, "EFOpenError", expected);
  EXPECT_EQ(refused.err.find('\xE9'), std::string::npos);
}

TEST_F(WindowsEndToEnd, BadTimeEndsTheRunWithTheReport) {
  WriteFile(Path("bad.xml"), Listing("a.se", "start=\"200412010705 +0100\""));
  WriteFile(Path("out.xml"), "precious");
  const RunResult run = Run("bad.xml -t missing.xml out.xml");
  EXPECT_EQ(run.status, 1u);
  EXPECT_EQ(run.out, "Checking timezone for \"bad.xml\"\r\n");
  ExpectReport(run.err, "EConvertError", "' +' is not a valid integer value.");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"bad.xml", "out.xml"}));
}

// One channel section of 256 MiB: a run long enough to catch in the act.
void MakeWideListing(const std::string& path) {
  const std::int64_t size = std::int64_t{256} << 20;
  const HANDLE file =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  DWORD written = 0;
  ::WriteFile(file, "<channel>", 9, &written, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = size - 10;
  ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
  ::WriteFile(file, "</channel>", 10, &written, nullptr);
  ::CloseHandle(file);
}

// While it runs, the program holds its input and its temporary output with
// no sharing: no other program can read or change them.
TEST_F(WindowsEndToEnd, RunHoldsItsFilesWithNoSharing) {
  MakeWideListing(Path("wide.xml"));
  const PROCESS_INFORMATION process = Start("wide.xml out.xml");
  bool inputHeld = false;
  bool outputHeld = false;
  while (::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && !(inputHeld && outputHeld)) {
    const auto refused = [](const std::string& path) {
      const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
      return file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION;
    };
    // The temporary output appears only once the run has opened its input,
    // so the input is probed from then on: a probe before that could take the
    // file first and make the run's own open fail.
    for (const std::string& name : Entries()) {
      if (!name.starts_with(".Lindqvar-")) continue;
      outputHeld = outputHeld || refused(Path(name));
      inputHeld = inputHeld || refused(Path("wide.xml"));
    }
  }
  const RunResult run = Finish(process);
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_TRUE(inputHeld);
  EXPECT_TRUE(outputHeld);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"out.xml", "wide.xml"}));
}

// Ctrl-Break, like Ctrl-C or a closed console window, takes the temporary
// output away with the run.
TEST_F(WindowsEndToEnd, StoppedByCtrlBreak) {
  MakeWideListing(Path("wide.xml"));
  WriteFile(Path("out.xml"), "precious");
  const PROCESS_INFORMATION process = Start("wide.xml out.xml");
  ::Sleep(30);
  if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId)) {
    ::TerminateProcess(process.hProcess, 99);
    Finish(process);
    GTEST_SKIP() << "console events cannot be sent here (error " << ::GetLastError()
                 << "): the test process has no console";
  }
  const RunResult run = Finish(process);
  for (int wait = 0; wait < 50 && Entries().size() > 2; ++wait) ::Sleep(100);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"out.xml", "wide.xml"}));
  if (run.status == 0) GTEST_SKIP() << "the run finished before Ctrl-Break reached it";
  EXPECT_EQ(fs::file_size(Path("out.xml")), 8u);
}

// However the run ends while it writes, even by TerminateProcess, the
// temporary output goes with it and the old output stays.
TEST_F(WindowsEndToEnd, TerminatedWhileWriting) {
  MakeWideListing(Path("wide.xml"));
  int stoppedMidway = 0;
  for (const DWORD delay : {0u, 20u, 100u, 300u}) {
    WriteFile(Path("out.xml"), "precious");
    const PROCESS_INFORMATION process = Start("wide.xml out.xml");
    ::Sleep(delay);
    ::TerminateProcess(process.hProcess, 99);
    const RunResult run = Finish(process);
    // Wine lets the system take the file away a moment after the process.
    for (int wait = 0; wait < 50 && Entries().size() > 2; ++wait) ::Sleep(100);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"out.xml", "wide.xml"})) << delay;
    // The old output, or the whole new one when the run was stopped after
    // putting it in place: never a part of it.
    const auto size = fs::file_size(Path("out.xml"));
    EXPECT_TRUE(size == 8 || size == kHeader.size() + (std::uint64_t{256} << 20) + 5) << size;
    if (run.status == 99 && size == 8) ++stoppedMidway;
  }
  EXPECT_GT(stoppedMidway, 0);
}

TEST(WindowsPlatform, InOutErrorTexts) {
  const std::pair<int, const char*> rows[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {32, "I/O error 32"},
      {112, "I/O error 112"},
  };
  for (const auto& [code, text] : rows) EXPECT_EQ(InOutErrorText(code), text) << code;
}

}  // namespace
}  // namespace lindqvar
