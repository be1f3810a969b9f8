// The limits of 4 GiB and of the short length field. Records, append failures and two processes
// appending to one file are tested through the Python module (test_faults.py).
#include "metadata_store.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using Location = MetadataStore::Location;

// A fresh directory per test, removed after it.
class MetadataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(mkdtemp(dir_.data()), nullptr); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path bin() const { return fs::path(dir_) / "metadata.bin"; }

  std::string dir_ = (fs::temp_directory_path() / "ostrel-meta-XXXXXX").string();
};

TEST_F(MetadataStoreTest, TextLongerThanFourGigabytesIsRefusedBeforeTheFile) {
  if constexpr (sizeof(size_t) < 8) {
    GTEST_SKIP() << "no text of 4 GiB fits a 32-bit address space";
  }
  // Address space only: never touched, so nothing is committed.
  const size_t len = size_t{UINT32_MAX} + 1;
  void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  MetadataStore store(dir_);
  Status s = store.append(1, std::string_view(static_cast<const char*>(p), len));
  munmap(p, len);
  EXPECT_EQ(s.message(), "Metadata too long (max 4GB)");
  EXPECT_EQ(MetadataStore("").file_path(), "metadata.bin");
  EXPECT_FALSE(fs::exists(bin()));
  EXPECT_EQ(store.slot_count(), 0u);
}

TEST_F(MetadataStoreTest, RecordMayStartAtTheLastOffsetButNotBeyond) {
  std::ofstream(bin()).close();
  fs::resize_file(bin(), 4294967295u);  // sparse
  MetadataStore store(dir_ + "/");
  EXPECT_EQ(store.file_path(), bin().string());
  ASSERT_TRUE(store.append(1, "ab").ok());
  EXPECT_EQ(store.location(1), (Location{4294967295u, 2}));
  EXPECT_EQ(store.get(1), "ab");
  EXPECT_EQ(store.append(2, "cd").message(), "File too large (max 4GB)");
  EXPECT_EQ(fs::file_size(bin()), 4294967297u);
  EXPECT_EQ(store.location(2), std::nullopt);
}

// Lengths around the 16-bit field, re-added under one id in every order:
// each record reads back whole, and a short record replacing a long one
// does not inherit its length.
TEST_F(MetadataStoreTest, LengthsAroundTheShortFieldReadBackWhole) {
  MetadataStore store(dir_);
  uint32_t offset = 0;
  int generation = 0;
  for (size_t length : {3u, 65534u, 65535u, 3u, 65536u, 200000u, 0u, 70000u, 65535u}) {
    const std::string text(length, static_cast<char>('a' + generation++ % 26));
    for (uint32_t id : {7u, 4000000000u}) {
      ASSERT_TRUE(store.append(id, text).ok());
      EXPECT_EQ(store.location(id), (Location{offset, static_cast<uint32_t>(length)})) << length;
      EXPECT_EQ(store.get(id), text) << length;
      offset += static_cast<uint32_t>(length);
    }
  }
}

}  // namespace
}  // namespace ostrel
