// UTF-8 checking and repair.
//
// Promises: "well-formed" means what Unicode means by it (no overlong forms,
// no surrogates, nothing above U+10FFFF); repair replaces each maximal
// ill-formed subpart with one U+FFFD, as Unicode recommends, so that the
// same bytes always repair to the same text.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::sys_reader {

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes) noexcept;

// Returns `bytes` with every ill-formed sequence replaced by U+FFFD (one
// replacement per maximal ill-formed subpart). Valid input comes back as is.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace quillmere::sys_reader
