// Records to the exact call's values, field by field.
#include "collector/exact/exact_contract.h"

#include <exception>
#include <limits>

#include "sys_reader/numbers.h"

namespace quillmere::collector::exact {
namespace {

using sys_reader::saturating_sub;

// Division first, then multiplication, both in single precision: the exact
// rounding of each step is part of the result.
float percent_of(std::uint64_t part, float total) noexcept { return static_cast<float>(part) / total * 100.0f; }

// Truncates a non-negative rate to an integer. NaN and negative quotients
// (a zero or negative interval) give 0; anything at or above 2^64 gives the
// largest value, where a plain cast would be undefined.
std::uint64_t rate_to_u64(double rate) noexcept {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(rate > 0.0)) return 0;
  if (rate >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rate);
}

}  // namespace

CpuTimes cpu_times(const sys_reader::StatRecord& stat, std::uint64_t previous_context_switches_total) noexcept {
  CpuTimes times;
  times.ticks = stat.cpu.value_or(sys_reader::CpuTicks{});
  const sys_reader::CpuTicks& t = times.ticks;
  times.total = t.user + t.nice + t.system + t.idle + t.iowait + t.irq + t.softirq + t.steal;
  times.context_switches_total = stat.context_switches.value_or(0);
  // A count below the previous one (a wrap or a different boot) is no
  // activity rather than a huge wrapped difference.
  times.context_switches = saturating_sub(times.context_switches_total, previous_context_switches_total);
  return times;
}

void fill_cpu_percentages(const CpuTimes& times, MetricsSnapshot& s) noexcept {
  const sys_reader::CpuTicks& t = times.ticks;
  const auto total = static_cast<float>(times.total);
  s.cpu_usage_percent = percent_of(saturating_sub(times.total, t.idle), total);
  s.cpu_user_percent = percent_of(t.user + t.nice, total);
  s.cpu_system_percent = percent_of(t.system, total);
  s.cpu_idle_percent = percent_of(t.idle, total);
  s.cpu_iowait_percent = percent_of(t.iowait, total);
  s.cpu_irq_percent = percent_of(t.irq, total);
  s.cpu_softirq_percent = percent_of(t.softirq, total);
  s.cpu_steal_percent = percent_of(t.steal, total);
}

LoadAverage load_average(const std::optional<sys_reader::LoadavgRecord>& loadavg) noexcept {
  if (!loadavg) return {};
  using sys_reader::parse_f32_or_zero;
  return LoadAverage{parse_f32_or_zero(loadavg->runnable), parse_f32_or_zero(loadavg->load_1),
                     parse_f32_or_zero(loadavg->load_5), parse_f32_or_zero(loadavg->load_15)};
}

// The classic total - free - buffers - cached, in kibibytes whatever the unit
// token says, in plain (wrapping) 64-bit arithmetic; MemAvailable is
// deliberately not used.
MemoryUsage memory_usage(const sys_reader::MeminfoRecord& m) noexcept {
  const std::uint64_t total = m.mem_total.kib.value_or(0);
  const std::uint64_t unused = m.mem_free.kib.value_or(0) + m.buffers.kib.value_or(0) + m.cached.kib.value_or(0);
  return MemoryUsage{total * 1024, saturating_sub(total, unused) * 1024};
}

// pgfault counts every fault, major ones included, and is passed on as it is.
PageFaultCounts page_faults(const sys_reader::VmstatRecord& vmstat, std::uint64_t previous_minor_total,
                            std::uint64_t previous_major_total) noexcept {
  PageFaultCounts faults;
  faults.minor_total = vmstat.pgfault.value_or(0);
  faults.major_total = vmstat.pgmajfault.value_or(0);
  faults.minor = saturating_sub(faults.minor_total, previous_minor_total);
  faults.major = saturating_sub(faults.major_total, previous_major_total);
  return faults;
}

double uptime_seconds(std::optional<std::string_view> uptime) noexcept {
  return sys_reader::parse_f64_or_zero(uptime);
}

std::optional<float> zone_celsius(std::string_view temp) noexcept {
  const std::optional<float> millidegrees = sys_reader::parse_f32(temp);
  if (!millidegrees) return std::nullopt;
  return *millidegrees / 1000.0f;
}

// The components are judged apart: a counter that went back (device
// re-created, counter reset) contributes 0 while the other still counts. A
// counter that is not a number reads 0.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): a unit and a period, each named for its use
std::pair<std::uint64_t, std::uint64_t> device_rates(DeviceTable& previous, DeviceTable& current,
                                                     std::uint64_t unit_bytes, double interval_seconds) noexcept {
  // NOLINTEND(bugprone-easily-swappable-parameters)
  using Sums = std::pair<std::uint64_t, std::uint64_t>;
  Sums sums{0, 0};
  try {
    sums = fold_matches(previous, current, sums,
                        [unit_bytes](Sums& sum, const sys_reader::DeviceLine& before, const sys_reader::DeviceLine& now,
                                     std::size_t) {
                          sum.first += saturating_sub(now.first.value_or(0) * unit_bytes,
                                                      before.first.value_or(0) * unit_bytes);
                          sum.second += saturating_sub(now.second.value_or(0) * unit_bytes,
                                                       before.second.value_or(0) * unit_bytes);
                        });
  } catch (const std::exception&) {
    return {0, 0};  // out of memory for a names index
  }
  const auto [first, second] = sums;
  return {rate_to_u64(static_cast<double>(first) / interval_seconds),
          rate_to_u64(static_cast<double>(second) / interval_seconds)};
}

}  // namespace quillmere::collector::exact
