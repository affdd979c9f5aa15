// The collector's tick: every source read once, in a fixed order, then the
// timestamp, the derived percentages and the send.
#include "collector/exact/collector.h"

#include <optional>
#include <string>
#include <utility>

#include "collector/exact/exact_contract.h"
#include "os/clock.h"
#include "sys_reader/file_read.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/loadavg.h"
#include "sys_reader/sources/meminfo.h"
#include "sys_reader/sources/net_dev.h"
#include "sys_reader/sources/stat.h"
#include "sys_reader/sources/thermal.h"
#include "sys_reader/sources/uptime.h"
#include "sys_reader/sources/vmstat.h"

namespace quillmere::collector {
namespace {

namespace sr = sys_reader;

// Degrees Celsius from the first zone, in byte-wise order of the zone names,
// whose temp file holds a number; 0.0 when none does. No zone after that one
// is read.
float first_zone_celsius(const std::string& thermal_dir) {
  for (const std::string& zone : sr::thermal_zone_names(thermal_dir)) {
    const std::optional<std::string> text = sr::read_text_file(sr::zone_file(thermal_dir, zone, "temp").c_str());
    if (!text) continue;
    if (const std::optional<float> celsius = exact::zone_celsius(sr::parse_zone_temp(*text))) return *celsius;
  }
  return 0.0f;
}

}  // namespace

Collector::Collector(Period period, Sender sender, CollectorSources sources)
    : period_(period),
      sender_(std::move(sender)),
      sources_(std::move(sources)),
      disk_path_(sources_.roots.path_of(sr::kDiskstatsFile)),
      net_path_(sources_.roots.path_of(sr::kNetDevFile)),
      thermal_dir_(sources_.roots.path_of(sr::kThermalDir)) {}

MetricsSnapshot Collector::sample() {
  const sr::Roots& roots = sources_.roots;
  MetricsSnapshot s;

  const exact::CpuTimes cpu =
      exact::cpu_times(sr::parse_stat(sr::read_source_text(roots, sr::kStatFile)), previous_context_switches_total_);
  previous_context_switches_total_ = cpu.context_switches_total;
  s.context_switches_per_sec = cpu.context_switches;

  const exact::LoadAverage load = exact::load_average(sr::parse_loadavg(sr::read_source_text(roots, sr::kLoadavgFile)));
  s.run_queue_length = load.run_queue_length;
  s.load_avg_1 = load.load_avg_1;
  s.load_avg_5 = load.load_avg_5;
  s.load_avg_15 = load.load_avg_15;

  s.cpu_temp_celsius = first_zone_celsius(thermal_dir_);
  // One PATH lookup serves both runs of the tool; without it, no process.
  if (const std::optional<sr::FirmwareTool> tool = sr::find_firmware_tool(sources_.firmware_tool.c_str())) {
    const std::optional<std::string> throttled = sr::run_firmware_tool(*tool, sr::kThrottledArgs, cancel_fd_);
    s.throttle_status = throttled ? sr::parse_throttled(*throttled).value_or(0) : 0;
    const std::optional<std::string> clock = sr::run_firmware_tool(*tool, sr::kArmClockArgs, cancel_fd_);
    s.measure_clock = clock ? sr::parse_arm_clock(*clock).value_or(0) : 0;
  }

  const exact::MemoryUsage memory =
      exact::memory_usage(sr::parse_meminfo(sr::read_source_text(roots, sr::kMeminfoFile)));
  s.mem_total_bytes = memory.mem_total_bytes;
  s.mem_used_bytes = memory.mem_used_bytes;

  const exact::PageFaultCounts faults = exact::page_faults(
      sr::parse_vmstat(sr::read_source_text(roots, sr::kVmstatFile)), previous_minor_total_, previous_major_total_);
  previous_minor_total_ = faults.minor_total;
  previous_major_total_ = faults.major_total;
  s.page_faults_minor_per_sec = faults.minor;
  s.page_faults_major_per_sec = faults.major;

  s.uptime_seconds = exact::uptime_seconds(sr::parse_uptime(sr::read_source_text(roots, sr::kUptimeFile)));

  const double interval_seconds = period_.interval_seconds();
  const DeviceHistory::Pair disks = disk_.read(disk_path_.c_str(), sr::kDeviceSourceLimit, sr::kDiskstatsLayout);
  std::tie(s.disk_read_bytes_per_sec, s.disk_write_bytes_per_sec) =
      exact::device_rates(disks.previous, disks.current, sr::kSectorBytes, interval_seconds);
  const DeviceHistory::Pair nets = net_.read(net_path_.c_str(), sr::kDeviceSourceLimit, sr::kNetDevLayout);
  std::tie(s.net_rx_bytes_per_sec, s.net_tx_bytes_per_sec) =
      exact::device_rates(nets.previous, nets.current, 1, interval_seconds);

  s.timestamp = os::read_wall_clock();
  exact::fill_cpu_percentages(cpu, s);
  return s;
}

void Collector::run(runtime::TickClock& clock) {
  // A tool run in progress when the worker stops is killed at once rather
  // than run to its own deadline.
  cancel_fd_ = clock.cancel_fd();
  // The baseline the first tick's rates are taken against.
  disk_.read(disk_path_.c_str(), sr::kDeviceSourceLimit, sr::kDiskstatsLayout);
  net_.read(net_path_.c_str(), sr::kDeviceSourceLimit, sr::kNetDevLayout);
  runtime::PeriodicTimer ticker(clock, period_.saturating_ns());
  while (ticker.tick()) {
    // Nobody listening is fine: the snapshot is discarded and sampling goes
    // on until the worker is stopped.
    (void)sender_.send(sample());
  }
}

}  // namespace quillmere::collector
