// The rendered text of IoError values: the three forms, kinds, system texts and quoting.
#include "child_process.hpp"
#include "circuit/circuit_map.hpp"
#include "circuit/io_error_text.hpp"
#include "lib.hpp"
#include "report/call_abort.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gridflip {
namespace {

namespace fs = std::filesystem;

std::string rendered_open_failure(const std::string& path) {
  IoResult<UniqueFd> opened = open_circuit(terminated(path));
  if (opened.ok()) return "opened";
  return render_io_error(opened.error());
}

// Everything written to descriptor 2 while `body` runs.
template <class Body>
std::string capture_stderr(Body body) {
  char name[] = "/tmp/gridflip-stderr-XXXXXX";
  const int capture = ::mkstemp(name);
  if (capture < 0) return "";
  ::unlink(name);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(capture, STDERR_FILENO);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  char chunk[512];
  ssize_t got;
  ::lseek(capture, 0, SEEK_SET);
  while ((got = ::read(capture, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(capture);
  return text;
}

TEST(RenderIoError, ThreeForms) {
  EXPECT_EQ(render_io_error(IoError::simple(ErrorKind::InvalidInput,
                                            "strings passed to WinAPI cannot contain NULs")),
            "Error { kind: InvalidInput, message: \"strings passed to WinAPI cannot contain "
            "NULs\" }");
  EXPECT_EQ(
      render_io_error(IoError::custom(ErrorKind::InvalidData, "memory map length overflows isize")),
      "Custom { kind: InvalidData, error: \"memory map length overflows isize\" }");
  EXPECT_EQ(render_io_error(IoError::from_os(ENOENT)),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  // Signed decimal; a number the C library does not know still renders.
  EXPECT_EQ(render_io_error(IoError::from_os(-7)),
            "Os { code: -7, kind: Uncategorized, message: \"Unknown error -7\" }");
  EXPECT_EQ(render_io_error(IoError::custom(ErrorKind::Other, "say \"hi\"\\\n")),
            "Custom { kind: Other, error: \"say \\\"hi\\\"\\\\\\n\" }");
}

TEST(RenderIoError, OpenFailures) {
  const fs::path dir =
      fs::temp_directory_path() / ("gridflip-render-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  EXPECT_EQ(rendered_open_failure((dir / "missing.asc").string()),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(rendered_open_failure((dir / "missing" / "circuit.asc").string()),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(rendered_open_failure(dir.string()),
            "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  const std::string plain = (dir / "plain").string();
  std::ofstream(plain) << "0";
  EXPECT_EQ(rendered_open_failure(plain + "/circuit.asc"),
            "Os { code: 20, kind: NotADirectory, message: \"Not a directory\" }");
  const fs::path loop = dir / "loop.asc";
  fs::create_symlink(loop, loop);
  EXPECT_EQ(
      rendered_open_failure(loop.string()),
      "Os { code: 40, kind: FilesystemLoop, message: \"Too many levels of symbolic links\" }");
  EXPECT_EQ(rendered_open_failure((dir / std::string(256, 'a')).string()),
            "Os { code: 36, kind: InvalidFilename, message: \"File name too long\" }");

  // Write access is asked for, so a read-only file fails for a user without the
  // privilege to override it (root would open it: drop to nobody in a child).
  const std::string read_only = (dir / "read-only.asc").string();
  std::ofstream(read_only) << "0101";
  ::chmod(read_only.c_str(), 0444);
  ::chmod(dir.c_str(), 0755);
  const std::string answer = run_in_child([&] {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return std::string("could not drop root");
    }
    return rendered_open_failure(read_only);
  });
  EXPECT_EQ(answer, "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }");

  EXPECT_EQ(rendered_open_failure(std::string("circuit") + '\0' + ".asc"),
            "Error { kind: InvalidInput, message: \"strings passed to WinAPI cannot contain "
            "NULs\" }");
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

TEST(RenderIoError, AbortCarriesTheRenderingAndTheCallersLocation) {
  std::string message;
  int line = 0;
  const std::string report = capture_stderr([&] {
    try {
      line = __LINE__ + 1;
      abort_with_io_error("Failed to open circuit", IoError::from_os(ENOENT));
    } catch (const CallAbort& abort) {
      message = abort.message();
    }
    lower_aborts_in_flight();
  });
  EXPECT_EQ(message,
            "Failed to open circuit: Os { code: 2, kind: NotFound, message: \"No such file or "
            "directory\" }");
  EXPECT_NE(report.find("test_io_error_text.cpp:" + std::to_string(line) + ":"), std::string::npos)
      << report;
  EXPECT_NE(report.find(message), std::string::npos) << report;

  try {
    abort_with_io_error(
        "Failed to mmap circuit",
        IoError::custom(ErrorKind::InvalidData, "memory map length overflows isize"));
  } catch (const CallAbort& abort) {
    message = abort.message();
  }
  lower_aborts_in_flight();
  EXPECT_EQ(message,
            "Failed to mmap circuit: Custom { kind: InvalidData, error: \"memory map length "
            "overflows isize\" }");
}

TEST(RenderIoError, KindOfEachNumber) {
  // The kind a caller reads in the message, for the numbers the module's calls meet (open,
  // statx, mmap, msync, fsync, getrandom) and the ones whose kind is a choice.
  const std::pair<int, std::string_view> cases[] = {
      {ENOENT, "NotFound"},
      {EACCES, "PermissionDenied"},
      {EPERM, "PermissionDenied"},
      {EISDIR, "IsADirectory"},
      {ENOTDIR, "NotADirectory"},
      {EEXIST, "AlreadyExists"},
      {EAGAIN, "WouldBlock"},
      {EWOULDBLOCK, "WouldBlock"},
      {EROFS, "ReadOnlyFilesystem"},
      {ENOSPC, "StorageFull"},
      {EDQUOT, "QuotaExceeded"},
      {EFBIG, "FileTooLarge"},
      {ETXTBSY, "ExecutableFileBusy"},
      {EBUSY, "ResourceBusy"},
      {ENAMETOOLONG, "InvalidFilename"},
      {ENOMEM, "OutOfMemory"},
      {EINTR, "Interrupted"},
      {ENOSYS, "Unsupported"},
      {EOPNOTSUPP, "Unsupported"},
      {ENOTSUP, "Unsupported"},
      {EINVAL, "InvalidInput"},
      // No kind of their own.
      {EMFILE, "Uncategorized"},
      {ENFILE, "Uncategorized"},
      {EIO, "Uncategorized"},
      {ENODEV, "Uncategorized"},
      {EOVERFLOW, "Uncategorized"},
      {0, "Uncategorized"},
      {-1, "Uncategorized"},
  };
  for (const auto& [code, kind] : cases) {
    const std::string rendered = render_io_error(IoError::from_os(code));
    const std::string expected =
        "Os { code: " + std::to_string(code) + ", kind: " + std::string(kind) + ", message: ";
    EXPECT_EQ(rendered.substr(0, expected.size()), expected) << rendered;
  }
}

TEST(SystemText, CLibraryMessagesCleaned) {
  EXPECT_EQ(system_text(ENOENT), "No such file or directory");
  EXPECT_EQ(system_text(EACCES), "Permission denied");
  EXPECT_EQ(system_text(123456), "Unknown error 123456");

  // Trailing White_Space goes, whatever it is; inner line breaks stay.
  EXPECT_EQ(clean_system_text("Access is denied.\r\n"), "Access is denied.");
  EXPECT_EQ(clean_system_text("two\nlines \t\v\f\u0085\u00a0\u2028\u3000"), "two\nlines");
  EXPECT_EQ(clean_system_text(" \n "), "");
  EXPECT_EQ(clean_system_text(""), "");
  // U+001F and U+200B are not White_Space.
  EXPECT_EQ(clean_system_text("end\x1f"), "end\x1f");
  EXPECT_EQ(clean_system_text("end\u200b"), "end\u200b");
  // Invalid UTF-8 becomes U+FFFD, also when it ends the text.
  EXPECT_EQ(clean_system_text("bad \xff byte\xc3"), "bad \ufffd byte\ufffd");
}

TEST(Quoted, EscapesAndLeavesPrintableTextAlone) {
  EXPECT_EQ(gridflip::quoted(""), "\"\"");
  EXPECT_EQ(gridflip::quoted("plain text, it's fine"), "\"plain text, it's fine\"");
  EXPECT_EQ(gridflip::quoted("a \"quoted\" word"), "\"a \\\"quoted\\\" word\"");
  EXPECT_EQ(gridflip::quoted("C:\\path\\"), "\"C:\\\\path\\\\\"");
  EXPECT_EQ(gridflip::quoted("tab\tcr\rlf\n"), "\"tab\\tcr\\rlf\\n\"");
  EXPECT_EQ(gridflip::quoted(std::string("nul\0end", 7)), "\"nul\\0end\"");
  // Other controls by code point, lower-case hex without leading zeros.
  EXPECT_EQ(gridflip::quoted("\x01\x1b\x7f\u0085"), "\"\\u{1}\\u{1b}\\u{7f}\\u{85}\"");
  // A combining mark is escaped even after a base letter.
  EXPECT_EQ(gridflip::quoted("e\u0301"), "\"e\\u{301}\"");
  EXPECT_EQ(gridflip::quoted("\u20dd"), "\"\\u{20dd}\"");  // enclosing mark
  // Non-ASCII printable text is written as it is.
  EXPECT_EQ(gridflip::quoted("Grüße, 日本語, ☃ 😀 \ufffd"), "\"Grüße, 日本語, ☃ 😀 \ufffd\"");
  EXPECT_EQ(gridflip::quoted("\u0903"), "\"\u0903\"");  // a spacing mark that does not extend
  // Separators other than the space, format, private-use and unassigned characters.
  EXPECT_EQ(gridflip::quoted("\u00a0\u2028\u2029\u200b\u00ad\ue000"),
            "\"\\u{a0}\\u{2028}\\u{2029}\\u{200b}\\u{ad}\\u{e000}\"");
  EXPECT_EQ(gridflip::quoted("\u0378\U0010ffff\U000e0001"), "\"\\u{378}\\u{10ffff}\\u{e0001}\"");
  // Grapheme_Extend beyond the marks: a Katakana sound mark and a tag character.
  EXPECT_EQ(gridflip::quoted("\uff9e\U000e0041\u09be"), "\"\\u{ff9e}\\u{e0041}\\u{9be}\"");
  // Invalid UTF-8: one U+FFFD per maximal invalid sequence, as Python's "replace".
  EXPECT_EQ(gridflip::quoted("\xc3("), "\"\ufffd(\"");
  EXPECT_EQ(gridflip::quoted("\xe2\x82"), "\"\ufffd\"");
  EXPECT_EQ(gridflip::quoted("\xed\xa0\x80"), "\"\ufffd\ufffd\ufffd\"");  // an encoded surrogate
  EXPECT_EQ(gridflip::quoted("\xf4\x90\x80\x80"),
            "\"\ufffd\ufffd\ufffd\ufffd\"");                    // beyond U+10FFFF
  EXPECT_EQ(gridflip::quoted("\xc0\xaf"), "\"\ufffd\ufffd\"");  // overlong
}

// Two bytes per code point from the interpreter, whose str.isprintable() uses the same
// definition from its own tables: printable, then a combining or enclosing mark.
std::string interpreter_character_classes() {
  const std::string command = std::string(GRIDFLIP_PYTHON_EXECUTABLE) +
                              " -c \"import sys, unicodedata; sys.stdout.buffer.write(bytes("
                              "b for c in range(0x110000) for b in (chr(c).isprintable(), "
                              "unicodedata.category(chr(c)) in ('Mn', 'Me'))))\"";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string classes;
  char chunk[65536];
  while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
    classes.append(chunk, got);
  ::pclose(pipe);
  return classes;
}

TEST(Quoted, CharacterClassesMatchTheInterpreter) {
  const std::string classes = interpreter_character_classes();
  ASSERT_EQ(classes.size(), 2u * 0x110000);
  const char* flags = classes.data();
  int printable_mismatches = 0;
  int marks_not_extending = 0;
  int extending_beyond_marks = 0;
  for (char32_t c = 0; c < 0x110000; ++c) {
    if (is_printable(c) != (flags[2 * c] != 0)) ++printable_mismatches;
    const bool mark = flags[2 * c + 1] != 0;
    if (mark && !is_grapheme_extended(c)) ++marks_not_extending;
    if (!mark && is_grapheme_extended(c)) ++extending_beyond_marks;
  }
  EXPECT_EQ(printable_mismatches, 0);
  EXPECT_EQ(marks_not_extending, 0);
  // Other_Grapheme_Extend adds a few dozen, not a whole block.
  EXPECT_GT(extending_beyond_marks, 20);
  EXPECT_LT(extending_beyond_marks, 200);
  EXPECT_FALSE(is_grapheme_extended(U'a'));
  EXPECT_FALSE(is_grapheme_extended(0x0903));
  EXPECT_TRUE(is_grapheme_extended(0x200C));
}

}  // namespace
}  // namespace gridflip
