// The circuit file's open, shared mapping, flush and release, and what each failure leaves.
#include "child_process.hpp"
#include "circuit/circuit_map.hpp"
#include "report/report.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gridflip {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "gridflip-circuit-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string pattern_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('0' + (i * 7 + i / 13) % 2);
  return bytes;
}

// The process's open descriptors, without the one the listing itself uses.
std::set<int> open_descriptors() {
  std::set<int> found;
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return found;
  const int own = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) found.insert(fd);
  }
  ::closedir(listing);
  return found;
}

// The permission field of the mapping that holds `address`, or "" if none does.
std::string mapping_permissions(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char permissions[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) == 3 &&
        start <= wanted && wanted < end) {
      return permissions;
    }
  }
  return "";
}

bool file_is_mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

bool descriptor_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(CircuitMap, SharedWritableViewOfTheWholeFile) {
  TempDir dir;
  const std::string path = dir.file("circuit.asc");
  const std::string original = pattern_bytes(3 * 4096 + 123);
  write_file(path, original);

  IoResult<UniqueFd> opened = open_circuit(terminated(path));
  ASSERT_TRUE(opened.ok());
  UniqueFd file = std::move(opened).value();
  EXPECT_GE(file.get(), 3);
  EXPECT_EQ(::fcntl(file.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(::fcntl(file.get(), F_GETFL) & O_ACCMODE, O_RDWR);

  IoResult<CircuitMap> mapped = map_circuit(file);
  ASSERT_TRUE(mapped.ok());
  CircuitMap map = std::move(mapped).value();
  ASSERT_EQ(map.length(), original.size());
  EXPECT_EQ(std::memcmp(map.base(), original.data(), original.size()), 0);

  // The map's own descriptor: the same file, same access, not inherited.
  const int kept = map.kept_handle().get();
  EXPECT_GE(kept, 3);
  EXPECT_NE(kept, file.get());
  EXPECT_EQ(::fcntl(kept, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(::fcntl(kept, F_GETFL) & O_ACCMODE, O_RDWR);

  file.close();
  EXPECT_EQ(mapping_permissions(map.base()), "rw-s");
  EXPECT_EQ(mapping_permissions(map.base() + map.length() - 1), "rw-s");

  std::string expected = original;
  map.base()[5000] = 'X';
  map.base()[map.length() - 1] = 'Y';
  expected[5000] = 'X';
  expected[expected.size() - 1] = 'Y';
  // Shared, not a private copy: another opener sees the stores before any flush.
  EXPECT_EQ(read_file(path), expected);

  EXPECT_TRUE(flush_circuit(map).ok());
  EXPECT_TRUE(flush_circuit(map).ok());  // any number of times
  unmap_circuit(map);
  EXPECT_TRUE(map.is_empty());
  EXPECT_FALSE(descriptor_is_open(kept));
  EXPECT_FALSE(file_is_mapped(path));
  EXPECT_EQ(read_file(path), expected);  // same length, every other byte as it was
}

TEST(CircuitMap, EmptyFileGivesTheEmptyMap) {
  TempDir dir;
  const std::string path = dir.file("empty.asc");
  write_file(path, "");

  IoResult<UniqueFd> opened = open_circuit(terminated(path));
  ASSERT_TRUE(opened.ok());
  const std::set<int> before = open_descriptors();
  {
    IoResult<CircuitMap> mapped = map_circuit(opened.value());
    ASSERT_TRUE(mapped.ok());
    const CircuitMap& map = mapped.value();
    EXPECT_EQ(map.length(), 0u);
    EXPECT_TRUE(map.is_empty());
    EXPECT_NE(map.base(), nullptr);
    EXPECT_FALSE(map.kept_handle().is_open());
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_FALSE(file_is_mapped(path));
    EXPECT_TRUE(flush_circuit(map).ok());
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(CircuitMap, OpenNeitherCreatesNorTruncates) {
  TempDir dir;
  const std::string missing = dir.file("missing.asc");
  IoResult<UniqueFd> failed = open_circuit(terminated(missing));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().form(), IoError::Form::os);
  EXPECT_EQ(failed.error().os_code(), ENOENT);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(open_circuit(terminated(dir.file("no-such-dir/circuit.asc"))).error().os_code(),
            ENOENT);

  const std::string path = dir.file("circuit.asc");
  write_file(path, "0101");
  { EXPECT_TRUE(open_circuit(terminated(path)).ok()); }
  EXPECT_EQ(read_file(path), "0101");
}

TEST(CircuitMap, NulInThePathIsRefusedWithoutOpening) {
  TempDir dir;
  // The part before the NUL names a real file, which must not be opened instead.
  const std::string path = dir.file("circuit.asc");
  write_file(path, "0101");
  const std::set<int> before = open_descriptors();
  for (const std::string& holed :
       {path + std::string(1, '\0'), path + std::string(1, '\0') + "more",
        std::string(1, '\0') + path}) {
    IoResult<UniqueFd> result = open_circuit(terminated(holed));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().form(), IoError::Form::simple);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message(), "strings passed to WinAPI cannot contain NULs");
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CircuitMap, FailuresReleaseWhatTheyMade) {
  TempDir dir;
  const std::string path = dir.file("circuit.asc");
  write_file(path, pattern_bytes(100));
  const std::set<int> before = open_descriptors();

  EXPECT_EQ(open_circuit(terminated(dir.file("missing"))).error().os_code(), ENOENT);
  EXPECT_EQ(open_circuit(terminated(dir.path().string())).error().os_code(), EISDIR);
  EXPECT_FALSE(open_circuit(terminated(path + std::string(1, '\0'))).ok());
  EXPECT_EQ(open_descriptors(), before);

  // A descriptor without write access cannot be mapped shared and writable; the
  // caller's descriptor survives the failure untouched.
  {
    UniqueFd read_only(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(read_only.is_open());
    const std::set<int> with_caller = open_descriptors();
    IoResult<CircuitMap> refused = map_circuit(read_only);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().os_code(), EACCES);
    EXPECT_EQ(open_descriptors(), with_caller);
    EXPECT_TRUE(descriptor_is_open(read_only.get()));
    EXPECT_FALSE(file_is_mapped(path));
  }
  // A bad descriptor fails the length query.
  EXPECT_EQ(map_circuit(UniqueFd()).error().os_code(), EBADF);
  // Special files have no length to map, even where they report a size of 0.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& special : {std::string("/dev/null"), fifo}) {
    IoResult<UniqueFd> opened = open_circuit(terminated(special));
    ASSERT_TRUE(opened.ok()) << special;
    EXPECT_EQ(map_circuit(opened.value()).error().os_code(), ENODEV) << special;
  }

  {
    IoResult<UniqueFd> opened = open_circuit(terminated(path));
    ASSERT_TRUE(opened.ok());
    IoResult<CircuitMap> mapped = map_circuit(opened.value());
    ASSERT_TRUE(mapped.ok());
    EXPECT_TRUE(file_is_mapped(path));
  }
  EXPECT_FALSE(file_is_mapped(path));
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CircuitMap, DescriptorFailureAfterMappingUnmapsTheView) {
  TempDir dir;
  const std::string path = dir.file("circuit.asc");
  write_file(path, pattern_bytes(100));
  const std::string answer = run_in_child([&]() -> std::string {
    IoResult<UniqueFd> opened = open_circuit(terminated(path));
    if (!opened.ok()) return "open failed";
    // Use up every descriptor the limit allows, so only the duplicate can fail.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 64;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return "setrlimit failed";
    std::vector<int> fillers;
    for (int fd; (fd = ::dup(opened.value().get())) >= 0;) fillers.push_back(fd);
    IoResult<CircuitMap> mapped = map_circuit(opened.value());
    for (int fd : fillers) ::close(fd);
    if (mapped.ok()) return "mapped";
    return std::to_string(mapped.error().os_code()) + (file_is_mapped(path) ? " view left" : "");
  });
  EXPECT_EQ(answer, std::to_string(EMFILE));
}

TEST(CircuitMap, DescriptorsStayClearOfTheStandardStreams) {
  TempDir dir;
  const std::string path = dir.file("circuit.asc");
  const std::string original = pattern_bytes(64);
  write_file(path, original);
  const std::string answer = run_in_child([&]() -> std::string {
    std::string seen;
    ::close(STDERR_FILENO);
    {
      IoResult<UniqueFd> opened = open_circuit(terminated(path));
      if (!opened.ok()) return "open failed";
      seen += std::to_string(opened.value().get() >= 3) + std::to_string(descriptor_is_open(2));
      // A report written now must go nowhere, not into the circuit file.
      write_final_stderr("stray report\n");
    }
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    IoResult<UniqueFd> opened = open_circuit(terminated(path));
    if (!opened.ok()) return "open failed";
    seen += std::to_string(opened.value().get() >= 3);
    for (int fd = 0; fd < 3; ++fd) seen += std::to_string(descriptor_is_open(fd));
    IoResult<CircuitMap> mapped = map_circuit(opened.value());
    if (!mapped.ok()) return "map failed";
    opened.value().close();
    seen += std::to_string(mapped.value().kept_handle().get() >= 3);
    for (int fd = 0; fd < 3; ++fd) seen += std::to_string(descriptor_is_open(fd));
    write_final_stderr("stray report\n");
    return seen;
  });
  EXPECT_EQ(answer,
            "10"
            "1000"
            "1000");
  EXPECT_EQ(read_file(path), original);
}

TEST(CircuitMap, OwnershipMovesAndReleasesOnce) {
  TempDir dir;
  const std::string first_path = dir.file("first.asc");
  const std::string second_path = dir.file("second.asc");
  write_file(first_path, "0000");
  write_file(second_path, "1111");
  const std::set<int> before = open_descriptors();
  {
    UniqueFd first_file = std::move(open_circuit(terminated(first_path))).value();
    UniqueFd second_file = std::move(open_circuit(terminated(second_path))).value();
    CircuitMap first = std::move(map_circuit(first_file)).value();
    CircuitMap second = std::move(map_circuit(second_file)).value();
    const int first_kept = first.kept_handle().get();

    CircuitMap moved(std::move(first));
    EXPECT_TRUE(first.is_empty());
    EXPECT_FALSE(first.kept_handle().is_open());
    unmap_circuit(first);  // the moved-from map releases nothing
    moved.base()[0] = '1';
    EXPECT_EQ(read_file(first_path), "1000");

    // Assigning over a live map releases it.
    moved = std::move(second);
    EXPECT_FALSE(descriptor_is_open(first_kept));
    EXPECT_FALSE(file_is_mapped(first_path));
    moved.base()[0] = '0';
    EXPECT_EQ(read_file(second_path), "0111");

    // UniqueFd: assignment closes what it held; close twice is harmless.
    const int held = first_file.get();
    first_file = std::move(second_file);
    EXPECT_FALSE(descriptor_is_open(held));
    EXPECT_FALSE(second_file.is_open());
    first_file.close();
    first_file.close();
    EXPECT_FALSE(first_file.is_open());
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(CircuitMap, LengthBeyondTheSignedWordIsRefused) {
  // As in a 32-bit build: 2^31 - 1 bytes pass, 2^31 do not.
  constexpr std::uintmax_t largest = 0x7FFFFFFF;
  EXPECT_TRUE(check_map_length(largest, largest).ok());
  const IoStatus refused = check_map_length(largest + 1, largest);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().form(), IoError::Form::custom);
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(refused.error().message(), "memory map length overflows isize");
}

}  // namespace
}  // namespace gridflip
