// Whole-file reading straight into the string that is returned or into a
// buffer kept from reading to reading, and directory listings.
#include "sys_reader/file_read.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <vector>

#include <dirent.h>    // opendir, readdir, closedir
#include <fcntl.h>     // open, O_NONBLOCK
#include <sys/stat.h>  // fstat, S_ISREG

#include "sys_reader/utf8.h"

namespace quillmere::sys_reader {
namespace {

// Owns a DIR* so that every path out of the listing closes it.
class DirHandle {
 public:
  explicit DirHandle(const char* path) noexcept : dir_(::opendir(path)) {}
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  ~DirHandle() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const noexcept { return dir_; }

 private:
  DIR* dir_;
};

}  // namespace

os::UniqueFd open_source(const char* path, std::size_t limit) noexcept {
  os::UniqueFd fd(
      os::retry_on_eintr([path] { return ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
  if (!fd) return fd;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<std::uint64_t>(info.st_size) > limit) {
    return {};
  }
  return fd;
}

ssize_t read_until_full(int fd, std::span<char> buffer) noexcept {
  std::size_t used = 0;
  while (used < buffer.size()) {
    const std::span<char> rest = buffer.subspan(used);
    const ssize_t n = os::read_retrying(fd, rest.data(), rest.size());
    if (n < 0) return -1;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(used);
}

std::optional<std::string> read_whole_file(const char* path, std::size_t limit) {
  try {
    const os::UniqueFd fd = open_source(path, limit);
    if (!fd) return std::nullopt;
    // The size that /proc and /sys report (0 or 4096) says nothing about the
    // content, so read until read() returns 0. Nearly every file fits the
    // first buffer, on the stack, and is copied once into a string of its
    // exact size. A longer one is read in pieces and each piece copied once
    // into a string reserved at the total size: growing the string while
    // reading instead would zero-fill and move memory that is about to be
    // overwritten, and writing memory is what a large file costs. A file
    // that grows past `limit` while it is read is given up as soon as it
    // does, so it never costs more than the limit and a piece.
    constexpr std::size_t kFirst = 4096;
    constexpr std::size_t kPiece = 65536;
    // Not zeroed: read() fills what is used of it.
    std::array<char, kFirst> first;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    const ssize_t first_used = read_until_full(fd.get(), first);
    if (first_used < 0) return std::nullopt;
    if (static_cast<std::size_t>(first_used) > limit) return std::nullopt;
    if (static_cast<std::size_t>(first_used) < kFirst) {
      return std::string(first.data(), static_cast<std::size_t>(first_used));
    }
    // Uninitialised pieces, which read() fills.
    std::vector<std::unique_ptr<char[]>> pieces;  // NOLINT(*-avoid-c-arrays)
    std::vector<std::size_t> sizes;
    std::size_t total = kFirst;
    for (;;) {
      pieces.push_back(std::make_unique_for_overwrite<char[]>(kPiece));  // NOLINT(*-avoid-c-arrays)
      const ssize_t used = read_until_full(fd.get(), std::span<char>(pieces.back().get(), kPiece));
      if (used < 0) return std::nullopt;
      sizes.push_back(static_cast<std::size_t>(used));
      total += sizes.back();
      if (total > limit) return std::nullopt;
      if (sizes.back() < kPiece) break;
    }
    std::string content;
    content.reserve(total);
    content.append(first.data(), kFirst);
    for (std::size_t i = 0; i < pieces.size(); ++i) content.append(pieces[i].get(), sizes[i]);
    return content;
  } catch (const std::exception&) {
    // Out of memory: treated like any other file we could not read.
    return std::nullopt;
  }
}

std::optional<std::string> read_text_file(const char* path, std::size_t limit) {
  std::optional<std::string> content = read_whole_file(path, limit);
  if (content && !is_valid_utf8(*content)) return std::nullopt;
  return content;
}

std::string read_source_text(const Roots& roots, const SourceFile& file) {
  return read_text_file(roots.path_of(file).c_str()).value_or(std::string());
}

// Growth is steep because every byte of an outgrown buffer was written and
// copied, while capacity never written costs no memory. The buffer never
// grows past one byte more than the limit: a file that fills that byte is
// too large and unreadable.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a bound and a hint, each named for its use
bool SourceBuffer::read(const char* path, std::size_t limit, std::size_t size_hint) noexcept {
  size_ = 0;
  try {
    const os::UniqueFd fd = open_source(path, limit);
    if (!fd) return false;
    constexpr std::size_t kFirstCapacity = 16384;
    constexpr std::size_t kGrowth = 16;
    const std::size_t most = limit + 1;
    std::size_t used = 0;
    for (;;) {
      if (used == capacity_) {
        if (used >= most) return false;
        // The limits keep every product here far from overflowing, also in
        // a 32-bit size_t.
        const std::size_t grown = kGrowth * std::min(capacity_, most);
        const std::size_t hinted = std::min(size_hint, most) + 4096;
        const std::size_t capacity = std::min(std::max({kFirstCapacity, grown, hinted}), most);
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);  // NOLINT(*-avoid-c-arrays)
        if (used != 0) std::memcpy(bigger.get(), storage_.get(), used);
        storage_ = std::move(bigger);
        capacity_ = capacity;
      }
      const ssize_t n = read_until_full(fd.get(), std::span<char>(storage_.get(), capacity_).subspan(used));
      if (n < 0) return false;
      used += static_cast<std::size_t>(n);
      if (used < capacity_) break;
    }
    size_ = used;
    return true;
  } catch (const std::exception&) {
    return false;  // out of memory: like a file that cannot be read
  }
}

std::vector<std::string> directory_entries(const char* dir, std::string_view prefix) {
  std::vector<std::string> names;
  // glibc's opendir opens the directory with O_CLOEXEC.
  const DirHandle handle(dir);
  if (handle.get() == nullptr) return names;
  // A readdir error ends the listing like its end would; the entries found
  // so far are still used.
  while (const dirent* entry = ::readdir(handle.get())) {
    // d_name is the C API's NUL-terminated char array.
    const std::string_view name(entry->d_name);  // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
    if (name == "." || name == "..") continue;
    if (name.substr(0, prefix.size()) == prefix) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quillmere::sys_reader
