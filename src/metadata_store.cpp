#include "metadata_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "os_error.h"

namespace ostrel {
namespace {

constexpr char FILE_NAME[] = "metadata.bin";
constexpr uint64_t MAX_U32 = std::numeric_limits<uint32_t>::max();
// Records start anywhere below 4 GiB and may end past it: 32-bit targets
// need the 64-bit file interface (CMakeLists.txt defines _FILE_OFFSET_BITS).
static_assert(sizeof(off_t) == 8, "metadata.bin offsets need a 64-bit off_t");
// Largest byte count passed to one read or write call.
constexpr size_t MAX_IO_CHUNK = 2147483647;

// Owns a file descriptor; closing it also drops any flock() held through it.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);  // the result of close is not examined
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string join_file_name(std::string_view dir) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += FILE_NAME;
  return path;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
  std::string out;
  bool replaced = false;
  size_t copied = 0;  // bytes[0, copied) have been handled in `out`
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Continuation bytes needed, and the range allowed for the first of
    // them (the later ones are always 0x80..0xBF). The narrowed ranges
    // exclude overlong forms, surrogates and code points above U+10FFFF.
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    }
    size_t j = i + 1;
    size_t got = 0;
    while (got < need && j < n) {
      const auto c = static_cast<unsigned char>(bytes[j]);
      if (c < (got == 0 ? lo : 0x80) || c > (got == 0 ? hi : 0xBF)) break;
      ++got;
      ++j;
    }
    if (need > 0 && got == need) {
      i = j;
      continue;
    }
    // [i, j) is a maximal ill-formed subsequence: one replacement for all of
    // it; decoding resumes at the byte that broke it.
    out.append(bytes.substr(copied, i - copied));
    out.append(REPLACEMENT);
    replaced = true;
    i = j;
    copied = j;
  }
  if (!replaced) return std::string(bytes);
  out.append(bytes.substr(copied));
  return out;
}

MetadataStore::MetadataStore(std::string_view dir) : file_path_(join_file_name(dir)) {}

Status MetadataStore::append(uint32_t id, std::string_view text) {
  try {
    if (text.size() > MAX_U32) return Status::Invalid("Metadata too long (max 4GB)");
    // Allocate the slot's page first: once the text is in the file, setting
    // the slot cannot fail, so no written record is left unreferenced for
    // lack of memory.
    if (Status reserved = locations_.reserve(id); !reserved.ok()) return reserved;
    const bool long_text = text.size() >= LONG_LENGTH;
    // A long text's length entry is made before the write for the same
    // reason; a new entry is taken back if the text does not land.
    bool entry_is_new = false;
    if (long_text) entry_is_new = long_lengths_.try_emplace(id).second;
    Status written = write_record(id, text);
    if (!written.ok() && entry_is_new) long_lengths_.erase(id);
    return written;
  } catch (const std::bad_alloc&) {
    return Status::NoMemory();
  }
}

Status MetadataStore::write_record(uint32_t id, std::string_view text) {
  FileHandle file(
      open_retrying(file_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!file.valid()) return os_error(errno);
  // Held until the file is closed: another writer cannot append between
  // our seek and our write.
  while (::flock(file.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return os_error(errno);
  }
  const off_t end = ::lseek(file.get(), 0, SEEK_END);
  if (end < 0) return os_error(errno);
  if (static_cast<uint64_t>(end) > MAX_U32) return Status::Invalid("File too large (max 4GB)");

  size_t done = 0;
  while (done < text.size()) {
    const size_t chunk = std::min(text.size() - done, MAX_IO_CHUNK);
    const ssize_t wrote = ::write(file.get(), text.data() + done, chunk);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (wrote == 0) return Status::Invalid("failed to write whole buffer");
    done += static_cast<size_t>(wrote);
  }

  Result<Packed*> slot = locations_.emplace(id);  // page reserved by append()
  if (!slot.ok()) return slot.status();
  const uint32_t offset = static_cast<uint32_t>(end);
  const bool long_text = text.size() >= LONG_LENGTH;
  **slot = Packed{static_cast<uint16_t>(offset), static_cast<uint16_t>(offset >> 16),
                  long_text ? LONG_LENGTH : static_cast<uint16_t>(text.size())};
  if (long_text) {
    *long_lengths_.find(id) = static_cast<uint32_t>(text.size());  // made by append()
  } else {
    long_lengths_.erase(id);  // a long text replaced by a short one
  }
  return Status::OK();
}

MetadataStore::Location MetadataStore::unpack(uint32_t id, const Packed& p) const {
  const uint32_t offset = uint32_t{p.offset_low} | uint32_t{p.offset_high} << 16;
  if (p.length != LONG_LENGTH) return Location{offset, p.length};
  const uint32_t* length = long_lengths_.find(id);
  return Location{offset, length == nullptr ? 0 : *length};
}

std::optional<std::string> MetadataStore::get(uint32_t id) const {
  try {
    const Packed* found = locations_.find(id);
    if (found == nullptr) return std::nullopt;
    const Location loc = unpack(id, *found);
    FileHandle file(open_retrying(file_path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return std::nullopt;
    std::string bytes(loc.length, '\0');
    size_t done = 0;
    while (done < bytes.size()) {
      const size_t chunk = std::min(bytes.size() - done, MAX_IO_CHUNK);
      const ssize_t got =
          ::pread(file.get(), bytes.data() + done, chunk, static_cast<off_t>(loc.offset) + done);
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      if (got == 0) return std::nullopt;  // the file ends inside the record
      done += static_cast<size_t>(got);
    }
    return decode_utf8_lossy(bytes);
  } catch (const std::exception&) {  // a buffer that cannot be allocated
    return std::nullopt;
  }
}

std::optional<MetadataStore::Location> MetadataStore::location(uint32_t id) const {
  const Packed* found = locations_.find(id);
  if (found == nullptr) return std::nullopt;
  return unpack(id, *found);
}

uint64_t MetadataStore::slot_count() const { return locations_.slot_count(); }

}  // namespace ostrel
