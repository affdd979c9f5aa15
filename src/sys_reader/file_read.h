// Reading a pseudo-file whole into one buffer.
//
// Promises: one open (O_CLOEXEC), reads until end of file whatever size the
// file reports, EINTR retried, one close; each byte is copied once, from the
// buffer it was read into to the string returned, which has the exact size.
// Failures of any kind (missing file, a directory, a read error, no memory)
// give nullopt.
#pragma once

#include <optional>
#include <string>

namespace quillmere::sys_reader {

// The whole content of the file at `path`; the bytes are not checked.
std::optional<std::string> read_whole_file(const char* path);

// read_whole_file, and nullopt also when the content is not valid UTF-8.
std::optional<std::string> read_text_file(const char* path);

}  // namespace quillmere::sys_reader
