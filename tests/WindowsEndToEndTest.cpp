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
#include "WindowsConsoleEventHelper.h"
#include "win32/Paths.h"

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

// ANSI bytes, as the command line carries them, in wide characters.
std::wstring Wide(const std::string& bytes) {
  std::wstring text(bytes.size(), L'\0');
  text.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                            static_cast<int>(text.size()))));
  return text;
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

// The same for names outside the ANSI code page.
std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The identity of the file a name leads to, as (volume, index).
std::pair<DWORD, std::uint64_t> IdentityOf(const fs::path& path) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  ::GetFileInformationByHandle(file, &info);
  ::CloseHandle(file);
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// Makes link, in folder, a symbolic link to target (a relative name, with
// "/"). Wine cannot make the system's own links, so under Wine this runs
// ln(1), whose Unix link Wine follows as the system follows its own.
bool MakeSymbolicLink(const std::string& folder, const std::string& link,
                      const std::string& target) {
  if (!UnderWine()) {
    std::string windowsTarget = target;
    std::replace(windowsTarget.begin(), windowsTarget.end(), '/', '\\');
    return ::CreateSymbolicLinkA((folder + "\\" + link).c_str(), windowsTarget.c_str(),
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = "/bin/ln -s " + target + " " + link;
  if (!::CreateProcessA("Z:\\bin\\ln", line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
    return false;
  }
  ::CloseHandle(process.hProcess);
  ::CloseHandle(process.hThread);
  // Wine does not follow a Unix program it starts: wait for its work.
  for (int wait = 0; wait < 100 && !fs::exists(folder + "\\" + link); ++wait) ::Sleep(50);
  return fs::exists(folder + "\\" + link);
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
  // program's name exactly as given, in folder (the test's own by default).
  PROCESS_INFORMATION Start(const std::string& arguments, std::wstring folder = {}) {
    return Start(Wide(arguments), std::move(folder));
  }
  PROCESS_INFORMATION Start(const std::wstring& arguments, std::wstring folder = {}) {
    if (folder.empty()) folder = Wide(dir_);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto capture = [&](const char* name) {
      return ::CreateFileA(Path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = capture(".stdout");
    startup.hStdError = capture(".stderr");
    const std::wstring exe = Wide(WindowsPath(LINDQVAR_EXE));
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started =
        ::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                         nullptr, folder.c_str(), &startup, &process);
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

  RunResult Run(const std::string& arguments, const std::wstring& folder = {}) {
    return Finish(Start(arguments, folder));
  }
  RunResult Run(const std::wstring& arguments, const std::wstring& folder = {}) {
    return Finish(Start(arguments, folder));
  }

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

// The arguments come from GetCommandLineW, split by the runtime's rule, not
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

// Files are told apart by identity, not by name: names that a
// locale-aware comparison takes for one ("ß" and "ss", "æ" and "ae") are
// two files, and one file under two names (a hard link, a "\\?\" path)
// is read twice, as on Linux.
TEST_F(WindowsEndToEnd, FilesKnownByIdentity) {
  if (Wide("stra\xDF"
           "e\xE6") != L"stra\u00DFe\u00E6") {
    GTEST_SKIP() << "the ANSI code page here (" << ::GetACP() << ") has no \"\xDF\" or \"\xE6\"";
  }
  const std::string names[] = {"strasse.xml",
                               "stra\xDF"
                               "e.xml",
                               "aeon.xml", "\xE6on.xml"};
  std::string channels;
  std::string programmes;
  for (int i = 0; i < 4; ++i) {
    const std::string id = "c" + std::to_string(i);
    WriteFile(Path(names[i]), Listing(id, "x=\"1\""));
    channels += "<channel id=\"" + id + "\"></channel>";
    programmes += "<programme x=\"1\" channel=\"" + id + "\"></programme>";
  }
  const RunResult run =
      Run(names[0] + " " + names[1] + " " + names[2] + " " + names[3] + " out.xml");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + channels + programmes + "</tv>");

  ASSERT_TRUE(::CreateHardLinkA(Path("hard.xml").c_str(), Path("aeon.xml").c_str(), nullptr));
  const RunResult linked = Run("aeon.xml hard.xml \"\\\\?\\" + Path("aeon.xml") + "\" out.xml");
  EXPECT_EQ(linked.status, 0u) << linked.err;
  const std::string channel = "<channel id=\"c2\"></channel>";
  const std::string programme = "<programme x=\"1\" channel=\"c2\"></programme>";
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + channel + channel + channel + programme + programme + programme + "</tv>");
}

// Paths stay in wide characters: run from a folder whose name the ANSI code
// page cannot hold, the output lands there, not in a look-alike folder the
// best-fit conversion would turn its name into.
TEST_F(WindowsEndToEnd, OutputLandsInTheFolderNamed) {
  const fs::path folder = fs::path(Wide(dir_)) / L"\u0141ukasz";
  const fs::path lookAlike = fs::path(Wide(dir_)) / L"Lukasz";
  fs::create_directory(folder);
  fs::create_directory(lookAlike);
  WriteFile(folder / "a.xml", Listing("a.pl", "x=\"1\""));
  WriteFile(folder / "out.xml", "old");
  WriteFile(lookAlike / "out.xml", "other");
  const RunResult run = Run("a.xml out.xml", folder.wstring());
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(ReadFile(folder / "out.xml"),
            kHeader + "<channel id=\"a.pl\"></channel>" +
                "<programme x=\"1\" channel=\"a.pl\"></programme></tv>");
  EXPECT_EQ(ReadFile(lookAlike / "out.xml"), "other");
}

// The command line is read in UTF-16: inputs and outputs named in any
// script are found and made, whatever the ANSI code page; messages show the
// names in that code page, "?" for what it cannot hold.
TEST_F(WindowsEndToEnd, NamesInAnyScript) {
  const auto ansi = [](const std::wstring& name) {
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(),
                                           static_cast<int>(name.size()), nullptr, 0, "?", nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(), static_cast<int>(name.size()),
                          bytes.data(), size, "?", nullptr);
    return bytes;
  };
  const fs::path folder = fs::path(Wide(dir_));
  const std::wstring cyrillic = L"\u0433\u0438\u0434.xml";  // гид.xml
  const std::wstring chinese = L"\u65b0\u95fb.xml";         // 新闻.xml
  const std::wstring output = L"\u0432\u044b\u0432\u043e\u0434 \u6307\u5357.xml";
  WriteFile(folder / cyrillic, Listing("ru.tv", "x=\"1\""));
  WriteFile(folder / chinese, Listing("cn.tv", "x=\"2\""));
  WriteFile(folder / L"caf\u00e9.xml", Listing("fr.tv", "x=\"3\""));
  const RunResult run = Run(cyrillic + L" -t " + chinese + L" caf\u00e9.xml \"" + output + L"\"");
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out, "Checking timezone for \"" + ansi(cyrillic) + "\"\r\nxml written to \"" +
                         ansi(output) + "\" sucessfully\r\n");
  EXPECT_EQ(
      ReadFile(folder / output),
      kHeader + "<channel id=\"ru.tv\"></channel><channel id=\"cn.tv\"></channel>" +
          "<channel id=\"fr.tv\"></channel><programme x=\"1\" channel=\"ru.tv\"></programme>" +
          "<programme x=\"2\" channel=\"cn.tv\"></programme>" +
          "<programme x=\"3\" channel=\"fr.tv\"></programme></tv>");

  // A name that the code page would have made a pattern ("???.xml") finds
  // no other file: it is not found, as it is not there.
  WriteFile(Path("abc.xml"), Listing("abc.tv", "x=\"4\""));
  const std::wstring absent = L"\u0436\u0443\u043a.xml";  // жук.xml
  const RunResult missing = Run(absent + L" abc.xml out.xml");
  EXPECT_EQ(missing.status, 1u);
  EXPECT_EQ(missing.out, "File \"" + ansi(absent) + "\" not found\r\n");
  EXPECT_EQ(missing.err, "");
  EXPECT_FALSE(fs::exists(folder / L"out.xml"));
}

// An output that is a symbolic link is followed as creating the file would
// follow it: the file it leads to gets the guide, and the link stays.
TEST_F(WindowsEndToEnd, OutputThroughASymbolicLink) {
  fs::create_directory(Path("real"));
  WriteFile(Path("real\\target.xml"), "old");
  if (!MakeSymbolicLink(dir_, "link.xml", "real/target.xml")) {
    GTEST_SKIP() << "cannot make a symbolic link here (error " << ::GetLastError() << ")";
  }
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const RunResult run = Run("a.xml link.xml");
  EXPECT_EQ(run.status, 0u) << run.err;
  const std::string joined = kHeader + "<channel id=\"a.se\"></channel>" +
                             "<programme x=\"1\" channel=\"a.se\"></programme></tv>";
  EXPECT_EQ(ReadFile(Path("real\\target.xml")), joined);
  // Still one file under both names: the link was not replaced by a file.
  EXPECT_EQ(IdentityOf(Path("link.xml")), IdentityOf(Path("real\\target.xml")));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "link.xml", "real"}));
}

// A file another program holds for a moment, as a virus scanner does just
// after a grabber writes it, is waited for; an output that cannot be
// written, read-only here, is refused as creating it would be, on Wine too.
TEST_F(WindowsEndToEnd, HeldForAMomentOrReadOnly) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const HANDLE held =
      ::CreateFileA(Path("a.xml").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const PROCESS_INFORMATION process = Start("a.xml out.xml");
  ::Sleep(200);
  ::CloseHandle(held);
  const RunResult run = Finish(process);
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out, "xml written to \"out.xml\" sucessfully\r\n");

  WriteFile(Path("out.xml"), "precious");
  ASSERT_TRUE(::SetFileAttributesA(Path("out.xml").c_str(), FILE_ATTRIBUTE_READONLY));
  const RunResult readOnly = Run("a.xml out.xml");
  ::SetFileAttributesA(Path("out.xml").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(readOnly.status, 1u);
  EXPECT_EQ(readOnly.out, "Couldn't create output file out.xml\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));
}

// The DOS date range is checked as such: 2108 is past it, whatever the
// system's conversion says.
TEST_F(WindowsEndToEnd, FileDatedAfter2107IsNotFound) {
  WriteFile(Path("late.xml"), Listing("late.se", "x=\"1\""));
  const HANDLE late = ::CreateFileA(Path("late.xml").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  SYSTEMTIME then{2108, 6, 0, 1, 12, 0, 0, 0};
  FILETIME written;
  ::SystemTimeToFileTime(&then, &written);
  ASSERT_TRUE(::SetFileTime(late, nullptr, nullptr, &written));
  ::CloseHandle(late);
  const RunResult run = Run("late.xml out.xml");
  EXPECT_EQ(run.status, 1u);
  EXPECT_EQ(run.out, "File \"late.xml\" not found\r\n");
}

// Wine cannot send console events to the test's processes (see
// StoppedByCtrlBreak), so a helper drives what a Ctrl-C does to a run: it
// writes an output and puts it in place while the handler runs, then the
// process ends as the system ends it. At every moment the old output or the
// whole new one is left, and nothing beside it.
TEST_F(WindowsEndToEnd, ConsoleEventWhileTheOutputIsWritten) {
  int kept = 0;
  int replaced = 0;
  for (const int delay : {0, 100, 1000, 3000, 10000, 30000, 100000, 300000, -1}) {
    WriteFile(Path("out.xml"), "precious");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string line = "\"" + WindowsPath(LINDQVAR_CONSOLE_EVENT_HELPER) + "\" \"" + dir_ +
                       "\\out.xml\" " + std::to_string(delay);
    ASSERT_TRUE(::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &process));
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD status = 0;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << delay;
    for (int wait = 0; wait < 50 && Entries().size() > 1; ++wait) ::Sleep(100);
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.xml"}) << delay;
    const auto size = fs::file_size(Path("out.xml"));
    EXPECT_TRUE(size == 8 || size == kConsoleEventHelperBytes) << delay << ": " << size;
    ++(size == 8 ? kept : replaced);
  }
  EXPECT_GT(kept, 0);
  EXPECT_GT(replaced, 0);
}

TEST(WindowsPlatform, MessagesLoseTheirFullStops) {
  const std::pair<std::wstring, std::wstring> rows[] = {
      {L"The system cannot find the file specified.\r\n",
       L"The system cannot find the file specified"},
      {L"\u6307\u5B9A\u3055\u308C\u305F\u30D5\u30A1\u30A4\u30EB\u304C\u898B\u3064\u304B\u308A"
       L"\u307E\u305B\u3093\u3002\r\n",
       L"\u6307\u5B9A\u3055\u308C\u305F\u30D5\u30A1\u30A4\u30EB\u304C\u898B\u3064\u304B\u308A"
       L"\u307E\u305B\u3093"},
      {L"Full width\uFF0E ", L"Full width"},
      {L"...", L""},
      {L"No stop", L"No stop"},
  };
  for (const auto& [message, trimmed] : rows) EXPECT_EQ(TrimMessage(message), trimmed);
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
