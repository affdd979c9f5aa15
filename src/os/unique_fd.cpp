// Descriptor owners and the EINTR-safe wrappers around the calls that use them.
#include "os/unique_fd.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <span>

#include <fcntl.h>   // O_CLOEXEC, pipe2
#include <poll.h>    // poll
#include <unistd.h>  // close, read, write

namespace quillmere::os {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) {
    // Not retried on EINTR: Linux has already released the descriptor.
    ::close(fd_);
  }
  fd_ = fd;
}

bool make_pipe(Pipe& out) noexcept {
  std::array<int, 2> fds{};
  if (::pipe2(fds.data(), O_CLOEXEC) != 0) return false;
  out.read_end.reset(fds[0]);
  out.write_end.reset(fds[1]);
  return true;
}

ssize_t read_retrying(int fd, void* buffer, std::size_t size) noexcept {
  return retry_on_eintr([=] { return ::read(fd, buffer, size); });
}

bool write_all(int fd, const void* data, std::size_t size) noexcept {
  std::span<const std::byte> rest(static_cast<const std::byte*>(data), size);
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    rest = rest.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool readable_now(int fd) noexcept {
  if (fd < 0) return false;
  pollfd polled{fd, POLLIN, 0};
  return retry_on_eintr([&] { return ::poll(&polled, 1, 0); }) > 0 && (polled.revents & POLLIN) != 0;
}

}  // namespace quillmere::os
