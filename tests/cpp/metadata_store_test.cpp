#include "metadata_store.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using Location = MetadataStore::Location;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrel-meta-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path bin() const { return dir_ / "metadata.bin"; }

  fs::path dir_;
};

TEST(MetadataStorePath, JoinsDirectoryAndFileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "metadata.bin"},           {"db", "db/metadata.bin"}, {"/a/b", "/a/b/metadata.bin"},
      {"/a/b/", "/a/b/metadata.bin"}, {"/", "/metadata.bin"},
  };
  for (const auto& [dir, want] : cases) EXPECT_EQ(MetadataStore(dir).file_path(), want) << dir;
}

TEST_F(MetadataStoreTest, RecordsAreConcatenatedAndFoundById) {
  MetadataStore store(dir_.string());
  EXPECT_FALSE(fs::exists(bin()));  // construction touches no file
  ASSERT_TRUE(store.append(5, "0123456789").ok());
  ASSERT_TRUE(store.append(2, "abcd").ok());

  EXPECT_EQ(read_file(bin()), "0123456789abcd");
  EXPECT_EQ(store.location(5), (Location{0, 10}));
  EXPECT_EQ(store.location(2), (Location{10, 4}));
  EXPECT_EQ(store.slot_count(), 6u);
  EXPECT_EQ(store.get(5), "0123456789");
  EXPECT_EQ(store.get(2), "abcd");
  for (uint32_t id : {0u, 1u, 3u, 4u, 6u, 1000u}) EXPECT_EQ(store.get(id), std::nullopt) << id;
}

TEST_F(MetadataStoreTest, SecondAppendForAnIdRepointsItsSlot) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "first").ok());
  ASSERT_TRUE(store.append(1, "second").ok());
  EXPECT_EQ(read_file(bin()), "firstsecond");
  EXPECT_EQ(store.location(1), (Location{5, 6}));
  EXPECT_EQ(store.get(1), "second");
}

TEST_F(MetadataStoreTest, EmptyTextIsRecordedWithLengthZero) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(3, "").ok());
  EXPECT_TRUE(fs::exists(bin()));
  EXPECT_EQ(fs::file_size(bin()), 0u);
  EXPECT_EQ(store.location(3), (Location{0, 0}));
  EXPECT_EQ(store.get(3), "");
  ASSERT_TRUE(store.append(4, "x").ok());
  EXPECT_EQ(store.location(4), (Location{0, 1}));
}

TEST_F(MetadataStoreTest, NewStoreAppendsAfterExistingBytesAndSeesNoOldRecord) {
  {
    MetadataStore earlier(dir_.string());
    ASSERT_TRUE(earlier.append(1, std::string(100, 'x')).ok());
  }
  MetadataStore store(dir_.string());
  EXPECT_EQ(store.get(1), std::nullopt);
  ASSERT_TRUE(store.append(0, "abc").ok());
  EXPECT_EQ(store.location(0), (Location{100, 3}));
  EXPECT_EQ(store.get(0), "abc");
}

TEST_F(MetadataStoreTest, UnreadableRecordYieldsNothing) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "hello").ok());
  ASSERT_TRUE(store.append(2, "world").ok());
  fs::resize_file(bin(), 7);  // cuts into record 2
  EXPECT_EQ(store.get(1), "hello");
  EXPECT_EQ(store.get(2), std::nullopt);
  fs::remove(bin());
  EXPECT_EQ(store.get(1), std::nullopt);
}

TEST_F(MetadataStoreTest, IllFormedBytesInTheFileReadAsReplacementCharacters) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(0, "{\"a\":\"\xC3\xA9\"}").ok());
  write_file(bin(), "{\"a\":\"\xC3\xC3\"}");
  EXPECT_EQ(store.get(0), "{\"a\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

// Expected outputs are Python's bytes.decode('utf-8', 'replace').
TEST(DecodeUtf8Lossy, ReplacesEachMaximalIllFormedSubsequence) {
  const std::string kR = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"ok", "ok"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBD", kR},
      {"\xFF", kR},
      {"a\x80"
       "b",
       "a" + kR + "b"},
      {"\xC0\xAF", kR + kR},                    // overlong lead
      {"\xE0\x80\x80", kR + kR + kR},           // overlong three-byte form
      {"\xE0\xA0", kR},                         // truncated at the end
      {"\xED\xA0\x80", kR + kR + kR},           // surrogate
      {"\xF0\x9F\x98", kR},                     // truncated four-byte form
      {"\xF4\x90\x80\x80", kR + kR + kR + kR},  // above U+10FFFF
      {"\xF5\x80", kR + kR},
      {"\xE2\x82\xAC\xE2\x82", "\xE2\x82\xAC" + kR},
      {"\xC2", kR},
      {"\xC2\xC2\xA9", kR + "\xC2\xA9"},
      {"\xF0\x80\x80\x80x", kR + kR + kR + kR + "x"},
      {"\xE1\x80\xE1\x80\x80", kR + "\xE1\x80\x80"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(decode_utf8_lossy(in), want) << in;
}

TEST_F(MetadataStoreTest, OpenFailureReportsTheOsErrorAndLeavesLocations) {
  write_file(dir_ / "plain", "not a directory");
  MetadataStore store((dir_ / "plain").string());
  Status s = store.append(1, "abc");
  EXPECT_EQ(s.code(), Status::Code::kInvalid);
  EXPECT_EQ(s.message(), "Not a directory (os error 20)");
  EXPECT_EQ(store.slot_count(), 0u);
  EXPECT_EQ(store.get(1), std::nullopt);
}

TEST_F(MetadataStoreTest, WriteFailureReportsTheOsErrorAndLeavesLocations) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "abc").ok());
  fs::remove(bin());
  fs::create_symlink("/dev/full", bin());
  for (uint32_t id : {1u, 7u}) {
    Status s = store.append(id, "xyz");
    EXPECT_EQ(s.message(), "No space left on device (os error 28)");
  }
  EXPECT_EQ(store.location(1), (Location{0, 3}));
  EXPECT_EQ(store.location(7), std::nullopt);
  EXPECT_EQ(store.slot_count(), 2u);
}

TEST_F(MetadataStoreTest, TextLongerThanFourGigabytesIsRefusedBeforeTheFile) {
  // Address space only: never touched, so nothing is committed.
  const size_t len = size_t{1} << 32;
  void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  MetadataStore store(dir_.string());
  Status s = store.append(1, std::string_view(static_cast<const char*>(p), len));
  munmap(p, len);
  EXPECT_EQ(s.message(), "Metadata too long (max 4GB)");
  EXPECT_FALSE(fs::exists(bin()));
  EXPECT_EQ(store.slot_count(), 0u);
}

TEST_F(MetadataStoreTest, RecordMayStartAtTheLastOffsetButNotBeyond) {
  write_file(bin(), "");
  fs::resize_file(bin(), 4294967295u);  // sparse
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "ab").ok());
  EXPECT_EQ(store.location(1), (Location{4294967295u, 2}));
  EXPECT_EQ(store.get(1), "ab");

  Status s = store.append(2, "cd");
  EXPECT_EQ(s.message(), "File too large (max 4GB)");
  EXPECT_EQ(fs::file_size(bin()), 4294967297u);
  EXPECT_EQ(store.location(2), std::nullopt);
}

TEST_F(MetadataStoreTest, LargestIdIsStoredWithoutGrowingPerIdMemory) {
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(4294967295u, "last").ok());
  EXPECT_EQ(store.slot_count(), 4294967296u);
  EXPECT_EQ(store.get(4294967295u), "last");
  EXPECT_EQ(store.get(4294967294u), std::nullopt);
}

// Each child process appends its own texts through its own store, then reads
// every one back: an offset that pointed at the other writer's bytes shows.
TEST_F(MetadataStoreTest, ConcurrentProcessesEachReadBackTheirOwnRecords) {
  constexpr int kWriters = 2;
  constexpr uint32_t kRecords = 3000;
  auto text_of = [](int writer, uint32_t i) {
    return "{\"w\":" + std::to_string(writer) + ",\"i\":" + std::to_string(i) + ",\"pad\":\"" +
           std::string(i % 37, static_cast<char>('a' + writer)) + "\"}";
  };
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      MetadataStore store(dir_.string());
      int bad = 0;
      for (uint32_t i = 0; i < kRecords; ++i) bad += !store.append(i, text_of(w, i)).ok();
      for (uint32_t i = 0; i < kRecords; ++i) bad += store.get(i) != text_of(w, i);
      _exit(bad == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  size_t expected_size = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (uint32_t i = 0; i < kRecords; ++i) expected_size += text_of(w, i).size();
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(fs::file_size(bin()), expected_size);
}

}  // namespace
}  // namespace ostrel
