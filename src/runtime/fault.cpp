// The standard-error diagnostic of an internal fault, and the build error's text.
#include "runtime/fault.h"

#include <array>
#include <cstddef>
#include <cstdio>  // snprintf

#include <pthread.h>  // pthread_getname_np
#include <unistd.h>   // STDERR_FILENO

#include "os/errno_text.h"
#include "os/unique_fd.h"

namespace quillmere::runtime {

RuntimeBuildError::RuntimeBuildError(int error_number, Resource resource)
    : std::runtime_error(resource == Resource::kThread
                             ? "could not start the worker thread: " + os::errno_text(error_number)
                             : os::errno_text(error_number)),
      error_number_(error_number),
      resource_(resource) {}

void report_internal_fault(std::string_view message) noexcept {
  std::array<char, 32> name{"unnamed"};
  pthread_getname_np(pthread_self(), name.data(), name.size());
  std::array<char, 512> line{};
  const int length = std::snprintf(line.data(), line.size(), "quillmere: internal fault in thread '%s': %.*s\n",
                                   name.data(), static_cast<int>(message.size() > 400 ? 400 : message.size()),
                                   message.data());
  if (length <= 0) return;
  auto size = static_cast<std::size_t>(length);
  if (size >= line.size()) {
    // Truncated by snprintf: keep the line's end so the diagnostic stays one line.
    size = line.size() - 1;
    line[size - 1] = '\n';
  }
  // One write, so that concurrent diagnostics do not interleave mid-line.
  (void)os::write_all(STDERR_FILENO, line.data(), size);
}

}  // namespace quillmere::runtime
