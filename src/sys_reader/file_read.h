// Reading a source (a pseudo-file) whole into one buffer, and listing a
// directory of sources.
//
// Promises: one open (O_CLOEXEC, O_NONBLOCK), reads until end of file
// whatever size the file reports, EINTR retried, one close; each byte is
// copied once, from the buffer it was read into to the string returned, which
// has the exact size. Only a regular file is read: a FIFO, a device or a
// socket put where a source belongs could block the reader for ever or hand
// it endless bytes, so it is unreadable, and so is a file that holds more
// than its limit. Failures of any kind (missing file, not a regular file, a
// read error, too large, no memory) give nullopt.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>  // ssize_t

#include "os/unique_fd.h"
#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

// The most one source may hold. The device files grow with the number of
// devices (a host with 100,000 of them writes about 15 MB of /proc/diskstats);
// every other source is a few kilobytes.
inline constexpr std::size_t kSourceLimit = std::size_t{4} << 20;
inline constexpr std::size_t kDeviceSourceLimit = std::size_t{64} << 20;

// Opens `path` read-only and non-blocking (so that opening a FIFO cannot
// wait for a writer), and keeps it only when it is a regular file whose
// reported size is within `limit` (/proc reports 0, sysfs 4096). An invalid
// descriptor otherwise.
os::UniqueFd open_source(const char* path, std::size_t limit) noexcept;

// The whole content of the source at `path`, at most `limit` bytes; the bytes
// are not checked.
std::optional<std::string> read_whole_file(const char* path, std::size_t limit = kSourceLimit);

// Reads from `fd` into `buffer` until it is full or the file ends, EINTR
// retried; the bytes read, or -1 on a read error. A result below
// buffer.size() means the end of the file was reached.
ssize_t read_until_full(int fd, std::span<char> buffer) noexcept;

// read_whole_file, and nullopt also when the content is not valid UTF-8.
std::optional<std::string> read_text_file(const char* path, std::size_t limit = kSourceLimit);

// The text of a source below its root; "" when it cannot be read, which every
// parse turns into a record without values.
std::string read_source_text(const Roots& roots, const SourceFile& file);

// A buffer that one source is read into again and again: its capacity is
// kept from reading to reading, so a file that keeps its size is read
// straight into place, with no allocation. The bytes are not checked.
class SourceBuffer {
 public:
  // Reads the source at `path` (at most `limit` bytes) in place of the
  // buffer's content; false, with the buffer empty, when it cannot be read
  // (memory that runs out included). When the buffer must grow, it takes at
  // least `size_hint` bytes (the size of an earlier reading).
  bool read(const char* path, std::size_t limit, std::size_t size_hint) noexcept;
  std::string_view text() const noexcept { return {storage_.get(), size_}; }

 private:
  std::unique_ptr<char[]> storage_;  // NOLINT(*-avoid-c-arrays): uninitialised bytes that read() fills
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// The entry names of `dir` that begin with `prefix`, sorted byte-wise (the
// same order on every system, whatever the locale), "." and ".." left out;
// empty when the directory cannot be listed.
std::vector<std::string> directory_entries(const char* dir, std::string_view prefix = {});

}  // namespace quillmere::sys_reader
