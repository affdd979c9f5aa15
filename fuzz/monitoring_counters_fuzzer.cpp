// The monitoring contract against the exact contract over the same records:
// on any text they must take the same fields, differing only where the
// monitoring side reports a missing line, a malformed field or a value that
// does not fit as absent instead of 0 or a wrapped number.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/exact/exact_contract.h"
#include "collector/monitoring/monitoring_contract.h"
#include "fuzz_support.h"
#include "sys_reader/sources/loadavg.h"
#include "sys_reader/sources/meminfo.h"
#include "sys_reader/sources/stat.h"
#include "sys_reader/sources/vmstat.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace co = quillmere::collector;
namespace ex = quillmere::collector::exact;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qf::ReaderText reader_text(qf::as_text(data, size));
  const std::string_view text = reader_text.view();

  // A value the monitoring side reports is the exact call's; the exact call
  // reads what the monitoring side leaves absent as 0.
  const sr::StatRecord stat = sr::parse_stat(text);
  const ex::CpuTimes times = ex::cpu_times(stat, 0);
  if (const std::optional<co::CpuTicks> ticks = co::cpu_ticks(stat)) {
    const co::CpuTicks& t = *ticks;
    const co::CpuTicks& u = times.ticks;
    FUZZ_CHECK(t.user == u.user && t.nice == u.nice && t.system == u.system && t.idle == u.idle &&
                   t.iowait == u.iowait && t.irq == u.irq && t.softirq == u.softirq && t.steal == u.steal,
               text);
  }
  // Unknown to the monitoring side only when a column is not a number.
  FUZZ_CHECK(co::cpu_ticks(stat).has_value() == (stat.cpu.has_value() && stat.malformed_columns == 0), text);
  FUZZ_CHECK(stat.context_switches.value_or(0) == times.context_switches_total, text);
  // The monitoring pass's one scan reads the same totals, and one entry per
  // CPU number in rising order.
  const sr::StatDetail detail = sr::parse_stat_detail(text);
  FUZZ_CHECK(detail.totals.cpu.has_value() == stat.cpu.has_value() &&
                 detail.totals.malformed_columns == stat.malformed_columns &&
                 detail.totals.context_switches == stat.context_switches,
             text);
  if (stat.cpu && detail.totals.cpu) {
    const co::CpuTicks& a = *stat.cpu;
    const co::CpuTicks& b = *detail.totals.cpu;
    FUZZ_CHECK(a.user == b.user && a.nice == b.nice && a.system == b.system && a.idle == b.idle &&
                   a.iowait == b.iowait && a.irq == b.irq && a.softirq == b.softirq && a.steal == b.steal,
               text);
  }
  for (std::size_t i = 1; i < detail.cpus.size(); ++i) FUZZ_CHECK(detail.cpus[i - 1].cpu < detail.cpus[i].cpu, text);

  const sr::MeminfoRecord meminfo = sr::parse_meminfo(text);
  const co::MemoryCounters memory = co::memory_counters(meminfo);
  const ex::MemoryUsage usage = ex::memory_usage(meminfo);
  FUZZ_CHECK(!memory.total_bytes || memory.total_bytes == usage.mem_total_bytes, text);
  FUZZ_CHECK(!memory.used_bytes || memory.used_bytes == usage.mem_used_bytes, text);
  // What is used never exceeds the total, and needs it.
  FUZZ_CHECK(!memory.used_bytes || memory.used_bytes <= memory.total_bytes, text);

  // The same tokens: a double-precision load rounded to single precision is
  // the single-precision parse, or (rounding twice) its neighbour; only a
  // finite value that is not negative is reported.
  const std::optional<sr::LoadavgRecord> loadavg = sr::parse_loadavg(text);
  const std::optional<co::LoadAverage64> load = co::load_average64(loadavg);
  const ex::LoadAverage single = ex::load_average(loadavg);
  FUZZ_CHECK(load.has_value() == loadavg.has_value(), text);
  if (load) {
    const auto same = [](std::optional<double> a, float b) {
      if (!a) return true;
      const auto narrowed = static_cast<float>(*a);
      return std::isfinite(*a) && *a >= 0.0 &&
             (narrowed == b || std::nextafter(b, HUGE_VALF) == narrowed || std::nextafter(b, -HUGE_VALF) == narrowed);
    };
    FUZZ_CHECK(same(load->load_avg_1, single.load_avg_1) && same(load->load_avg_5, single.load_avg_5) &&
                   same(load->load_avg_15, single.load_avg_15) && same(load->run_queue_length, single.run_queue_length),
               text);
  }

  const sr::VmstatRecord vmstat = sr::parse_vmstat(text);
  const ex::PageFaultCounts counts = ex::page_faults(vmstat, 0, 0);
  FUZZ_CHECK(vmstat.pgfault.value_or(0) == counts.minor_total && vmstat.pgmajfault.value_or(0) == counts.major_total,
             text);
  const sr::VmstatDetail vmstat_detail = sr::parse_vmstat_detail(text);
  FUZZ_CHECK(vmstat_detail.faults.pgfault == vmstat.pgfault && vmstat_detail.faults.pgmajfault == vmstat.pgmajfault,
             text);
  return 0;
}
