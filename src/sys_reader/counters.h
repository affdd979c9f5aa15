// Readers for monitoring: since-boot counters and current gauges, each of
// which reports an unreadable source as nullopt instead of a fallback.
//
// They follow the parsing rules of the other readers (whole first tokens as
// keys, tokens counted before they are indexed, the last line with a key
// counts) and differ where those readers would make a number up: a source
// that cannot be read, a line that is missing from it, a field whose text is
// not a number, a gauge that is not finite or is negative where it cannot
// be, and a byte count or sum that does not fit 64 bits all give nullopt, so
// that a caller can tell "no value" from a true zero. Fractional values are
// parsed in double precision. The one-shot readers share the scans and keep
// their zeros (Malformed::kZero). The readers keep no state; paths are
// parameters so that tests can point them at fixtures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys_reader/readers.h"

namespace quillmere::sys_reader {

inline constexpr const char* kSysClassBlock = "/sys/class/block";
inline constexpr const char* kSysBlock = "/sys/block";

// --- /proc/stat --------------------------------------------------------------

// The eight columns of the aggregate "cpu " line, in USER_HZ ticks since boot.
struct CpuTicks {
  std::uint64_t user = 0;
  std::uint64_t nice = 0;
  std::uint64_t system = 0;
  std::uint64_t idle = 0;
  std::uint64_t iowait = 0;
  std::uint64_t irq = 0;
  std::uint64_t softirq = 0;
  std::uint64_t steal = 0;
};

struct StatCounters {
  std::optional<CpuTicks> cpu;                          // nullopt: no "cpu " line of 8+ tokens
  std::optional<std::uint64_t> context_switches_total;  // nullopt: no "ctxt " line
};

// How a field whose text is not a number (or whose value in bytes does not
// fit) reads: as absent, here, or as 0 (and a wrapped product), which is how
// the one-shot readers take it.
enum class Malformed { kAbsent, kZero };

// kAbsent: a malformed column makes `cpu` nullopt, a malformed ctxt value
// the count.
StatCounters parse_stat_counters(std::string_view text, Malformed malformed = Malformed::kAbsent) noexcept;
// Both fields nullopt when the file is unreadable.
StatCounters read_stat_counters(const char* path = kProcStat);

// --- /proc/meminfo -----------------------------------------------------------

// Each value in bytes; nullopt when its key is absent (or the file unreadable).
struct MemoryCounters {
  std::optional<std::uint64_t> total_bytes;
  std::optional<std::uint64_t> used_bytes;  // total - (free + buffers + cached), or 0; needs MemTotal
  std::optional<std::uint64_t> available_bytes;
  std::optional<std::uint64_t> swap_total_bytes;
  std::optional<std::uint64_t> swap_used_bytes;  // SwapTotal - SwapFree, or 0; needs both
};

// kAbsent: a value that is malformed, or does not fit in bytes, is nullopt,
// and so is a difference that needs it (an absent Buffers or Cached counts 0
// in used_bytes, a malformed one makes it nullopt). kZero: the one-shot
// arithmetic, a malformed value 0 and the products and sums wrapping.
MemoryCounters parse_memory_counters(std::string_view text, Malformed malformed = Malformed::kAbsent) noexcept;
MemoryCounters read_memory_counters(const char* path = kProcMeminfo);

// --- /proc/loadavg -----------------------------------------------------------

// Each value nullopt when its field is malformed, not finite or negative.
struct LoadAverage64 {
  std::optional<double> run_queue_length;
  std::optional<double> load_avg_1;
  std::optional<double> load_avg_5;
  std::optional<double> load_avg_15;
};

// nullopt for fewer than 5 tokens, like the single-precision reader's zeros.
std::optional<LoadAverage64> parse_load_average64(std::string_view text) noexcept;
std::optional<LoadAverage64> read_load_average64(const char* path = kProcLoadavg);

// --- /proc/uptime ------------------------------------------------------------

// nullopt when unreadable, empty, or when the first token is malformed, not
// finite or negative.
std::optional<double> parse_uptime_seconds(std::string_view text) noexcept;
std::optional<double> read_uptime_seconds(const char* path = kProcUptime);

// --- /proc/vmstat ------------------------------------------------------------

struct PageFaultTotals {
  std::optional<std::uint64_t> faults;        // pgfault: every fault, major ones included
  std::optional<std::uint64_t> major_faults;  // pgmajfault
};

// kAbsent: a malformed value is nullopt.
PageFaultTotals parse_page_fault_totals(std::string_view text, Malformed malformed = Malformed::kAbsent) noexcept;
PageFaultTotals read_page_fault_totals(const char* path = kProcVmstat);

// --- /proc/diskstats and /proc/net/dev ---------------------------------------

struct DeviceReading {
  std::string name;
  // Read/written, or received/sent; nullopt when the counter is malformed or
  // its bytes do not fit 64 bits.
  std::optional<std::uint64_t> in_bytes;
  std::optional<std::uint64_t> out_bytes;
  bool partition = false;  // block devices: sysfs has NAME/partition
};

// Every device of the file, sorted by name byte-wise, one entry per name (the
// last line of a repeated name wins). nullopt when the file is unreadable.
// Block devices are flagged as partitions by a `partition` entry in their
// directory under `sys_block_dir`. Names listed in `whole_disk_dir` (sysfs
// lists every whole disk there and no partition) are whole disks without a
// look at their directory.
std::optional<std::vector<DeviceReading>> read_disk_devices(const char* path = kProcDiskstats,
                                                           const char* sys_block_dir = kSysClassBlock,
                                                           const char* whole_disk_dir = kSysBlock);
std::optional<std::vector<DeviceReading>> read_net_devices(const char* path = kProcNetDev);

// The width in bits of the kernel's word, told by uname's machine name: 32
// for the 32-bit architectures (armv6l, armv7l, i686, mips, ...), 64 for
// the rest and for an empty name. A 32-bit kernel keeps the interface
// counters of /proc/net/dev in that word, so they wrap at 2^32. An arm64
// kernel tells a 32-bit process it runs on armv8l: 64.
std::uint32_t kernel_word_bits(std::string_view machine) noexcept;
// The running kernel's, asked once per process.
std::uint32_t kernel_word_bits() noexcept;

// --- /sys/class/thermal ------------------------------------------------------

struct ThermalZoneReading {
  std::string zone;                // e.g. thermal_zone0
  std::optional<std::string> type;  // the zone's trimmed `type` file; nullopt when unreadable
  double celsius = 0.0;
};

// Every zone whose temp file holds a finite number, in the order
// read_cpu_temperature tries them (byte-wise by name): the first one is the
// CPU temperature. A zone reading NaN or an infinity is left out like one
// that cannot be read (a temperature may be below zero).
std::vector<ThermalZoneReading> read_thermal_zones(const char* thermal_dir = kThermalDir);

// The thermal_zone* entry names of `thermal_dir`, sorted byte-wise; empty when
// the directory cannot be listed.
std::vector<std::string> thermal_zone_names(const char* thermal_dir);

// The entry names of `dir` that begin with `prefix`, sorted byte-wise, "."
// and ".." left out; empty when the directory cannot be listed.
std::vector<std::string> directory_entries(const char* dir, std::string_view prefix = {});

}  // namespace quillmere::sys_reader
