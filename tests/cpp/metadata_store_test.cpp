// Append failures (full disk, a missing directory, a file above 4 GiB) and
// two processes appending to one file are tested through the Python module
// (tests/python/test_faults.py).
#include "metadata_store.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using Location = MetadataStore::Location;

class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrel-meta-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path bin() const { return dir_ / "metadata.bin"; }
  std::string contents() const {
    std::ostringstream s;
    s << std::ifstream(bin(), std::ios::binary).rdbuf();
    return s.str();
  }

  fs::path dir_;
};

TEST_F(MetadataStoreTest, RecordsAreConcatenatedAndFoundById) {
  EXPECT_EQ(MetadataStore("").file_path(), "metadata.bin");
  EXPECT_EQ(MetadataStore("/a/").file_path(), "/a/metadata.bin");
  MetadataStore store(dir_.string());
  EXPECT_FALSE(fs::exists(bin()));        // construction touches no file
  ASSERT_TRUE(store.append(3, "").ok());  // creates the file, writes nothing
  EXPECT_EQ(fs::file_size(bin()), 0u);
  EXPECT_EQ(store.location(3), (Location{0, 0}));
  EXPECT_EQ(store.get(3), "");
  ASSERT_TRUE(store.append(5, "0123456789").ok());
  ASSERT_TRUE(store.append(2, "abcd").ok());
  ASSERT_TRUE(store.append(2, "second").ok());  // repoints the slot
  EXPECT_EQ(contents(), "0123456789abcdsecond");
  EXPECT_EQ(store.location(5), (Location{0, 10}));
  EXPECT_EQ(store.location(2), (Location{14, 6}));
  EXPECT_EQ(store.get(2), "second");
  EXPECT_EQ(store.slot_count(), 6u);
  for (uint32_t id : {0u, 1u, 4u, 6u, 1000u}) EXPECT_EQ(store.get(id), std::nullopt) << id;
  // The largest id needs no per-id memory up to it.
  ASSERT_TRUE(store.append(4294967295u, "last").ok());
  EXPECT_EQ(store.slot_count(), 4294967296u);
  EXPECT_EQ(store.get(4294967295u), "last");
  EXPECT_EQ(store.get(4294967294u), std::nullopt);
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
  std::ofstream(bin()).close();
  fs::resize_file(bin(), 4294967295u);  // sparse
  MetadataStore store(dir_.string());
  ASSERT_TRUE(store.append(1, "ab").ok());
  EXPECT_EQ(store.location(1), (Location{4294967295u, 2}));
  EXPECT_EQ(store.get(1), "ab");
  EXPECT_EQ(store.append(2, "cd").message(), "File too large (max 4GB)");
  EXPECT_EQ(fs::file_size(bin()), 4294967297u);
  EXPECT_EQ(store.location(2), std::nullopt);
}

}  // namespace
}  // namespace ostrel
