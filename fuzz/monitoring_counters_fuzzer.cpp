// The monitoring parsers against the one-shot parsers of the same files: on
// any text they must take the same fields, differing only where they report
// a missing line as absent instead of 0.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sys_reader/counters.h"
#include "sys_reader/readers.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qf::ReaderText reader_text(qf::as_text(data, size));
  const std::string_view text = reader_text.view();

  const sr::StatCounters stat = sr::parse_stat_counters(text);
  const sr::CpuTimes times = sr::parse_cpu_times(text, 0);
  const sr::CpuTicks ticks = stat.cpu.value_or(sr::CpuTicks{});
  FUZZ_CHECK(ticks.user + ticks.nice == times.user && ticks.system == times.system && ticks.idle == times.idle &&
                 ticks.iowait == times.iowait && ticks.irq == times.irq && ticks.softirq == times.softirq &&
                 ticks.steal == times.steal,
             text);
  FUZZ_CHECK(stat.context_switches_total.value_or(0) == times.context_switches_total, text);

  const sr::MemoryCounters memory = sr::parse_memory_counters(text);
  const sr::MemoryUsage usage = sr::parse_memory_usage(text);
  FUZZ_CHECK(memory.total_bytes.value_or(0) == usage.mem_total_bytes, text);
  FUZZ_CHECK(memory.used_bytes.value_or(0) == usage.mem_used_bytes, text);
  FUZZ_CHECK(memory.used_bytes.has_value() == memory.total_bytes.has_value(), text);

  // The same tokens: a double-precision load rounded to single precision is
  // the single-precision parse, or (rounding twice) its neighbour.
  const std::optional<sr::LoadAverage64> load = sr::parse_load_average64(text);
  const sr::LoadAverage single = sr::parse_load_average(text);
  const sr::LoadAverage64 wide = load.value_or(sr::LoadAverage64{});
  const auto same = [](double a, float b) {
    const auto narrowed = static_cast<float>(a);
    return (std::isnan(a) && std::isnan(b)) || narrowed == b || std::nextafter(b, HUGE_VALF) == narrowed ||
           std::nextafter(b, -HUGE_VALF) == narrowed;
  };
  FUZZ_CHECK(same(wide.load_avg_1, single.load_avg_1) && same(wide.load_avg_5, single.load_avg_5) &&
                 same(wide.load_avg_15, single.load_avg_15) && same(wide.run_queue_length, single.run_queue_length),
             text);

  const sr::PageFaultTotals faults = sr::parse_page_fault_totals(text);
  const sr::PageFaultCounts counts = sr::parse_page_faults(text, 0, 0);
  FUZZ_CHECK(faults.faults.value_or(0) == counts.minor_total && faults.major_faults.value_or(0) == counts.major_total,
             text);
  return 0;
}
