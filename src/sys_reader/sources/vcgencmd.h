// The board's firmware tool, vcgencmd: the throttle word and the ARM clock.
//
// Promises: the tool found once on PATH and run with a bound (a second, its
// output capped, its whole process group killed when it overruns or the
// caller cancels), and a pure parse of its output into the integer as read.
// Only the tool's exit status and standard output are relied on.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::os {
class Environment;  // os/child_process.h
}  // namespace quillmere::os

namespace quillmere::sys_reader {

inline constexpr const char* kFirmwareTool = "vcgencmd";

// The tool as found on PATH: one lookup serves both queries; nullopt (no
// executable found) means no process is started. `environment` gives PATH
// and the tool's environment (nullptr: the process's own).
struct FirmwareTool {
  std::string path;  // where it was found
  std::string name;  // the bare name, the program's argv[0]
  std::shared_ptr<const os::Environment> environment;
};
std::optional<FirmwareTool> find_firmware_tool(const char* name = kFirmwareTool,
                                               std::shared_ptr<const os::Environment> environment = nullptr);

inline constexpr std::array<const char*, 1> kThrottledArgs{"get_throttled"};
inline constexpr std::array<const char*, 2> kArmClockArgs{"measure_clock", "arm"};

// The tool's standard output, decoded (ill-formed UTF-8 becomes U+FFFD, so
// that stray bytes away from the number do not cost the value), when it ran
// and exited with code 0; nullopt for every other outcome, a run past its
// bound included. `cancel_fd` (see os::RunLimits) ends a run in progress at
// once.
std::optional<std::string> run_firmware_tool(const FirmwareTool& tool, std::span<const char* const> args,
                                             int cancel_fd = -1);

// "throttled=0x50005\n": the hex word from the first "0x" (lower-case x only)
// to the end of the whole output, trimmed; nullopt when malformed.
std::optional<std::uint32_t> parse_throttled(std::string_view output) noexcept;
// "frequency(48)=1500345728\n": the decimal from the first '=' to the end of
// the whole output, trimmed; nullopt when malformed.
std::optional<std::uint64_t> parse_arm_clock(std::string_view output) noexcept;

}  // namespace quillmere::sys_reader
