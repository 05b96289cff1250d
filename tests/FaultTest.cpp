// Faults and hostile inputs: whatever happens, the run ends with a correct
// output or a clear message and exit status 1, and an existing output file
// stays as it was with no temporary file left beside it.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <iostream>
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
  if (const std::string why = WhyNobodyCannotRun(); !why.empty()) GTEST_SKIP() << why;
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

// Far more inputs than the process may have open files: those beyond the
// limit are opened again by name for the second pass.
TEST_F(EndToEnd, HundredThousandInputsUnderTheDefaultFileLimit) {
  std::vector<std::string> args;
  std::string channels;
  std::string programmes;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = std::to_string(i);  // short: the command line has a size limit
    const std::string channel = "<channel id=\"" + name + "\"></channel>";
    const std::string programme =
        "<programme start=\"20040601" + std::string(i % 2 ? "07" : "08") + "0000\"></programme>";
    WriteFile(Path(name), "<tv>" + channel + programme + "</tv>");
    args.push_back(name);
    if (i % 10 == 0) args.push_back("-t");
    channels += channel;
    programmes += i % 10 == 0 ? std::string(programme).insert(32, " +0100") : programme;
  }
  args.push_back("out.xml");
  RunOptions options;
  options.openFileLimit = 1024;
  const RunResult run = Run(args, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.ends_with("xml written to \"out.xml\" sucessfully\r\n"));
  EXPECT_TRUE(ReadFile(Path("out.xml")) == kHeader + channels + programmes + "</tv>");
}

// Compressed data that is cut short, changed or followed by junk ends the
// run with the report and no output; a file compressed in a way that is
// not read here is named in the warning for an input nothing is taken from.
TEST_F(EndToEnd, DamagedOrUnknownCompression) {
  if (RunShell("gzip --version > /dev/null", false) != 0) GTEST_SKIP() << "gzip is not installed";
  std::string listing = "<tv>";
  for (int i = 0; i < 2000; ++i) listing += ChannelOf("c" + std::to_string(i));
  WriteFile(Path("a.xml"), listing + "</tv>");
  ASSERT_EQ(RunShell("gzip -c a.xml > a.gz && rm a.xml", false), 0);
  const std::string good = ReadFile(Path("a.gz"));
  std::string flipped = good;
  flipped[good.size() - 6] ^= 1;  // in the check value
  std::string changed = good;
  changed[good.size() / 2] ^= 0x10;  // in the data
  const std::pair<const char*, std::string> damaged[] = {
      {"CutInTheHeader", good.substr(0, 5)},
      {"CutInTheData", good.substr(0, good.size() / 2)},
      {"CutInTheTrailer", good.substr(0, good.size() - 1)},
      {"BadCheckValue", flipped},
      {"ChangedData", changed},
      {"TrailingJunk", good + "junk"},
      {"HalfAMemberAfter", good + good.substr(0, 20)},
      {"PaddingThenAByte", good + std::string(512, '\0') + "x"},
  };
  WriteFile(Path("out.xml"), "precious");
  for (const auto& [what, bytes] : damaged) {
    WriteFile(Path("bad.xml"), bytes);
    const RunResult run = Run({"a.gz", "bad.xml", "out.xml"});
    EXPECT_EQ(run.status, 1) << what;
    ExpectReport(run.err, "EInOutError", "Compressed file \"bad.xml\" is damaged.");
    EXPECT_EQ(ReadFile(Path("out.xml")), "precious") << what;
    EXPECT_EQ(Entries(), (std::vector<std::string>{"a.gz", "bad.xml", "out.xml"})) << what;
  }

  const std::pair<const char*, std::string> unknown[] = {
      {"xz",
       "\xFD"
       "7zXZ" +
           std::string(1, '\0') + "data"},
      {"zstd",
       "\x28\xB5\x2F\xFD"
       "data"},
      {"bzip2", "BZh91AY&SYdata"},
      {"zip",
       "PK\x03\x04"
       "data"},
  };
  for (const auto& [kind, bytes] : unknown) {
    WriteFile(Path("other.xml"), bytes);
    const RunResult run = Run({"a.gz", "other.xml", "out.xml"});
    EXPECT_EQ(run.status, 0) << kind;
    EXPECT_EQ(run.err, "Lindqvar: warning: nothing taken from \"other.xml\" (" + std::string(kind) +
                           "-compressed)\r\n");
    // Compressed once more with gzip, it is named one level deep.
    ASSERT_EQ(RunShell("gzip -c other.xml > other.gz", false), 0);
    const RunResult inside = Run({"a.gz", "other.gz", "out.xml"});
    EXPECT_EQ(inside.status, 0) << kind;
    EXPECT_EQ(inside.err, "Lindqvar: warning: nothing taken from \"other.gz\" (gzip holding " +
                              std::string(kind) + "-compressed data)\r\n");
  }

  // Zeros after the last member, as tapes and blocks pad, are no damage;
  // nor is a name for bzip2 data given to text that merely begins "BZh".
  WriteFile(Path("padded.gz"), good + std::string(10000, '\0'));
  WriteFile(Path("bzh.xml"), "BZh, the listing: <channel id=\"x\"></channel>");
  const RunResult padded = Run({"padded.gz", "bzh.xml", "out.xml"});
  EXPECT_EQ(padded.status, 0) << padded.err;
  EXPECT_EQ(padded.err, "");
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + listing.substr(4) + "<channel id=\"x\"></channel></tv>");
  WriteFile(Path("bzh.xml"), "BZh, the listing");
  EXPECT_EQ(Run({"bzh.xml", "out.xml"}).err,
            "Lindqvar: warning: nothing taken from \"bzh.xml\"\r\n");
}

// An endless input, kept outside memory for the second pass, fills the file
// system (here the file size limit stands in for it) and ends the run with
// the report, leaving nothing behind, as little memory as ever used.
TEST_F(EndToEnd, EndlessInputFillsTheDiskNotTheMemory) {
  RunOptions options;
  options.fileSizeLimit = rlim_t{64} << 20;
#if !defined(__SANITIZE_ADDRESS__)  // which needs more address space than this
  options.addressSpace = rlim_t{256} << 20;
#endif
  WriteFile(Path("out.xml"), "precious");
  const RunResult run = Run({"/dev/zero", "-t", "out.xml"}, options);
  EXPECT_EQ(run.status, 1);
  ExpectReport(run.err, "EInOutError", "Disk full.");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.xml"});
}

// A gzip stream, which cannot be read twice, is spooled as the compressed
// bytes it delivers: a spool folder with room for those alone (here the
// file size limit stands in for it) is enough, however large the listing.
TEST_F(EndToEnd, GzipStreamSpoolsItsCompressedBytes) {
  std::string listing = "<tv>";
  for (int i = 0; i < 60000; ++i) listing += ProgrammeOf("a.se", "start=\"20041201070500\"");
  listing += "</tv>";
  WriteFile(Path("plain.xml"), listing);
  ASSERT_EQ(RunShell("gzip -c plain.xml > packed.gz", false), 0);
  const std::string packed = ReadFile(Path("packed.gz"));
  ASSERT_LT(packed.size(), std::size_t{1} << 20);
  ASSERT_GT(listing.size(), std::size_t{4} << 20);
  RunOptions options;
  options.stdinBytes = packed;
  options.stdoutPipe = true;
  options.fileSizeLimit = rlim_t{1} << 20;
  const RunResult run = Run({"/dev/stdin", "/dev/stdout"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out == kHeader + listing.substr(4)) << run.out.size();
}

// Memory for the channel ids running out (here an address space limit
// stands in for a small machine) stops their check with one line; the join
// goes on and ends as it would without the check.
TEST_F(EndToEnd, ChannelIdsBeyondMemoryStopTheirCheckNotTheJoin) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  std::string channels;
  for (int i = 0; i < 300000; ++i) channels += ChannelOf("c" + std::to_string(i) + ".example.org");
  WriteFile(Path("many.xml"), "<tv>" + channels + "</tv>");
  RunOptions options;
  options.addressSpace = rlim_t{20} << 20;
  const RunResult run = Run({"many.xml", "many.xml", "out.xml"}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "Lindqvar: warning: too many channel ids to check for repeats after \"many.xml\"\r\n");
  EXPECT_EQ(run.out, "xml written to \"out.xml\" sucessfully\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + channels + channels + "</tv>");
}

// Where the spool for what cannot be read twice is made, seen in the
// program's descriptors while it waits on a FIFO input: beside a named
// output; for a descriptor, beside the regular file it writes to; else, as
// for a pipe or a device, in TMPDIR, or without it in /tmp; never in /dev.
TEST_F(EndToEnd, SpoolBesideTheOutputOrInTheFolderForTemporaryFiles) {
  fs::create_directories(Path("out"));
  fs::create_directories(Path("tmp"));
  const std::string listing = Listing("a.se", "start=\"20041201070500\"");
  struct Row {
    const char* what;
    std::vector<std::string> args;
    bool stdoutToFile;  // standard output redirected to out/log.xml
    bool tmpdir;        // TMPDIR set to tmp
    std::string folder;
  };
  const Row rows[] = {
      {"named file", {"feed.xml", "out/guide.xml"}, false, true, Path("out").string()},
      {"stdout to a file", {"feed.xml", "/dev/stdout"}, true, true, Path("out").string()},
      {"stdout a pipe", {"feed.xml", "/dev/stdout"}, false, true, Path("tmp").string()},
      {"a device", {"feed.xml", "/dev/null"}, false, true, Path("tmp").string()},
      {"a device without TMPDIR", {"feed.xml", "/dev/null"}, false, false, "/tmp"},
  };
  const char* const tmpdir = std::getenv("TMPDIR");
  const std::string saved = tmpdir ? tmpdir : "";
  for (const Row& row : rows) {
    fs::remove(Path("feed.xml"));
    ASSERT_EQ(::mkfifo(Path("feed.xml").c_str(), 0644), 0);
    if (row.tmpdir) {
      ::setenv("TMPDIR", Path("tmp").c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    RunOptions options;
    if (row.stdoutToFile) options.stdoutPath = Path("out/log.xml").string();
    options.stdoutPipe = !row.stdoutToFile;
    const pid_t child = Start(row.args, options);
    if (tmpdir) {
      ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    // Half the listing, then a look at what the program holds open.
    const int feed = ::open(Path("feed.xml").c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    ASSERT_EQ(::write(feed, listing.data(), listing.size() / 2),
              static_cast<ssize_t>(listing.size() / 2));
    std::string spool;
    for (int tries = 0; tries < 500 && spool.empty(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const fs::path fds = "/proc/" + std::to_string(child) + "/fd";
      std::error_code ignored;
      for (const auto& entry : fs::directory_iterator(fds, ignored)) {
        const std::string target = fs::read_symlink(entry.path(), ignored).string();
        if (target.ends_with(" (deleted)")) spool = target;
      }
    }
    const std::string rest = listing.substr(listing.size() / 2);
    EXPECT_EQ(::write(feed, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    ::close(feed);
    const RunResult run = Finish(child, options);
    EXPECT_EQ(run.status, 0) << row.what << ": " << run.err;
    EXPECT_EQ(fs::path(spool).parent_path().string(), row.folder) << row.what << ": " << spool;
  }
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

// Another process changes an input while the run waits on a FIFO given
// after it, that is between the input's first reading and its copy.
TEST_F(EndToEnd, InputChangedWhileTheRunGoesOn) {
  std::string listing = "<tv>";
  for (int i = 0; i < 20000; ++i) listing += "<programme start=\"20041201070500\"></programme>\n";
  listing += "</tv>";
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;
  };
  const Case cases[] = {
      {"Truncated", [](const fs::path& path) { fs::resize_file(path, 0); }},
      {"Grown", [](const fs::path& path) { std::ofstream(path, std::ios::app) << "<!-- -->"; }},
      {"RewrittenInPlace",
       [](const fs::path& path) {
         std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(100);
         file << "<!-- overwritten -->";
       }},
      // Even an input replaced whole counts: the run would still read the
      // old file, yet the new one is what the name now stands for.
      {"ReplacedByRename",
       [&](const fs::path& path) {
         WriteFile(path.string() + ".new", "<tv></tv>");
         fs::rename(path.string() + ".new", path);
       }},
      // Opened again for the second pass, a FIFO must not make it wait.
      {"ReplacedByAFifo",
       [&](const fs::path& path) {
         fs::remove(path);
         ::mkfifo(path.c_str(), 0644);
       }},
  };
  // So few descriptors that every input is closed between the passes and
  // opened again by name. A gzip file, inflated again for the second pass,
  // is checked the same way.
  WriteFile(Path("plain.xml"), listing);
  ASSERT_EQ(RunShell("gzip -c plain.xml > packed.gz && rm plain.xml", false), 0);
  const std::string packed = ReadFile(Path("packed.gz"));
  fs::remove(Path("packed.gz"));
  RunOptions fewDescriptors;
  fewDescriptors.openFileLimit = 10;
  // With -t the programmes are copied one input after another; without, a
  // gzip input's go straight to their place, beside the other input's.
  for (const bool rewrite : {true, false})
    for (const bool compressed : {false, true})
      for (const Case& c : cases) {
        WriteFile(Path("a.xml"), compressed ? packed : listing);
        WriteFile(Path("out.xml"), "precious");
        ASSERT_EQ(::mkfifo(Path("b.xml").c_str(), 0644), 0);
        std::thread saboteur([&] {
          // Opening the FIFO returns once the run has read a.xml and waits on b.xml.
          std::ofstream feed(Path("b.xml"), std::ios::binary);
          c.change(Path("a.xml"));
          feed << Listing("b.se", "x=\"1\"");
        });
        const RunResult run =
            Run(rewrite ? std::vector<std::string>{"a.xml", "-t", "b.xml", "out.xml"}
                        : std::vector<std::string>{"a.xml", "b.xml", "out.xml"},
                fewDescriptors);
        saboteur.join();
        if (rewrite) {
          EXPECT_EQ(run.out.substr(0, 32), "Checking timezone for \"a.xml\"\r\n") << c.name;
        }
        EXPECT_EQ(run.status, 1) << c.name;
        ExpectReport(run.err, "EInOutError", "Input file changed while it was being read.");
        EXPECT_EQ(ReadFile(Path("out.xml")), "precious") << c.name;
        EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "b.xml", "out.xml"})) << c.name;
        fs::remove(Path("b.xml"));
        fs::remove(Path("a.xml"));
      }
}

// A file empty when the run opens it is still checked for change: filled
// by a grabber while the run waits on a later input, it stops the run.
TEST_F(EndToEnd, EmptyInputFilledWhileTheRunGoesOn) {
  WriteFile(Path("a.xml"), "");
  WriteFile(Path("out.xml"), "precious");
  ASSERT_EQ(::mkfifo(Path("b.xml").c_str(), 0644), 0);
  std::thread grabber([&] {
    std::ofstream feed(Path("b.xml"), std::ios::binary);
    WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
    feed << Listing("b.se", "x=\"2\"");
  });
  const RunResult run = Run({"a.xml", "b.xml", "out.xml"});
  grabber.join();
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with("\r\nInput file changed while it was being read.\r\n\r\n"))
      << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "b.xml", "out.xml"}));
}

// Files whose size says nothing of what they hold: a kernel file in /proc
// (size 0) and one in /sys (size 4096, shorter to read) are read as far as
// they go, like a pipe.
TEST_F(EndToEnd, KernelFilesReadAsFarAsTheyGo) {
  std::vector<std::string> args;
  for (const char* name : {"/proc/self/status", "/sys/kernel/uevent_seqnum",
                           "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    struct stat st;
    if (::stat(name, &st) == 0 && S_ISREG(st.st_mode) && ::access(name, R_OK) == 0) {
      args.push_back(name);
    }
  }
  if (args.size() < 2) GTEST_SKIP() << "no /proc or /sys files to read here";
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  args.push_back("a.xml");
  args.push_back("out.xml");
  const RunResult run = Run(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
}

// The descriptors free are counted, not guessed from the limit: many
// inherited ones, or a small limit, leave the run working with what is left.
TEST_F(EndToEnd, FewDescriptorsLeft) {
  struct Row {
    rlim_t limit;
    int inherited;
    int inputs;
  };
  for (const Row row : {Row{1024, 40, 1000}, Row{12, 0, 30}, Row{16, 4, 30}}) {
    std::vector<std::string> args;
    std::string channels;
    for (int i = 0; i < row.inputs; ++i) {
      const std::string name = std::to_string(i);
      const std::string channel = "<channel id=\"" + name + "\"></channel>";
      WriteFile(Path(name), channel);
      args.push_back(name);
      channels += channel;
    }
    args.push_back("out.xml");
    RunOptions options;
    options.openFileLimit = row.limit;
    options.inheritedDescriptors = row.inherited;
    const RunResult run = Run(args, options);
    EXPECT_EQ(run.status, 0) << row.limit << ": " << run.err;
    EXPECT_EQ(ReadFile(Path("out.xml")), kHeader + channels + "</tv>") << row.limit;
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A run ended by a signal at any moment, even one that cannot be caught,
// leaves the old output as it was and nothing beside it. Where the file
// system has no unnamed files, the named temporary file is removed on every
// signal that can be caught and would end the process, faults and
// real-time signals too.
TEST_F(EndToEnd, KilledAtAnyMomentLeavesNothingBehind) {
  const off_t size = off_t{256} << 20;  // one channel section of 256 MiB
  MakeSparseFile(Path("wide.xml"), size, {{0, "<channel>"}, {size - 10, "</channel>"}});
  const std::uintmax_t joinedSize = kHeader.size() + static_cast<std::uintmax_t>(size) + 5;
  const std::vector<int> stops = {SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGUSR1, SIGXCPU};
  const std::vector<int> faults = {SIGSEGV, SIGBUS, SIGABRT,   SIGTRAP,  SIGSYS,
                                   SIGPWR,  SIGIO,  SIGSTKFLT, SIGRTMIN, SIGRTMAX};
  for (const bool noUnnamedFiles : {false, true}) {
    RunOptions options;
    options.noUnnamedFiles = noUnnamedFiles;
    int stoppedMidway = 0;
    std::vector<int> signals = stops;
    if (noUnnamedFiles) signals.insert(signals.end(), faults.begin(), faults.end());
    for (const int signal : signals) {
      if (noUnnamedFiles && signal == SIGKILL) continue;  // nothing can tidy up after it
      // AddressSanitizer takes these faults itself, and its report of one
      // sent from outside can deadlock in its own allocator.
      if (kSanitized && (signal == SIGSEGV || signal == SIGBUS)) {
        std::cout << "signal " << signal << " not sent: AddressSanitizer handles it\n";
        continue;
      }
      const bool fault = std::find(faults.begin(), faults.end(), signal) != faults.end();
      for (const int delayMs :
           fault ? std::vector<int>{30, 120} : std::vector<int>{0, 3, 30, 120}) {
        WriteFile(Path("out.xml"), "precious");
        const pid_t child = Start({"wide.xml", "out.xml"}, options);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ::kill(child, signal);
        const RunResult run = Finish(child);
        const std::string when = "signal " + std::to_string(signal) + " after " +
                                 std::to_string(delayMs) + " ms, named temporary " +
                                 std::to_string(noUnnamedFiles);
        EXPECT_EQ(Entries(), (std::vector<std::string>{"out.xml", "wide.xml"})) << when;
        // The old output, or the whole new one when the signal came after
        // it was put in place: never a part of it.
        const std::uintmax_t size = fs::file_size(Path("out.xml"));
        EXPECT_TRUE(size == 8 || size == joinedSize) << when << ": " << size;
        EXPECT_TRUE(run.status == 0 || run.status == 128 + signal) << when << ": " << run.status;
        if (run.status == 128 + signal && size == 8) ++stoppedMidway;
      }
    }
    EXPECT_GT(stoppedMidway, 0);
  }
}

// Where the file system cannot make unnamed files, a named temporary file
// takes its place, and a failed run removes it.
TEST_F(EndToEnd, FileSystemWithoutUnnamedFiles) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  WriteFile(Path("out.xml"), "precious");
  RunOptions options;
  options.noUnnamedFiles = true;
  options.fileSizeLimit = 100;
  const RunResult full = Run({"a.xml", "out.xml"}, options);
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.out, "Couldn't create output file out.xml\r\n");
  EXPECT_EQ(ReadFile(Path("out.xml")), "precious");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));

  options.fileSizeLimit = RLIM_INFINITY;
  const RunResult run = Run({"a.xml", "out.xml"}, options);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(Path("out.xml")),
            kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", "out.xml"}));
}

// Temporary names do not grow with the output's: the longest name the file
// system takes works, new and replaced.
TEST_F(EndToEnd, LongestOutputName) {
  WriteFile(Path("a.xml"), Listing("a.se", "x=\"1\""));
  const std::string name = std::string(251, 'o') + ".xml";
  for (int round = 0; round < 2; ++round) {
    const RunResult run = Run({"a.xml", name});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadFile(Path(name)),
              kHeader + ChannelOf("a.se") + ProgrammeOf("a.se", "x=\"1\"") + "</tv>");
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.xml", name}));
}

}  // namespace
}  // namespace lindqvar::testing
