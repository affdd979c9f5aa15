// The monitoring parsers against the one-shot parsers of the same files: on
// any text they must take the same fields, differing only where they report
// a missing line, a malformed field or a value that does not fit as absent
// instead of 0 or a wrapped number.
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

  // Told to read a malformed field as 0, they take what the one-shot readers take.
  const sr::StatCounters stat = sr::parse_stat_counters(text, sr::Malformed::kZero);
  const sr::CpuTimes times = sr::parse_cpu_times(text, 0);
  const sr::CpuTicks ticks = stat.cpu.value_or(sr::CpuTicks{});
  FUZZ_CHECK(ticks.user + ticks.nice == times.user && ticks.system == times.system && ticks.idle == times.idle &&
                 ticks.iowait == times.iowait && ticks.irq == times.irq && ticks.softirq == times.softirq &&
                 ticks.steal == times.steal,
             text);
  FUZZ_CHECK(stat.context_switches_total.value_or(0) == times.context_switches_total, text);
  // Left to themselves they report a value only where the text holds it.
  const sr::StatCounters strict_stat = sr::parse_stat_counters(text);
  if (strict_stat.cpu) {
    const sr::CpuTicks& t = *strict_stat.cpu;
    FUZZ_CHECK(t.user == ticks.user && t.nice == ticks.nice && t.system == ticks.system && t.idle == ticks.idle &&
                   t.iowait == ticks.iowait && t.irq == ticks.irq && t.softirq == ticks.softirq &&
                   t.steal == ticks.steal,
               text);
  }
  FUZZ_CHECK(!strict_stat.context_switches_total || strict_stat.context_switches_total == stat.context_switches_total,
             text);

  const sr::MemoryCounters memory = sr::parse_memory_counters(text, sr::Malformed::kZero);
  const sr::MemoryUsage usage = sr::parse_memory_usage(text);
  FUZZ_CHECK(memory.total_bytes.value_or(0) == usage.mem_total_bytes, text);
  FUZZ_CHECK(memory.used_bytes.value_or(0) == usage.mem_used_bytes, text);
  FUZZ_CHECK(memory.used_bytes.has_value() == memory.total_bytes.has_value(), text);
  // A total reported is the one-shot value; what is used never exceeds it.
  const sr::MemoryCounters strict_memory = sr::parse_memory_counters(text);
  FUZZ_CHECK(!strict_memory.total_bytes || strict_memory.total_bytes == memory.total_bytes, text);
  FUZZ_CHECK(!strict_memory.used_bytes || strict_memory.used_bytes <= strict_memory.total_bytes, text);

  // The same tokens: a double-precision load rounded to single precision is
  // the single-precision parse, or (rounding twice) its neighbour; only a
  // finite value that is not negative is reported.
  const std::optional<sr::LoadAverage64> load = sr::parse_load_average64(text);
  const sr::LoadAverage single = sr::parse_load_average(text);
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

  const sr::PageFaultTotals faults = sr::parse_page_fault_totals(text, sr::Malformed::kZero);
  const sr::PageFaultCounts counts = sr::parse_page_faults(text, 0, 0);
  FUZZ_CHECK(faults.faults.value_or(0) == counts.minor_total && faults.major_faults.value_or(0) == counts.major_total,
             text);
  const sr::PageFaultTotals strict_faults = sr::parse_page_fault_totals(text);
  FUZZ_CHECK((!strict_faults.faults || strict_faults.faults == faults.faults) &&
                 (!strict_faults.major_faults || strict_faults.major_faults == faults.major_faults),
             text);
  return 0;
}
