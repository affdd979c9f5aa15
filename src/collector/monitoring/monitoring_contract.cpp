// Records to monitoring counters, and two readings to an interval sample.
#include "collector/monitoring/monitoring_contract.h"

#include <algorithm>
#include <cmath>

#include "sys_reader/numbers.h"

namespace quillmere::collector {
namespace {

using sys_reader::checked_mul;
using sys_reader::saturating_sub;
using Count = std::optional<std::uint64_t>;

// A gauge as reported: only a finite value that is not negative.
std::optional<double> finite_non_negative(std::optional<double> value) noexcept {
  if (!value || !std::isfinite(*value) || *value < 0.0) return std::nullopt;
  return value;
}

Count kib_to_bytes(Count kib) noexcept { return kib ? checked_mul(*kib, 1024) : std::nullopt; }

// An increase per second, or nullopt without it or without any time.
std::optional<double> per_second(Count increase, double seconds) noexcept {
  if (!increase || seconds <= 0.0) return std::nullopt;
  return static_cast<double>(*increase) / seconds;
}

// The shares of the CPU time that passed between two lines of ticks; nullopt
// when none passed.
std::optional<IntervalSample::CpuShares> cpu_shares(const CpuTicks& a, const CpuTicks& b) noexcept {
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
  for (const std::uint64_t part : {user, nice, system, idle, iowait, irq, softirq, steal}) sum = checked_sum(sum, part);
  const std::uint64_t total = sum.value_or(0);
  if (total == 0) return std::nullopt;
  const auto share = [total](std::uint64_t part) {
    return static_cast<double>(part) / static_cast<double>(total) * 100.0;
  };
  // Waiting for I/O is not work: iowait counts as idle time here.
  return IntervalSample::CpuShares{share(total - idle - iowait), share(user + nice), share(system), share(idle),
                                   share(iowait), share(irq), share(softirq), share(steal)};
}

// The usage of each CPU in both readings (both lists are sorted by CPU).
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the older reading first, as everywhere here
std::vector<std::pair<std::uint32_t, std::optional<double>>> cpus_usage(const std::vector<CpuTime>& previous,
                                                                         const std::vector<CpuTime>& current) {
  std::vector<std::pair<std::uint32_t, std::optional<double>>> usage;
  usage.reserve(current.size());
  auto before = previous.begin();
  for (const CpuTime& now : current) {
    while (before != previous.end() && before->cpu < now.cpu) ++before;
    if (before == previous.end()) break;
    if (before->cpu != now.cpu) continue;
    const std::optional<IntervalSample::CpuShares> shares = cpu_shares(before->ticks, now.ticks);
    usage.emplace_back(now.cpu, shares ? std::optional<double>(shares->usage) : std::nullopt);
  }
  return usage;
}

// The share of the interval each resource in both readings was stalled on:
// a total's increase over the interval, within 0..100.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): the older reading first, as everywhere here
std::vector<PressureShare> pressure_shares(
    const std::vector<std::pair<std::string, sys_reader::PressureRecord>>& previous,
    const std::vector<std::pair<std::string, sys_reader::PressureRecord>>& current, double seconds) {
  // NOLINTEND(bugprone-easily-swappable-parameters)
  std::vector<PressureShare> shares;
  const auto share = [seconds](std::optional<double> before, std::optional<double> now) -> std::optional<double> {
    if (!before || !now || seconds <= 0.0) return std::nullopt;
    return std::clamp((*now - *before) / seconds * 100.0, 0.0, 100.0);
  };
  for (const auto& resource : current) {
    const auto before = std::find_if(previous.begin(), previous.end(),
                                     [&resource](const auto& entry) { return entry.first == resource.first; });
    if (before == previous.end()) continue;
    const sys_reader::PressureRecord& now = resource.second;
    const std::optional<double> some = share(before->second.some_seconds_total, now.some_seconds_total);
    if (!some) continue;
    shares.push_back(
        PressureShare{resource.first, *some, share(before->second.full_seconds_total, now.full_seconds_total)});
  }
  return shares;
}

Count minor_faults(const CounterReading& r) noexcept {
  if (!r.page_faults_total || !r.page_faults_major_total) return std::nullopt;
  return saturating_sub(*r.page_faults_total, *r.page_faults_major_total);
}

}  // namespace

// A column that is not a number leaves the line unknown.
std::optional<CpuTicks> cpu_ticks(const sys_reader::StatRecord& stat) noexcept {
  if (stat.malformed_columns != 0) return std::nullopt;
  return stat.cpu;
}

std::vector<CpuTime> cpu_times(const sys_reader::StatDetail& stat) {
  std::vector<CpuTime> cpus;
  cpus.reserve(stat.cpus.size());
  for (const sys_reader::CpuLine& line : stat.cpus) {
    if (line.ticks) cpus.push_back(CpuTime{line.cpu, *line.ticks});
  }
  return cpus;
}

std::optional<ProcessCounts> process_counts(const sys_reader::StatDetail* stat,
                                            const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept {
  if (stat == nullptr && !loadavg) return std::nullopt;
  ProcessCounts counts;
  if (stat != nullptr) {
    counts.running = stat->procs_running;
    counts.blocked = stat->procs_blocked;
    counts.forks_total = stat->forks;
  }
  if (loadavg) counts.threads = sys_reader::parse_u64(loadavg->entities);
  return counts;
}

std::vector<WirelessLink> wireless_links(const std::vector<sys_reader::WirelessLine>& lines) {
  std::vector<WirelessLink> links;
  for (const sys_reader::WirelessLine& line : lines) {
    if (!line.link_quality || !line.signal_dbm || !std::isfinite(*line.link_quality) ||
        !std::isfinite(*line.signal_dbm)) {
      continue;
    }
    links.push_back(WirelessLink{std::string(line.name), *line.link_quality, *line.signal_dbm});
  }
  return links;
}

// An absent Buffers or Cached counts 0 in used_bytes; a malformed one, or a
// sum that does not fit, leaves the difference unknown.
MemoryCounters memory_counters(const sys_reader::MeminfoRecord& m) noexcept {
  MemoryCounters memory;
  memory.total_bytes = kib_to_bytes(m.mem_total.kib);
  memory.available_bytes = kib_to_bytes(m.mem_available.kib);
  memory.swap_total_bytes = kib_to_bytes(m.swap_total.kib);
  const auto part = [](const sys_reader::MeminfoValue& value) { return value.present ? value.kib : Count(0); };
  const Count unused = checked_sum(checked_sum(part(m.mem_free), part(m.buffers)), part(m.cached));
  if (m.mem_total.kib && unused) memory.used_bytes = kib_to_bytes(saturating_sub(*m.mem_total.kib, *unused));
  if (m.swap_total.kib && m.swap_free.kib) {
    memory.swap_used_bytes = kib_to_bytes(saturating_sub(*m.swap_total.kib, *m.swap_free.kib));
  }
  return memory;
}

// The loads in double precision, so that 0.52 reads 0.52. A load or a run
// queue is never negative.
std::optional<LoadAverage64> load_average64(const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept {
  if (!loadavg) return std::nullopt;
  using sys_reader::parse_f64;
  return LoadAverage64{finite_non_negative(parse_f64(loadavg->runnable)),
                       finite_non_negative(parse_f64(loadavg->load_1)),
                       finite_non_negative(parse_f64(loadavg->load_5)),
                       finite_non_negative(parse_f64(loadavg->load_15))};
}

std::optional<double> uptime_seconds64(std::optional<std::string_view> uptime) noexcept {
  return uptime ? finite_non_negative(sys_reader::parse_f64(*uptime)) : std::nullopt;
}

std::optional<double> zone_celsius64(std::string_view temp) noexcept {
  const std::optional<double> millidegrees = sys_reader::parse_f64(temp);
  if (!millidegrees || !std::isfinite(*millidegrees)) return std::nullopt;
  return *millidegrees / 1000.0;
}

// Every 64-bit architecture's name holds "64" (x86_64, aarch64, ppc64le,
// riscv64, mips64, loongarch64, sparc64, parisc64, ia64) but two.
std::uint32_t kernel_word_bits(std::string_view machine) noexcept {
  if (machine.empty() || machine.find("64") != std::string_view::npos || machine == "s390x" ||
      machine == "alpha" || machine.substr(0, 5) == "armv8") {
    return 64;
  }
  return 32;
}

IntervalSample interval_sample(CounterReading& previous, CounterReading& current) {
  IntervalSample s;
  s.timestamp = current.timestamp;
  s.interval_seconds = static_cast<double>(saturating_sub(current.monotonic_ns, previous.monotonic_ns)) / 1e9;
  const double seconds = s.interval_seconds;
  // An increase per second, or nullopt without both counters or any time.
  const auto rate = [seconds](Count before, Count now) -> std::optional<double> {
    if (!before || !now) return std::nullopt;
    return per_second(saturating_sub(*now, *before), seconds);
  };

  if (previous.cpu && current.cpu) s.cpu = cpu_shares(*previous.cpu, *current.cpu);
  if (previous.cpus && current.cpus) s.cpus_usage = cpus_usage(*previous.cpus, *current.cpus);
  if (current.processes) {
    s.processes_running = current.processes->running;
    s.processes_blocked = current.processes->blocked;
  }
  if (current.load) s.run_queue_length = current.load->run_queue_length;
  s.context_switches_per_sec = rate(previous.context_switches_total, current.context_switches_total);
  if (!current.zones.empty()) s.cpu_temp_celsius = current.zones.front().celsius;
  s.throttle_status = current.throttle_status;
  s.mem_total_bytes = current.memory.total_bytes;
  s.mem_used_bytes = current.memory.used_bytes;
  s.page_faults_minor_per_sec = rate(minor_faults(previous), minor_faults(current));
  s.page_faults_major_per_sec = rate(previous.page_faults_major_total, current.page_faults_major_total);
  s.uptime_seconds = current.uptime_seconds;
  s.load = current.load;
  // A disk counter that steps back was reset, whatever the kernel.
  const auto [read, written] = summed_increase(previous.disks, current.disks, 64);
  s.disk_read_bytes_per_sec = per_second(read, seconds);
  s.disk_write_bytes_per_sec = per_second(written, seconds);
  const auto [received, transmitted] =
      summed_increase(previous.interfaces, current.interfaces, current.kernel_word_bits);
  s.net_rx_bytes_per_sec = per_second(received, seconds);
  s.net_tx_bytes_per_sec = per_second(transmitted, seconds);
  s.disks = disk_rates(previous.disks, current.disks, seconds);
  s.interfaces = interface_rates(previous.interfaces, current.interfaces, current.kernel_word_bits, seconds);
  s.arm_clock_hz = current.arm_clock_hz;
  s.mem_available_bytes = current.memory.available_bytes;
  if (previous.pressure && current.pressure) s.pressure = pressure_shares(*previous.pressure, *current.pressure, seconds);
  s.board = current.board;
  s.zones = current.zones;
  s.swap_total_bytes = current.memory.swap_total_bytes;
  s.swap_used_bytes = current.memory.swap_used_bytes;
  return s;
}

}  // namespace quillmere::collector
