// /proc/stat through the exact contract: total is the sum of the columns, the context-switch
// difference saturates against the count handed in and is the only field that
// count affects, and "\r\n" line ends read like "\n".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/stat.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace ex = quillmere::collector::exact;

namespace {

ex::CpuTimes parse_cpu_times(std::string_view text, std::uint64_t previous) {
  return ex::cpu_times(sr::parse_stat(text), previous);
}

bool same_except_context_switches(const ex::CpuTimes& a, const ex::CpuTimes& b) {
  const sr::CpuTicks& s = a.ticks;
  const sr::CpuTicks& t = b.ticks;
  return s.user == t.user && s.nice == t.nice && s.system == t.system && s.idle == t.idle && s.iowait == t.iowait &&
         s.irq == t.irq && s.softirq == t.softirq && s.steal == t.steal && a.total == b.total &&
         a.context_switches_total == b.context_switches_total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Any bytes at all must be safe to parse; the checks below are made on
  // the text the reader really gets.
  const std::string_view raw = qf::as_text(data, size);
  parse_cpu_times(raw, 0);
  const qf::ReaderText reader_text(raw);
  const std::string_view text = reader_text.view();
  const ex::CpuTimes times = parse_cpu_times(text, 0);
  // Unsigned arithmetic: the sum is taken modulo 2^64 like the counters.
  const sr::CpuTicks& t = times.ticks;
  const std::uint64_t sum = t.user + t.nice + t.system + t.idle + t.iowait + t.irq + t.softirq + t.steal;
  FUZZ_CHECK(times.total == sum, text, "total " + std::to_string(times.total) + ", sum " + std::to_string(sum));
  FUZZ_CHECK(times.context_switches == times.context_switches_total, text);

  const std::uint64_t count = times.context_switches_total;
  const std::uint64_t previous[] = {count - 1, count, count + 1, count / 2, UINT64_MAX};
  for (const std::uint64_t p : previous) {
    const ex::CpuTimes later = parse_cpu_times(text, p);
    FUZZ_CHECK(same_except_context_switches(later, times), text, "previous " + std::to_string(p));
    const std::uint64_t want = count > p ? count - p : 0;
    FUZZ_CHECK(later.context_switches == want, text,
               "previous " + std::to_string(p) + ": got " + std::to_string(later.context_switches));
  }

  const std::string crlf = qf::with_crlf(text);
  const ex::CpuTimes from_crlf = parse_cpu_times(crlf, 0);
  FUZZ_CHECK(same_except_context_switches(from_crlf, times) && from_crlf.context_switches == times.context_switches,
             text, "differs with \\r\\n line ends");
  return 0;
}
