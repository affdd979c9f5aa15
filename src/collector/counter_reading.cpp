// One monitoring pass over the sources, and the rates between two passes.
#include "collector/counter_reading.h"

#include <utility>

#include <poll.h>    // poll, for the cancellation descriptor
#include <unistd.h>  // sysconf

#include "os/clock.h"
#include "sys_reader/numbers.h"  // saturating_sub, checked_add

namespace quillmere::collector {
namespace {

// True when `fd` is readable now (never for -1). Used between the two tool
// runs: after a cancellation the second run is not started at all.
bool readable_now(int fd) noexcept {
  if (fd < 0) return false;
  pollfd entry{fd, POLLIN, 0};
  // EINTR or an error reads as "not cancelled"; the next wait looks again.
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

double ticks_per_second() noexcept {
  // USER_HZ; the kernel's ABI value is 100 on every architecture, so that
  // stands in for a sysconf that cannot answer.
  const long ticks = ::sysconf(_SC_CLK_TCK);  // NOLINT(google-runtime-int): sysconf's own type
  return ticks > 0 ? static_cast<double>(ticks) : 100.0;
}

using Devices = std::vector<sys_reader::DeviceReading>;
using Count = std::optional<std::uint64_t>;

// sum + part, nullopt once either is unknown or the sum does not fit.
Count add(Count sum, Count part) noexcept {
  return sum && part ? sys_reader::checked_add(*sum, *part) : std::nullopt;
}

// The increase of one counter between two readings: 0 when it went back (a
// reset), unless the kernel keeps it in a 32-bit word and it went back
// below 2^32: then it wrapped.
std::uint64_t increase(std::uint64_t before, std::uint64_t now, std::uint32_t word_bits) noexcept {
  constexpr std::uint64_t kWord32 = std::uint64_t{1} << 32;
  if (word_bits == 32 && now < before && before < kWord32) return now + kWord32 - before;
  return sys_reader::saturating_sub(now, before);
}

// Sums of per-device increases between two name-sorted readings, devices in
// both only; each component on its own, a device whose counter is unknown in
// either reading passed over for it. `whole_disks` leaves partitions out.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the earlier and the later reading, named so
std::pair<Count, Count> summed_increase(const Devices& previous, const Devices& current, bool whole_disks,
                                        std::uint32_t word_bits) noexcept {
  std::pair<Count, Count> sums{0, 0};
  const auto add_increase = [word_bits](Count& sum, Count before, Count now) {
    if (before && now) sum = add(sum, increase(*before, *now, word_bits));
  };
  auto before = previous.begin();
  for (const sys_reader::DeviceReading& now : current) {
    if (whole_disks && now.partition) continue;
    while (before != previous.end() && before->name < now.name) ++before;
    if (before == previous.end()) break;
    if (before->name != now.name) continue;
    add_increase(sums.first, before->in_bytes, now.in_bytes);
    add_increase(sums.second, before->out_bytes, now.out_bytes);
  }
  return sums;
}

CounterReading::Totals summed(const std::optional<Devices>& devices, bool whole_disks) noexcept {
  if (!devices) return {};
  CounterReading::Totals sums{0, 0};
  for (const sys_reader::DeviceReading& device : *devices) {
    if (whole_disks && device.partition) continue;
    sums.first = add(sums.first, device.in_bytes);
    sums.second = add(sums.second, device.out_bytes);
  }
  return sums;
}

// An increase per second, or nullopt without it or without any time.
std::optional<double> per_second(Count increase, double seconds) noexcept {
  if (!increase || seconds <= 0.0) return std::nullopt;
  return static_cast<double>(*increase) / seconds;
}

std::optional<std::uint64_t> minor_faults(const sys_reader::PageFaultTotals& totals) noexcept {
  if (!totals.faults || !totals.major_faults) return std::nullopt;
  return sys_reader::saturating_sub(*totals.faults, *totals.major_faults);
}

}  // namespace

CounterReading::Totals CounterReading::disk_totals() const noexcept { return summed(disks, true); }

CounterReading::Totals CounterReading::net_totals() const noexcept { return summed(interfaces, false); }

CounterReading take_counter_reading(const CounterSources& sources, int cancel_fd) {
  namespace sr = sys_reader;
  const SourcePaths& paths = sources.paths;
  CounterReading r;
  r.monotonic_ns = os::monotonic_now_ns(sources.read_clock);
  r.ticks_per_second = ticks_per_second();
  r.kernel_word_bits = sr::kernel_word_bits();
  r.stat = sr::read_stat_counters(paths.proc_stat);
  r.load = sr::read_load_average64(paths.proc_loadavg);
  r.zones = sr::read_thermal_zones(paths.thermal_dir);
  if (const std::optional<sr::FirmwareTool> tool = sr::find_firmware_tool(paths.firmware_tool, sources.environment)) {
    if (!readable_now(cancel_fd)) r.throttle_status = sr::try_query_throttled(*tool, cancel_fd);
    if (!readable_now(cancel_fd)) r.arm_clock_hz = sr::try_query_arm_clock(*tool, cancel_fd);
  }
  r.memory = sr::read_memory_counters(paths.proc_meminfo);
  r.page_faults = sr::read_page_fault_totals(paths.proc_vmstat);
  r.uptime_seconds = sr::read_uptime_seconds(paths.proc_uptime);
  r.disks = sr::read_disk_devices(paths.proc_diskstats, sources.sys_block_dir, sources.whole_disk_dir);
  r.interfaces = sr::read_net_devices(paths.proc_net_dev);
  r.timestamp = os::read_wall_clock(sources.read_clock);
  return r;
}

IntervalSample interval_sample(const CounterReading& previous, const CounterReading& current) noexcept {
  using sys_reader::saturating_sub;
  IntervalSample s;
  s.timestamp = current.timestamp;
  s.interval_seconds = static_cast<double>(saturating_sub(current.monotonic_ns, previous.monotonic_ns)) / 1e9;
  const double seconds = s.interval_seconds;
  // An increase per second, or nullopt without both counters or any time.
  const auto rate = [seconds](Count before, Count now) -> std::optional<double> {
    if (!before || !now) return std::nullopt;
    return per_second(saturating_sub(*now, *before), seconds);
  };

  if (previous.stat.cpu && current.stat.cpu) {
    const sys_reader::CpuTicks& a = *previous.stat.cpu;
    const sys_reader::CpuTicks& b = *current.stat.cpu;
    const std::uint64_t user = saturating_sub(b.user, a.user);
    const std::uint64_t nice = saturating_sub(b.nice, a.nice);
    const std::uint64_t system = saturating_sub(b.system, a.system);
    const std::uint64_t idle = saturating_sub(b.idle, a.idle);
    const std::uint64_t iowait = saturating_sub(b.iowait, a.iowait);
    const std::uint64_t irq = saturating_sub(b.irq, a.irq);
    const std::uint64_t softirq = saturating_sub(b.softirq, a.softirq);
    const std::uint64_t steal = saturating_sub(b.steal, a.steal);
    // Ticks that add up past 2^64 are no reading of a real machine: no shares.
    Count sum = 0;
    for (const std::uint64_t part : {user, nice, system, idle, iowait, irq, softirq, steal}) sum = add(sum, part);
    const std::uint64_t total = sum.value_or(0);
    if (total > 0) {
      const auto share = [total](std::uint64_t part) {
        return static_cast<double>(part) / static_cast<double>(total) * 100.0;
      };
      // Waiting for I/O is not work: iowait counts as idle time here.
      s.cpu = IntervalSample::CpuShares{share(total - idle - iowait), share(user + nice), share(system),
                                        share(idle), share(iowait), share(irq), share(softirq), share(steal)};
    }
  }
  if (current.load) s.run_queue_length = current.load->run_queue_length;
  s.context_switches_per_sec = rate(previous.stat.context_switches_total, current.stat.context_switches_total);
  if (!current.zones.empty()) s.cpu_temp_celsius = current.zones.front().celsius;
  s.throttle_status = current.throttle_status;
  s.mem_total_bytes = current.memory.total_bytes;
  s.mem_used_bytes = current.memory.used_bytes;
  s.page_faults_minor_per_sec = rate(minor_faults(previous.page_faults), minor_faults(current.page_faults));
  s.page_faults_major_per_sec = rate(previous.page_faults.major_faults, current.page_faults.major_faults);
  s.uptime_seconds = current.uptime_seconds;
  s.load = current.load;
  if (previous.disks && current.disks) {
    // A disk counter that steps back was reset, whatever the kernel.
    const auto [read, written] = summed_increase(*previous.disks, *current.disks, true, 64);
    s.disk_read_bytes_per_sec = per_second(read, seconds);
    s.disk_write_bytes_per_sec = per_second(written, seconds);
  }
  if (previous.interfaces && current.interfaces) {
    const auto [received, transmitted] =
        summed_increase(*previous.interfaces, *current.interfaces, false, current.kernel_word_bits);
    s.net_rx_bytes_per_sec = per_second(received, seconds);
    s.net_tx_bytes_per_sec = per_second(transmitted, seconds);
  }
  s.arm_clock_hz = current.arm_clock_hz;
  s.mem_available_bytes = current.memory.available_bytes;
  return s;
}

}  // namespace quillmere::collector
