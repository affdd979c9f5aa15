// The two firmware values, read by running the board's firmware tool and
// picking one number out of what it prints.
//
// Only the tool's exit status and its standard output are relied on. Each
// query runs the tool once, bounded in time and output by run_program; any
// failure, a non-zero exit or a death by signal gives 0.
#include "sys_reader/readers.h"

#include "os/child_process.h"
#include "sys_reader/text.h"

#include <array>
#include <optional>
#include <span>
#include <string>

namespace quillmere::sys_reader {
namespace {

// The tool's standard output as text when it ran and exited with code 0.
// Ill-formed UTF-8 becomes U+FFFD rather than failing: stray bytes away from
// the number must not cost the value.
std::optional<std::string> run_tool(const char* tool, std::span<const char* const> args) {
  const std::optional<os::CompletedRun> run = os::run_program(tool, args);
  if (!run || !run->exited_normally || run->exit_code != 0) return std::nullopt;
  return decode_utf8_lossy(run->stdout_bytes);
}

}  // namespace

// "throttled=0x50005\n". The number runs from the first "0x" (lower-case x
// only) to the end of the whole output, so any further non-blank text, on
// the same line or a later one, makes it malformed.
std::uint32_t parse_throttled(std::string_view output) noexcept {
  const std::size_t marker = output.find("0x");
  if (marker == std::string_view::npos) return 0;
  return parse_hex_u32(trim_whitespace(output.substr(marker + 2))).value_or(0);
}

// "frequency(48)=1500345728\n". Everything before the first '=' is ignored;
// the rest of the whole output is the number, passed on in the tool's unit.
std::uint64_t parse_arm_clock(std::string_view output) noexcept {
  const std::size_t marker = output.find('=');
  if (marker == std::string_view::npos) return 0;
  return parse_u64_or_zero(trim_whitespace(output.substr(marker + 1)));
}

std::uint32_t query_throttled(const char* tool) {
  static constexpr std::array<const char*, 1> kArgs{"get_throttled"};
  const std::optional<std::string> output = run_tool(tool, kArgs);
  return output ? parse_throttled(*output) : 0;
}

std::uint64_t query_arm_clock(const char* tool) {
  static constexpr std::array<const char*, 2> kArgs{"measure_clock", "arm"};
  const std::optional<std::string> output = run_tool(tool, kArgs);
  return output ? parse_arm_clock(*output) : 0;
}

}  // namespace quillmere::sys_reader
