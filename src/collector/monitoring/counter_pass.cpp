// The reads of one monitoring pass.
#include "collector/monitoring/counter_pass.h"

#include <algorithm>
#include <optional>
#include <utility>

#include <sys/utsname.h>  // uname
#include <unistd.h>       // sysconf

#include "os/clock_sync.h"
#include "os/unique_fd.h"
#include "sys_reader/file_read.h"
#include "sys_reader/sources/block.h"
#include "sys_reader/sources/cpufreq.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/net_dev.h"
#include "sys_reader/sources/thermal.h"
#include "sys_reader/sources/uptime.h"
#include "sys_reader/sources/vmstat.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::collector {
namespace {

namespace sr = sys_reader;

double ticks_per_second() noexcept {
  // USER_HZ; the kernel's ABI value is 100 on every architecture, so that
  // stands in for a sysconf that cannot answer.
  const long ticks = ::sysconf(_SC_CLK_TCK);  // NOLINT(google-runtime-int): sysconf's own type
  return ticks > 0 ? static_cast<double>(ticks) : 100.0;
}

// The running kernel's word, asked once per process.
std::uint32_t running_kernel_word_bits() noexcept {
  static const std::uint32_t bits = [] {
    struct utsname names {};
    // The machine field is the C API's NUL-terminated char array.
    return ::uname(&names) == 0 ? kernel_word_bits(names.machine)  // NOLINT(*-array-to-pointer-decay)
                                : std::uint32_t{64};
  }();
  return bits;
}

// Device files are read as bytes, like the exact collector reads them: a name
// need not be UTF-8, and one odd name must not cost every other device.
void read_devices(const sr::Roots& roots, const sr::SourceFile& file, const sr::WideDeviceLayout& layout,
                  DeviceReading& devices) {
  read_device_table(roots.path_of(file).c_str(), sr::kDeviceSourceLimit, layout, devices.table);
  device_table_detail::ensure_index(devices.table);
}

// The partition check costs a sysfs path walk per device (about as much as
// reading a /proc file), so the names that /sys/block lists, whole disks
// all, skip it: one listing replaces most of the walks, and a device not
// listed there (or every device, when the listing fails) is still judged by
// its own `partition` entry.
//
// A device that the previous pass saw on the same line keeps the flag it got
// there: whether a name is a partition does not change while it exists, and a
// sampler's passes find most devices where they were, so a steady set of
// devices costs the walks once.
void flag_partitions(const sr::Roots& roots, DeviceReading& disks, const DeviceReading* previous) {
  disks.whole_disks_only = true;
  disks.partition.assign(disks.table.lines.size(), false);
  const std::vector<std::string> whole_disks = sr::whole_disk_names(roots);
  for_each_device(disks.table, [&](const sr::WideDeviceLine& line, std::size_t index) {
    if (std::binary_search(whole_disks.begin(), whole_disks.end(), line.name)) return;
    if (previous != nullptr && index < previous->partition.size() && index < previous->table.lines.size() &&
        previous->table.lines[index].name == line.name) {
      disks.partition[index] = previous->partition[index];
      return;
    }
    disks.partition[index] = sr::is_partition(roots, line.name);
  });
}

// Every zone whose temp file holds a finite number, in name order, with its
// trimmed type; a zone whose temp cannot be read is left out.
std::vector<ZoneTemperature> read_zones(const std::string& thermal_dir) {
  std::vector<ZoneTemperature> zones;
  for (std::string& zone : sr::thermal_zone_names(thermal_dir)) {
    const std::optional<std::string> temp = sr::read_text_file(sr::zone_file(thermal_dir, zone, "temp").c_str());
    if (!temp) continue;
    const std::optional<double> celsius = zone_celsius64(sr::parse_zone_temp(*temp));
    if (!celsius) continue;
    std::optional<std::string> type;
    if (const std::optional<std::string> text = sr::read_text_file(sr::zone_file(thermal_dir, zone, "type").c_str())) {
      type = std::string(sr::trim_whitespace(*text));
    }
    zones.push_back(ZoneTemperature{std::move(zone), std::move(type), *celsius});
  }
  return zones;
}

}  // namespace

CounterReading take_counter_reading(const CounterSources& sources, int cancel_fd, const CounterReading* previous) {
  const sr::Roots& roots = sources.roots;
  CounterReading r;
  r.monotonic_ns = os::monotonic_now_ns(sources.read_clock);
  r.ticks_per_second = ticks_per_second();
  r.kernel_word_bits = running_kernel_word_bits();
  const std::optional<std::string> stat_text = sr::read_text_file(roots.path_of(sr::kStatFile).c_str());
  const sr::StatDetail stat = sr::parse_stat_detail(stat_text.value_or(std::string()));
  r.cpu = cpu_ticks(stat.totals);
  if (stat_text) r.cpus = cpu_times(stat);
  r.context_switches_total = stat.totals.context_switches;
  const std::string loadavg_text = sr::read_source_text(roots, sr::kLoadavgFile);  // the record's views point into it
  const std::optional<sr::LoadavgRecord> loadavg = sr::parse_loadavg(loadavg_text);
  r.load = load_average64(loadavg);
  r.processes = process_counts(stat_text ? &stat : nullptr, loadavg);
  r.zones = read_zones(roots.path_of(sr::kThermalDir));
  const std::string& tool_name = sources.firmware_tool;
  if (const std::optional<sr::FirmwareTool> tool = sr::find_firmware_tool(tool_name.c_str(), sources.environment)) {
    // After a cancellation the second run is not started at all.
    if (!os::readable_now(cancel_fd)) {
      const std::optional<std::string> output = sr::run_firmware_tool(*tool, sr::kThrottledArgs, cancel_fd);
      r.throttle_status = output ? sr::parse_throttled(*output) : std::nullopt;
    }
    if (!os::readable_now(cancel_fd)) {
      const std::optional<std::string> output = sr::run_firmware_tool(*tool, sr::kArmClockArgs, cancel_fd);
      r.arm_clock_hz = output ? sr::parse_arm_clock(*output) : std::nullopt;
    }
  }
  r.memory = memory_counters(sr::parse_meminfo(sr::read_source_text(roots, sr::kMeminfoFile)));
  const sr::VmstatDetail vmstat = sr::parse_vmstat_detail(sr::read_source_text(roots, sr::kVmstatFile));
  r.page_faults_total = vmstat.faults.pgfault;
  r.page_faults_major_total = vmstat.faults.pgmajfault;
  r.swap_in_pages_total = vmstat.pswpin;
  r.swap_out_pages_total = vmstat.pswpout;
  r.oom_kills_total = vmstat.oom_kill;
  r.uptime_seconds = uptime_seconds64(sr::parse_uptime(sr::read_source_text(roots, sr::kUptimeFile)));
  read_devices(roots, sr::kDiskstatsFile, sr::kDiskstatsWideLayout, r.disks);
  r.disks.unit_bytes = sr::kSectorBytes;
  r.disks.first_bytes = sr::disk_counter::kSectorsRead;
  r.disks.second_bytes = sr::disk_counter::kSectorsWritten;
  flag_partitions(roots, r.disks, previous != nullptr ? &previous->disks : nullptr);
  read_devices(roots, sr::kNetDevFile, sr::kNetDevWideLayout, r.interfaces);
  r.interfaces.first_bytes = sr::net_counter::kReceivedBytes;
  r.interfaces.second_bytes = sr::net_counter::kTransmittedBytes;
  r.board.cpu_frequencies_hz = sr::read_cpu_frequencies(roots);
  r.pressure = sr::read_pressure(roots);
  r.board.filesystems = sr::read_filesystems(roots);
  // Read as bytes, like the device files: an interface name need not be UTF-8.
  if (const std::optional<std::string> wireless = sr::read_whole_file(roots.path_of(sr::kWirelessFile).c_str())) {
    r.board.wireless = wireless_links(sr::parse_wireless(*wireless));
  }
  r.board.hwmon = sr::read_hwmon(roots);
  r.board.clock = os::read_clock_sync();
  r.timestamp = os::read_wall_clock(sources.read_clock);
  return r;
}

}  // namespace quillmere::collector
