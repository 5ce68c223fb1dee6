// Backtrace entries: what names a frame in each symboliser build, the object and offset
// that stand in where nothing gives a line, and the statx-based fstat and lstat
// that libbacktrace calls.
#include "report/report.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <regex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gridflip {
namespace {

// A full backtrace taken inside backtrace_marker(). The capture is inlined into the marker, so
// one frame holds both.
[[gnu::always_inline]] inline std::string inlined_capture() {
  return backtrace_entries(BacktraceMode::full, 0);
}

[[gnu::noinline]] std::string backtrace_marker() { return inlined_capture(); }

std::string captured_backtrace() { return backtrace_marker(); }

// addr2line's function and line for `offset` in `object`.
std::string addr2line(const std::string& object, const std::string& offset) {
  const std::string command = "addr2line -f -C -i -e '" + object + "' " + offset;
  std::string answer;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[512];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) answer.append(chunk, got);
    ::pclose(pipe);
  }
  return answer;
}

TEST(Backtrace, ObjectAndOffsetLeadAddr2lineToTheFrame) {
  // Entries without a line end in "in <object>+0x<offset>". In the test binary's
  // own frames that offset must take addr2line to the function that made the call.
  const std::string text = captured_backtrace();
  const std::regex located(R"(\n +in (/[^\n]*gridflip[^\n/]*_tests)\+(0x[0-9a-f]+)\n)");
  bool found_marker = false;
  int located_entries = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), located);
       it != std::sregex_iterator(); ++it) {
    ++located_entries;
    const std::string named = addr2line((*it)[1].str(), (*it)[2].str());
    if (named.find("backtrace_marker()") != std::string::npos &&
        named.find("test_backtrace.cpp:") != std::string::npos) {
      found_marker = true;
    }
  }
#if GRIDFLIP_NAMED_BACKTRACES
  // The test binary has its debug information: its own frames have lines instead.
  EXPECT_FALSE(found_marker) << text;
  EXPECT_GT(located_entries, 0) << "GoogleTest's frames have no lines: " << text;
#else
  EXPECT_TRUE(found_marker) << text;
#endif
  EXPECT_NE(text.find("   0: "), std::string::npos) << text;
}

#if GRIDFLIP_NAMED_BACKTRACES
TEST(Backtrace, NamesFunctionsWithTheirLines) {
  const std::string text = captured_backtrace();
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(
          R"(: gridflip::backtrace_entries\[abi:cxx11\]\(gridflip::BacktraceMode, int\)\n +at src/report/backtrace\.cpp:\d+\n)")))
      << text;
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(
          R"(: gridflip::\(anonymous namespace\)::backtrace_marker\(\)\n +at tests/cpp/test_backtrace\.cpp:\d+\n)")))
      << text;
  // The inlined capture gets an entry of its own, just before the marker's. Debug
  // information may spell an inlined function's name bare.
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(
          R"(: (gridflip::\(anonymous namespace\)::)?inlined_capture(\(\))?\n +at tests/cpp/test_backtrace\.cpp:\d+\n +\d+: gridflip::\(anonymous namespace\)::backtrace_marker\(\))")))
      << text;
}

// libbacktrace's own fstat and lstat calls reach the statx-based versions; each
// must give what the C library's would.
extern "C" int __real_fstat(int, struct stat*);
extern "C" int __real_lstat(const char*, struct stat*);
extern "C" int __wrap_fstat(int, struct stat*);
extern "C" int __wrap_lstat(const char*, struct stat*);

void expect_same_status(const struct stat& real, const struct stat& made) {
  EXPECT_EQ(real.st_dev, made.st_dev);
  EXPECT_EQ(real.st_ino, made.st_ino);
  EXPECT_EQ(real.st_mode, made.st_mode);
  EXPECT_EQ(real.st_nlink, made.st_nlink);
  EXPECT_EQ(real.st_uid, made.st_uid);
  EXPECT_EQ(real.st_gid, made.st_gid);
  EXPECT_EQ(real.st_rdev, made.st_rdev);
  EXPECT_EQ(real.st_size, made.st_size);
  EXPECT_EQ(real.st_blksize, made.st_blksize);
  EXPECT_EQ(real.st_blocks, made.st_blocks);
  EXPECT_EQ(real.st_mtim.tv_sec, made.st_mtim.tv_sec);
  EXPECT_EQ(real.st_mtim.tv_nsec, made.st_mtim.tv_nsec);
  EXPECT_EQ(real.st_ctim.tv_nsec, made.st_ctim.tv_nsec);
}

TEST(BacktraceStatShim, MatchesTheCLibrary) {
  char directory[] = "/tmp/gridflip-stat-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string file = std::string(directory) + "/file";
  const std::string link = std::string(directory) + "/link";
  const int fd = ::open(file.c_str(), O_CREAT | O_RDWR, 0640);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "twelve bytes", 12), 12);
  ASSERT_EQ(::symlink("file", link.c_str()), 0);

  for (const std::string& path : {file, link, std::string(directory), std::string("/dev/null")}) {
    struct stat real {
    }, made{};
    ASSERT_EQ(__real_lstat(path.c_str(), &real), 0) << path;
    ASSERT_EQ(__wrap_lstat(path.c_str(), &made), 0) << path;
    expect_same_status(real, made);
  }
  struct stat real {
  }, made{};
  ASSERT_EQ(__real_fstat(fd, &real), 0);
  ASSERT_EQ(__wrap_fstat(fd, &made), 0);
  expect_same_status(real, made);
  EXPECT_TRUE(S_ISREG(made.st_mode));
  EXPECT_EQ(made.st_size, 12);

  errno = 0;
  EXPECT_EQ(__wrap_lstat((std::string(directory) + "/missing").c_str(), &made), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(__wrap_fstat(-1, &made), -1);
  EXPECT_EQ(errno, EBADF);

  ::close(fd);
  ::unlink(link.c_str());
  ::unlink(file.c_str());
  ::rmdir(directory);
}
#endif

}  // namespace
}  // namespace gridflip
