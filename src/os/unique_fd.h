// Move-only owners of file descriptors and pipes.
//
// A UniqueFd holds -1 when it owns nothing and closes its descriptor in a
// noexcept destructor. close() is never retried: on Linux the descriptor is
// released even when close reports EINTR, and a retry could close a
// descriptor that another thread has just been given.
#pragma once

#include <cerrno>
#include <cstddef>
#include <utility>

#include <sys/types.h>  // ssize_t

namespace quillmere::os {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Closes the owned descriptor (if any) and takes ownership of `fd`.
  void reset(int fd = -1) noexcept;
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Calls `call` again for as long as it fails (-1) with EINTR; returns what it
// returned otherwise.
template <typename Call>
auto retry_on_eintr(Call call) noexcept(noexcept(call())) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// The two ends of a pipe, both opened with O_CLOEXEC.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Creates a pipe with O_CLOEXEC on both ends. Returns false with errno set.
bool make_pipe(Pipe& out) noexcept;

// read(2) retried on EINTR. Returns what read returns otherwise.
ssize_t read_retrying(int fd, void* buffer, std::size_t size) noexcept;

// write(2) retried on EINTR until everything is written or an error occurs.
// Returns false on error with errno set.
bool write_all(int fd, const void* data, std::size_t size) noexcept;

// True when `fd` is valid and readable now, without waiting: how a run or a
// pass checks its cancellation descriptor (never true for -1).
bool readable_now(int fd) noexcept;

}  // namespace quillmere::os
