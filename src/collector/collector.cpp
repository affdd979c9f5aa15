// The collector's tick: every reader once, in a fixed order, then the derived
// percentages, the timestamp and the send.
#include "collector/collector.h"

#include <optional>
#include <utility>

#include "os/clock.h"

namespace quillmere::collector {

namespace {

// Division first, then multiplication, both in single precision: the exact
// rounding of each step is part of the result.
float percent_of(std::uint64_t part, float total) noexcept {
  return static_cast<float>(part) / total * 100.0f;
}

}  // namespace

void fill_cpu_percentages(const sys_reader::CpuTimes& t, MetricsSnapshot& s) noexcept {
  const std::uint64_t busy = t.total > t.idle ? t.total - t.idle : 0;
  const auto total = static_cast<float>(t.total);
  s.cpu_usage_percent = percent_of(busy, total);
  s.cpu_user_percent = percent_of(t.user, total);
  s.cpu_system_percent = percent_of(t.system, total);
  s.cpu_idle_percent = percent_of(t.idle, total);
  s.cpu_iowait_percent = percent_of(t.iowait, total);
  s.cpu_irq_percent = percent_of(t.irq, total);
  s.cpu_softirq_percent = percent_of(t.softirq, total);
  s.cpu_steal_percent = percent_of(t.steal, total);
}

Collector::Collector(Period period, Sender sender, const SourcePaths& paths)
    : period_(period),
      sender_(std::move(sender)),
      paths_(paths),
      disk_(sys_reader::DeviceFormat::kDiskstats, paths_.proc_diskstats),
      net_(sys_reader::DeviceFormat::kNetDev, paths_.proc_net_dev) {}

void Collector::read_baseline() {
  disk_.read_baseline();
  net_.read_baseline();
}

MetricsSnapshot Collector::sample() {
  namespace sr = sys_reader;
  MetricsSnapshot s;

  const sr::CpuTimes cpu = sr::read_cpu_times(previous_context_switches_total_, paths_.proc_stat);
  previous_context_switches_total_ = cpu.context_switches_total;
  s.context_switches_per_sec = cpu.context_switches;

  const sr::LoadAverage load = sr::read_load_average(paths_.proc_loadavg);
  s.run_queue_length = load.run_queue_length;
  s.load_avg_1 = load.load_avg_1;
  s.load_avg_5 = load.load_avg_5;
  s.load_avg_15 = load.load_avg_15;

  s.cpu_temp_celsius = sr::read_cpu_temperature(paths_.thermal_dir);
  // One PATH lookup serves both runs of the tool; without it, no process.
  const std::optional<sr::FirmwareTool> tool = sr::find_firmware_tool(paths_.firmware_tool);
  s.throttle_status = tool ? sr::query_throttled(*tool, cancel_fd_) : 0;
  s.measure_clock = tool ? sr::query_arm_clock(*tool, cancel_fd_) : 0;

  const sr::MemoryUsage memory = sr::read_memory_usage(paths_.proc_meminfo);
  s.mem_total_bytes = memory.mem_total_bytes;
  s.mem_used_bytes = memory.mem_used_bytes;

  const sr::PageFaultCounts faults =
      sr::read_page_faults(previous_minor_total_, previous_major_total_, paths_.proc_vmstat);
  previous_minor_total_ = faults.minor_total;
  previous_major_total_ = faults.major_total;
  s.page_faults_minor_per_sec = faults.minor;
  s.page_faults_major_per_sec = faults.major;

  s.uptime_seconds = sr::read_uptime(paths_.proc_uptime);

  const double interval_seconds = period_.interval_seconds();
  std::tie(s.disk_read_bytes_per_sec, s.disk_write_bytes_per_sec) = disk_.read_rates(interval_seconds);
  std::tie(s.net_rx_bytes_per_sec, s.net_tx_bytes_per_sec) = net_.read_rates(interval_seconds);

  s.timestamp = os::read_wall_clock();
  fill_cpu_percentages(cpu, s);
  return s;
}

void Collector::run(runtime::TickClock& clock) {
  // A tool run in progress when the runtime shuts down is killed at once
  // rather than run to its own deadline.
  cancel_fd_ = clock.cancel_fd();
  read_baseline();
  runtime::PeriodicTimer ticker(clock, period_.saturating_ns());
  while (ticker.tick()) {
    // Nobody listening is fine: the snapshot is discarded and sampling goes
    // on until the runtime cancels the task.
    (void)sender_.send(sample());
  }
}

}  // namespace quillmere::collector
