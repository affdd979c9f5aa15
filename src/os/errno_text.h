// The text of an errno value, with either strerror_r the C library declares.
//
// glibc (with _GNU_SOURCE, which g++ always sets) declares the GNU form,
// which returns the message and may leave the buffer unused; musl and the
// other libraries declare the POSIX form, which fills the buffer and returns
// 0 or an error number. Overloading on the return type picks the right
// reading at compile time. Thread-safe, unlike strerror.
#pragma once

#include <array>
#include <cstring>  // strerror_r
#include <string>

namespace quillmere::os {

namespace detail {

// GNU form: the message is the result.
inline const char* strerror_message(const char* message, const char* /*buffer*/) noexcept {
  return message != nullptr ? message : "";
}

// POSIX form: the message is in the buffer when the call succeeded.
inline const char* strerror_message(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace detail

inline std::string errno_text(int error_number) {
  std::array<char, 256> buffer{};
  return {detail::strerror_message(strerror_r(error_number, buffer.data(), buffer.size()), buffer.data())};
}

}  // namespace quillmere::os
