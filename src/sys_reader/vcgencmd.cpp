// The two firmware values, read by running the board's firmware tool and
// picking one number out of what it prints.
//
// Only the tool's exit status and its standard output are relied on. Each
// query runs the tool once, bounded in time and output by run_executable; any
// failure, a non-zero exit or a death by signal gives 0.
#include "sys_reader/readers.h"

#include "os/child_process.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"
#include "sys_reader/utf8.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace quillmere::sys_reader {
namespace {

// The tool's standard output as text when it ran and exited with code 0.
// Ill-formed UTF-8 becomes U+FFFD rather than failing: stray bytes away from
// the number must not cost the value.
std::optional<std::string> run_tool(const FirmwareTool& tool, std::span<const char* const> args, int cancel_fd) {
  os::RunLimits limits;
  limits.cancel_fd = cancel_fd;
  limits.environment = tool.environment.get();
  const std::optional<os::CompletedRun> run = os::run_executable(tool.path, tool.name, args, limits);
  if (!run || !run->exited_normally || run->exit_code != 0) return std::nullopt;
  return decode_utf8_lossy(run->stdout_bytes);
}

constexpr std::array<const char*, 1> kThrottledArgs{"get_throttled"};
constexpr std::array<const char*, 2> kArmClockArgs{"measure_clock", "arm"};

// "throttled=0x50005\n". The number runs from the first "0x" (lower-case x
// only) to the end of the whole output, so any further non-blank text, on
// the same line or a later one, makes it malformed.
std::optional<std::uint32_t> parse_throttled_word(std::string_view output) noexcept {
  const std::size_t marker = output.find("0x");
  if (marker == std::string_view::npos) return std::nullopt;
  return parse_hex_u32(trim_whitespace(output.substr(marker + 2)));
}

// "frequency(48)=1500345728\n". Everything before the first '=' is ignored;
// the rest of the whole output is the number, passed on in the tool's unit.
std::optional<std::uint64_t> parse_arm_clock_value(std::string_view output) noexcept {
  const std::size_t marker = output.find('=');
  if (marker == std::string_view::npos) return std::nullopt;
  return parse_u64(trim_whitespace(output.substr(marker + 1)));
}

}  // namespace

std::uint32_t parse_throttled(std::string_view output) noexcept { return parse_throttled_word(output).value_or(0); }

std::uint64_t parse_arm_clock(std::string_view output) noexcept { return parse_arm_clock_value(output).value_or(0); }

std::optional<FirmwareTool> find_firmware_tool(const char* name,
                                               std::shared_ptr<const os::Environment> environment) {
  std::optional<std::string> path = os::find_executable(name, environment.get());
  if (!path) return std::nullopt;
  return FirmwareTool{std::move(*path), name, std::move(environment)};
}

std::optional<std::uint32_t> try_query_throttled(const FirmwareTool& tool, int cancel_fd) {
  const std::optional<std::string> output = run_tool(tool, kThrottledArgs, cancel_fd);
  return output ? parse_throttled_word(*output) : std::nullopt;
}

std::optional<std::uint64_t> try_query_arm_clock(const FirmwareTool& tool, int cancel_fd) {
  const std::optional<std::string> output = run_tool(tool, kArmClockArgs, cancel_fd);
  return output ? parse_arm_clock_value(*output) : std::nullopt;
}

std::uint32_t query_throttled(const FirmwareTool& tool, int cancel_fd) {
  return try_query_throttled(tool, cancel_fd).value_or(0);
}

std::uint64_t query_arm_clock(const FirmwareTool& tool, int cancel_fd) {
  return try_query_arm_clock(tool, cancel_fd).value_or(0);
}

}  // namespace quillmere::sys_reader
