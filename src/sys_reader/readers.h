// The system readers: one per source, each a pure parse function over the
// source's text plus a thin function that reads the source's path.
//
// Promises: a reader never fails and never reports. An unreadable source gives
// the reader's fallback (zeros, or a table without lines); a missing or
// malformed field gives 0 for that field alone. Readers keep no state: where
// a difference against an earlier reading is wanted, the caller hands the
// earlier counter (or device table) in; DeviceHistory is the caller-owned
// pair of device tables a sampler keeps. Paths are parameters so that tests
// can point a reader at a fixture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::os {
class Environment;  // os/child_process.h
}  // namespace quillmere::os

namespace quillmere::sys_reader {

inline constexpr const char* kProcStat = "/proc/stat";
inline constexpr const char* kProcLoadavg = "/proc/loadavg";
inline constexpr const char* kProcMeminfo = "/proc/meminfo";
inline constexpr const char* kProcUptime = "/proc/uptime";
inline constexpr const char* kProcVmstat = "/proc/vmstat";
inline constexpr const char* kProcDiskstats = "/proc/diskstats";
inline constexpr const char* kProcNetDev = "/proc/net/dev";
inline constexpr const char* kThermalDir = "/sys/class/thermal";
inline constexpr const char* kFirmwareTool = "vcgencmd";

// --- /proc/stat --------------------------------------------------------------

// Machine-wide CPU time since boot, in USER_HZ ticks, and context switches.
struct CpuTimes {
  std::uint64_t user = 0;  // user + nice
  std::uint64_t system = 0;
  std::uint64_t idle = 0;
  std::uint64_t iowait = 0;
  std::uint64_t irq = 0;
  std::uint64_t softirq = 0;
  std::uint64_t steal = 0;
  std::uint64_t total = 0;                   // sum of the eight columns
  std::uint64_t context_switches = 0;        // since the count handed in, saturating
  std::uint64_t context_switches_total = 0;  // absolute count read
};

CpuTimes parse_cpu_times(std::string_view text, std::uint64_t previous_context_switches_total) noexcept;
CpuTimes read_cpu_times(std::uint64_t previous_context_switches_total, const char* path = kProcStat);

// --- /proc/loadavg -----------------------------------------------------------

struct LoadAverage {
  float run_queue_length = 0.0f;
  float load_avg_1 = 0.0f;
  float load_avg_5 = 0.0f;
  float load_avg_15 = 0.0f;
};

LoadAverage parse_load_average(std::string_view text) noexcept;
LoadAverage read_load_average(const char* path = kProcLoadavg);

// --- /proc/meminfo -----------------------------------------------------------

struct MemoryUsage {
  std::uint64_t mem_total_bytes = 0;
  std::uint64_t mem_used_bytes = 0;  // total - (free + buffers + cached), or 0
};

MemoryUsage parse_memory_usage(std::string_view text) noexcept;
MemoryUsage read_memory_usage(const char* path = kProcMeminfo);

// --- /proc/uptime ------------------------------------------------------------

double parse_uptime(std::string_view text) noexcept;
double read_uptime(const char* path = kProcUptime);

// --- /proc/vmstat ------------------------------------------------------------

struct PageFaultCounts {
  std::uint64_t minor = 0;  // pgfault since the count handed in, saturating
  std::uint64_t major = 0;  // pgmajfault since the count handed in, saturating
  std::uint64_t minor_total = 0;
  std::uint64_t major_total = 0;
};

PageFaultCounts parse_page_faults(std::string_view text, std::uint64_t previous_minor_total,
                                  std::uint64_t previous_major_total) noexcept;
PageFaultCounts read_page_faults(std::uint64_t previous_minor_total, std::uint64_t previous_major_total,
                                 const char* path = kProcVmstat);

// --- /proc/diskstats and /proc/net/dev ---------------------------------------

// Bytes moved by one device since boot, as the host sees them: in is read
// from a block device or received by an interface, out is written to a block
// device or sent by an interface.
struct DeviceBytes {
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
  bool operator==(const DeviceBytes&) const = default;
};

// One device line of a file: its name (a view into the text it was parsed
// from) and its bytes. A counter whose text is not a number reads 0, and one
// whose bytes do not fit 64 bits the wrapped product, as the one-shot rates
// take them; its flag says so, for readers that must not make a number up.
struct DeviceLine {
  std::string_view name;
  DeviceBytes bytes;
  bool in_known = true;
  bool out_known = true;
};

enum class DeviceFormat {
  kDiskstats,  // /proc/diskstats: bytes read and written
  kNetDev,     // /proc/net/dev: bytes received and sent
};

// Replaces `lines` with the device lines of `text`, one per line of the file
// that has enough fields, in file order; a repeated name appears once per
// line. `lines` keeps its capacity, so a caller that reuses it allocates
// nothing once it has grown to the file's size. Throws only std::bad_alloc.
void parse_device_lines(DeviceFormat format, std::string_view text, std::vector<DeviceLine>& lines);

// One reading of a device file: the file's bytes and its device lines, whose
// names view into `text`. A table that failed to read, or holds no device
// line, has no lines. read_device_table reads into `storage`, which is kept
// (with its capacity) from reading to reading. The names index is built the
// first time a rate needs to look names up or to learn whether a name
// repeats.
struct DeviceTable {
  std::string_view text;
  std::unique_ptr<char[]> storage;  // NOLINT(*-avoid-c-arrays): uninitialised bytes that read() fills
  std::size_t capacity = 0;
  std::vector<DeviceLine> lines;
  // Open-addressed index over `lines` by name: each slot holds 1 + the line
  // number of a name's last line in its low 32 bits and a part of the name's
  // hash above them; 0 is an empty slot.
  std::vector<std::uint64_t> name_slots;
  bool indexed = false;
  bool names_repeat = false;  // valid once `indexed`
};

// Reads `path` into `table`. The bytes are not checked for UTF-8 (a device
// name may hold any byte but '/', ':' and white space); a file that cannot be
// read, or memory that runs out, leaves the table without lines.
void read_device_table(DeviceFormat format, const char* path, DeviceTable& table) noexcept;

// Sum of the per-device increases between two readings, divided by
// `interval_seconds` and truncated: (rate in, rate out). A device counts when
// its name is in both readings, with the values of its last line in each; a
// component that went back counts 0. A reading without lines gives {0, 0}.
// Names are compared line by line first (the kernel keeps its order) and
// looked up only where they differ. May build either table's names index
// (which is why the tables are not const); out of memory gives {0, 0}.
std::pair<std::uint64_t, std::uint64_t> device_rates(DeviceTable& previous, DeviceTable& current,
                                                     double interval_seconds) noexcept;

// The two readings a sampler keeps of one device file: each tick reads into
// the table the previous tick's rates no longer need and the two swap roles.
// Both keep their storage and capacity from tick to tick, so a file that
// keeps its size costs no allocation; names view into heap storage, so a
// history may be moved (with the collector that owns it) and stay valid.
class DeviceHistory {
 public:
  DeviceHistory(DeviceFormat format, const char* path) noexcept : format_(format), path_(path) {}

  // Reads the file as the reading the first rates are taken against.
  void read_baseline() noexcept;
  // Reads the file again; returns the rates against the reading kept, then
  // keeps this one instead.
  std::pair<std::uint64_t, std::uint64_t> read_rates(double interval_seconds) noexcept;

 private:
  DeviceFormat format_;
  const char* path_;
  std::array<DeviceTable, 2> tables_;
  std::size_t previous_ = 0;  // index of the reading kept in tables_
};

// --- /sys/class/thermal ------------------------------------------------------

// Degrees Celsius from the first thermal_zone*/temp file under `thermal_dir`,
// in byte-wise order of the zone names, whose trimmed text is a number; 0.0
// when none is.
float read_cpu_temperature(const char* thermal_dir = kThermalDir);

// --- vcgencmd ----------------------------------------------------------------

// Parse the decoded standard output of `vcgencmd get_throttled`: the hex word
// after the first "0x", trimmed, to the end of the whole output. 0 on failure.
std::uint32_t parse_throttled(std::string_view output) noexcept;
// Parse the decoded standard output of `vcgencmd measure_clock arm`: the
// decimal after the first '=', trimmed, to the end of the output. 0 on failure.
std::uint64_t parse_arm_clock(std::string_view output) noexcept;

// The firmware tool as found on PATH. A tick looks it up once and runs it for
// both queries; nullopt (no executable found) means no process is started.
// `environment` gives PATH and the tool's environment (nullptr: the
// process's own).
struct FirmwareTool {
  std::string path;  // where it was found
  std::string name;  // the bare name, the program's argv[0]
  std::shared_ptr<const os::Environment> environment;
};
std::optional<FirmwareTool> find_firmware_tool(const char* name = kFirmwareTool,
                                               std::shared_ptr<const os::Environment> environment = nullptr);

// Run the firmware tool and parse its answer; nullopt for every failure: the
// tool failing to start, exiting non-zero or by a signal, not answering
// within a second, or printing no well-formed number. `cancel_fd` (see
// os::RunLimits) ends a run in progress at once.
std::optional<std::uint32_t> try_query_throttled(const FirmwareTool& tool, int cancel_fd = -1);
std::optional<std::uint64_t> try_query_arm_clock(const FirmwareTool& tool, int cancel_fd = -1);

// The same with 0 for every failure.
std::uint32_t query_throttled(const FirmwareTool& tool, int cancel_fd = -1);
std::uint64_t query_arm_clock(const FirmwareTool& tool, int cancel_fd = -1);

}  // namespace quillmere::sys_reader
