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
  EXPECT_FALSE(fs::exists(bin()));        // construction touches no file
  ASSERT_TRUE(store.append(3, "").ok());  // creates the file, writes nothing
  EXPECT_EQ(fs::file_size(bin()), 0u);
  EXPECT_EQ(store.location(3), (Location{0, 0}));
  EXPECT_EQ(store.get(3), "");
  ASSERT_TRUE(store.append(5, "0123456789").ok());
  ASSERT_TRUE(store.append(2, "abcd").ok());
  EXPECT_EQ(read_file(bin()), "0123456789abcd");
  EXPECT_EQ(store.location(5), (Location{0, 10}));
  EXPECT_EQ(store.location(2), (Location{10, 4}));
  EXPECT_EQ(store.slot_count(), 6u);
  EXPECT_EQ(store.get(5), "0123456789");
  for (uint32_t id : {0u, 1u, 4u, 6u, 1000u}) EXPECT_EQ(store.get(id), std::nullopt) << id;

  ASSERT_TRUE(store.append(2, "second").ok());  // repoints the slot
  EXPECT_EQ(read_file(bin()), "0123456789abcdsecond");
  EXPECT_EQ(store.location(2), (Location{14, 6}));
  EXPECT_EQ(store.get(2), "second");

  // The largest id needs no per-id memory up to it.
  ASSERT_TRUE(store.append(4294967295u, "last").ok());
  EXPECT_EQ(store.slot_count(), 4294967296u);
  EXPECT_EQ(store.get(4294967295u), "last");
  EXPECT_EQ(store.get(4294967294u), std::nullopt);
}

TEST_F(MetadataStoreTest, OpenAndWriteFailuresReportTheOsErrorAndLeaveLocations) {
  write_file(dir_ / "plain", "not a directory");
  MetadataStore bad_dir((dir_ / "plain").string());
  Status open_failure = bad_dir.append(1, "abc");
  EXPECT_EQ(open_failure.code(), Status::Code::kInvalid);
  EXPECT_EQ(open_failure.message(), "Not a directory (os error 20)");
  EXPECT_EQ(bad_dir.slot_count(), 0u);
  EXPECT_EQ(bad_dir.get(1), std::nullopt);

  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "abc").ok());
  fs::remove(bin());
  fs::create_symlink("/dev/full", bin());
  for (uint32_t id : {1u, 7u})
    EXPECT_EQ(store.append(id, "xyz").message(), "No space left on device (os error 28)");
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
  for (int w = 0; w < kWriters; ++w)
    for (uint32_t i = 0; i < kRecords; ++i) expected_size += text_of(w, i).size();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(fs::file_size(bin()), expected_size);
}

}  // namespace
}  // namespace ostrel
