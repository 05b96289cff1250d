// Runs the built Lindqvar executable in a temporary directory and captures
// what it writes: output files, standard output, standard error, exit status.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace lindqvar::testing {

namespace fs = std::filesystem;

inline const std::string kHeader =
    "<?xml version=\"1.0\"?><tv date=\"20040921\" source-info-name=\"Lindqvar\" "
    "generator-info-name=\"Lindqvar\" generator-info-url=\"https://lindqvar.org/\">";

inline const std::string kUsage =
    "Usage: Lindqvar XML1.xml [-t] XML2.xml [-t] ... Out.xml\r\n"
    "       Append the -t switch after a filename to add timzone information to the\r\n"
    "       times in the xml\r\n";

struct RunOptions {
  std::string stdoutPath;         // default: a capture file
  bool stdoutAppend = false;      // open stdoutPath to append, as ">>" does
  bool stdoutPipe = false;        // a pipe whose bytes land in RunResult::out
  bool stdoutClosedPipe = false;  // a pipe nobody reads
  std::string stdinBytes;         // fed through a pipe
  rlim_t fileSizeLimit = RLIM_INFINITY;
  rlim_t openFileLimit = 0;      // 0: as the tests run
  rlim_t addressSpace = 0;       // 0: as the tests run
  bool unprivileged = false;     // run as nobody when the tests run as root
  bool noUnnamedFiles = false;   // as on a file system without O_TMPFILE
  bool errorToOutput = false;    // 2>&1
  bool thirdToOutput = false;    // 3>&1
  int inheritedDescriptors = 0;  // open descriptors the program is started with, besides 0 to 2
};

// Makes every later open with O_TMPFILE fail with EOPNOTSUPP, as it does on
// file systems that cannot make unnamed files, by a seccomp filter on this
// process and what it executes.
inline bool RefuseUnnamedFiles() {
  constexpr unsigned kTmpfileBit = 020000000;  // O_TMPFILE without the O_DIRECTORY it carries
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kTmpfileBit, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A small listing with both sections, laid out the way grabbers write them.
inline std::string Listing(const std::string& channelId, const std::string& programmeAttributes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
         "<tv source-info-name=\"grabber\">\n"
         "  <channel id=\"" +
         channelId + "\">\n    <display-name>" + channelId +
         "</display-name>\n  </channel>\n"
         "  <programme " +
         programmeAttributes + " channel=\"" + channelId +
         "\">\n    <title>Nyheter</title>\n  </programme>\n</tv>\n";
}

inline std::string ChannelOf(const std::string& channelId) {
  return "<channel id=\"" + channelId + "\">\n    <display-name>" + channelId +
         "</display-name>\n  </channel>";
}

inline std::string ProgrammeOf(const std::string& channelId,
                               const std::string& programmeAttributes) {
  return "<programme " + programmeAttributes + " channel=\"" + channelId +
         "\">\n    <title>Nyheter</title>\n  </programme>";
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lindqvar-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::permissions(dir_, fs::perms(0755));  // open to the unprivileged runs
  }

  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(dir_, ignored);
  }

  fs::path Path(const std::string& name) const { return dir_ / name; }

  // Starts the program in the test's directory; Finish waits for it.
  pid_t Start(const std::vector<std::string>& args, const RunOptions& options = {}) {
    const fs::path outPath =
        options.stdoutPath.empty() ? dir_ / ".stdout" : fs::path(options.stdoutPath);
    const fs::path errPath = dir_ / ".stderr";
    int feed[2];
    int drain[2];
    if (::pipe(feed) != 0 || ::pipe(drain) != 0) return -1;
    if (options.stdoutClosedPipe) ::close(drain[0]);
    const bool unprivileged = options.unprivileged && ::geteuid() == 0;
    const std::string exe = unprivileged ? ExecutableForNobody() : LINDQVAR_EXE;
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(feed[1]);
      ::dup2(feed[0], STDIN_FILENO);
      const int append = options.stdoutAppend ? O_APPEND : O_TRUNC;
      const int out = options.stdoutClosedPipe || options.stdoutPipe
                          ? drain[1]
                          : ::open(outPath.c_str(), O_WRONLY | O_CREAT | append, 0644);
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(options.errorToOutput ? out : err, STDERR_FILENO);
      // The program gets the three standard streams and what the options
      // ask for, nothing the tests have open.
      ::close_range(3, ~0u, 0);
      if (options.thirdToOutput) ::dup2(STDOUT_FILENO, 3);
      for (int i = 0; i < options.inheritedDescriptors; ++i) ::dup2(STDERR_FILENO, 10 + i);
      ::umask(022);
      const rlimit noCore{0, 0};  // a run ended by a fault leaves no core file about
      ::setrlimit(RLIMIT_CORE, &noCore);
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      if (options.openFileLimit != 0) {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = options.openFileLimit;
        ::setrlimit(RLIMIT_NOFILE, &files);
      }
      if (options.addressSpace != 0) {
        const rlimit space{options.addressSpace, options.addressSpace};
        ::setrlimit(RLIMIT_AS, &space);
      }
      if (unprivileged && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(125);
      if (options.noUnnamedFiles && !RefuseUnnamedFiles()) ::_exit(124);
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>("Lindqvar")};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(feed[0]);
    ::close(drain[1]);
    if (options.stdoutPipe) {
      piped_ = drain[0];
    } else if (!options.stdoutClosedPipe) {
      ::close(drain[0]);
    }
    if (!options.stdinBytes.empty()) {
      [[maybe_unused]] const ssize_t ignored =
          ::write(feed[1], options.stdinBytes.data(), options.stdinBytes.size());
    }
    ::close(feed[1]);
    return child;
  }

  RunResult Finish(pid_t child, const RunOptions& options = {}) {
    RunResult result;
    if (piped_ >= 0) {
      char bytes[65536];
      for (ssize_t got; (got = ::read(piped_, bytes, sizeof bytes)) > 0;)
        result.out.append(bytes, got);
      ::close(std::exchange(piped_, -1));
    }
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.stdoutPath.empty() && !options.stdoutClosedPipe && !options.stdoutPipe) {
      result.out = ReadFile(dir_ / ".stdout");
    }
    result.err = ReadFile(dir_ / ".stderr");
    return result;
  }

  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    return Finish(Start(args, options), options);
  }

  // The exit status of sh -c command in the test's directory, run as nobody
  // with unprivileged when the tests run as root.
  int RunShell(const std::string& command, bool unprivileged) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
        ::_exit(125);
      }
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      const int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, STDERR_FILENO);
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // A copy of the program that nobody (uid 65534) can run: the build tree
  // may lie in a folder only root can enter, such as /root.
  std::string ExecutableForNobody() {
    const fs::path copy = dir_ / ".Lindqvar";
    if (!fs::exists(copy)) {
      fs::copy_file(LINDQVAR_EXE, copy);
      fs::permissions(copy, fs::perms(0755));
    }
    return copy.string();
  }

  // Why nobody (uid 65534) cannot work in the test's folder, or "" when it
  // can, for tests that need to run the program unprivileged.
  std::string WhyNobodyCannotRun() const {
    if (::geteuid() != 0) return "";  // the tests themselves run unprivileged
    const pid_t child = ::fork();
    if (child == 0) {
      const bool reached =
          ::setgid(65534) == 0 && ::setuid(65534) == 0 && ::access(dir_.c_str(), X_OK) == 0;
      ::_exit(reached ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? ""
               : "uid 65534 cannot enter " + dir_.string() + " (set TMPDIR to a folder it can)";
  }

  // Files in the directory besides the capture files: catches temporaries
  // left behind by a failed run.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name != ".stdout" && name != ".stderr" && name != ".Lindqvar") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  int piped_ = -1;
};

// Turns the kernel's fs.protected_symlinks, _regular and _fifos settings on
// for the life of the object, where the machine lets it, and back to what
// they were after. They are the whole machine's: a lock keeps the tests
// that set them, in this run of the suite or another, from overlapping.
struct Protections {
  static constexpr const char* kSettings[] = {"symlinks", "regular", "fifos"};
  int lock = -1;
  std::string before[3];
  bool symlinksOn = false;

  Protections() {
    lock = ::open((fs::temp_directory_path() / "lindqvar-tests-protected.lock").c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    for (int i = 0; i < 3; ++i) {
      const std::string setting = Setting(i);
      before[i] = ReadFile(setting);
      if (!before[i].empty()) std::ofstream(setting) << "1\n";
    }
    symlinksOn = ReadFile(Setting(0)) == "1\n";
  }
  ~Protections() {
    for (int i = 0; i < 3; ++i) {
      if (!before[i].empty()) std::ofstream(Setting(i)) << before[i];
    }
    if (lock >= 0) ::close(lock);
  }
  static std::string Setting(int i) {
    return std::string("/proc/sys/fs/protected_") + kSettings[i];
  }
};

// The whole failure report, with the code offset checked for its form only.
inline void ExpectReport(const std::string& err, const std::string& kind,
                         const std::string& message) {
  const std::string head = "Exception " + kind + " in module Lindqvar at ";
  ASSERT_TRUE(err.starts_with(head)) << err;
  const std::string offset = err.substr(head.size(), 8);
  EXPECT_EQ(offset.size(), 8u) << err;
  EXPECT_EQ(offset.find_first_not_of("0123456789ABCDEF"), std::string::npos) << err;
  EXPECT_NE(offset, "00000000");
  EXPECT_EQ(err.substr(head.size() + offset.size()), ".\r\n" + message + "\r\n\r\n");
}

}  // namespace lindqvar::testing
