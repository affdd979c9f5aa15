// Running the firmware tool and picking one number out of what it prints.
#include "sys_reader/sources/vcgencmd.h"

#include <utility>

#include "os/child_process.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"
#include "sys_reader/utf8.h"

namespace quillmere::sys_reader {

std::optional<FirmwareTool> find_firmware_tool(const char* name,
                                               std::shared_ptr<const os::Environment> environment) {
  std::optional<std::string> path = os::find_executable(name, environment.get());
  if (!path) return std::nullopt;
  return FirmwareTool{std::move(*path), name, std::move(environment)};
}

std::optional<std::string> run_firmware_tool(const FirmwareTool& tool, std::span<const char* const> args,
                                             int cancel_fd) {
  os::RunLimits limits;
  limits.cancel_fd = cancel_fd;
  limits.environment = tool.environment.get();
  const std::optional<os::CompletedRun> run = os::run_executable(tool.path, tool.name, args, limits);
  if (!run || !run->exited_normally || run->exit_code != 0) return std::nullopt;
  return decode_utf8_lossy(run->stdout_bytes);
}

// Any further non-blank text after the number, on the same line or a later
// one, makes it malformed.
std::optional<std::uint32_t> parse_throttled(std::string_view output) noexcept {
  const std::size_t marker = output.find("0x");
  if (marker == std::string_view::npos) return std::nullopt;
  return parse_hex_u32(trim_whitespace(output.substr(marker + 2)));
}

// Everything before the first '=' is ignored; the number is passed on in the
// tool's unit.
std::optional<std::uint64_t> parse_arm_clock(std::string_view output) noexcept {
  const std::size_t marker = output.find('=');
  if (marker == std::string_view::npos) return std::nullopt;
  return parse_u64(trim_whitespace(output.substr(marker + 1)));
}

}  // namespace quillmere::sys_reader
