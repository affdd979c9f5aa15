// Reading a pseudo-file whole into one buffer.
//
// Promises: one open (O_CLOEXEC), reads until end of file whatever size the
// file reports, EINTR retried, one close; each byte is copied once, from the
// buffer it was read into to the string returned, which has the exact size.
// Failures of any kind (missing file, a directory, a read error, no memory)
// give nullopt.
#pragma once

#include <optional>
#include <span>
#include <string>

#include <sys/types.h>  // ssize_t

namespace quillmere::sys_reader {

// The whole content of the file at `path`; the bytes are not checked.
std::optional<std::string> read_whole_file(const char* path);

// Reads from `fd` into `buffer` until it is full or the file ends, EINTR
// retried; the bytes read, or -1 on a read error. A result below
// buffer.size() means the end of the file was reached.
ssize_t read_until_full(int fd, std::span<char> buffer) noexcept;

// read_whole_file, and nullopt also when the content is not valid UTF-8.
std::optional<std::string> read_text_file(const char* path);

}  // namespace quillmere::sys_reader
