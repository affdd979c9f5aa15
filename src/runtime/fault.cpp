// The standard-error diagnostic of an internal fault.
#include "runtime/fault.h"

#include <cstddef>
#include <cstdio>  // snprintf

#include <pthread.h>  // pthread_getname_np
#include <unistd.h>   // STDERR_FILENO

#include "os/unique_fd.h"

namespace quillmere::runtime {

void report_internal_fault(std::string_view message) noexcept {
  char name[32] = "unnamed";
  pthread_getname_np(pthread_self(), name, sizeof name);
  char line[512];
  const int length = std::snprintf(line, sizeof line, "quillmere: internal fault in thread '%s': %.*s\n", name,
                                   static_cast<int>(message.size() > 400 ? 400 : message.size()), message.data());
  if (length <= 0) return;
  std::size_t size = static_cast<std::size_t>(length);
  if (size >= sizeof line) {
    // Truncated by snprintf: keep the line's end so the diagnostic stays one line.
    size = sizeof line - 1;
    line[size - 1] = '\n';
  }
  // One write, so that concurrent diagnostics do not interleave mid-line.
  (void)os::write_all(STDERR_FILENO, line, size);
}

}  // namespace quillmere::runtime
