// Whole-file reading straight into the string that is returned.
#include "sys_reader/file_read.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <vector>

#include <fcntl.h>     // open, O_NONBLOCK
#include <sys/stat.h>  // fstat, S_ISREG

#include "sys_reader/utf8.h"

namespace quillmere::sys_reader {

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

}  // namespace quillmere::sys_reader
