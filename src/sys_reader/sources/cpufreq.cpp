// The cpufreq policies' current frequency and CPU lists.
#include "sys_reader/sources/cpufreq.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

// The policy's scaling_cur_freq ("1500000\n", kHz) in Hz; nullopt when it
// cannot be read ("<unknown>" from some drivers) or does not fit.
std::optional<std::uint64_t> policy_hz(const std::string& policy_dir) {
  const std::optional<std::string> text = read_text_file((policy_dir + "scaling_cur_freq").c_str());
  if (!text) return std::nullopt;
  const std::optional<std::uint64_t> khz = parse_u64(trim_whitespace(*text));
  return khz ? checked_mul(*khz, 1000) : std::nullopt;
}

}  // namespace

std::optional<std::vector<std::pair<std::uint32_t, std::uint64_t>>> read_cpu_frequencies(const Roots& roots) {
  const std::string dir = roots.path_of(kCpufreqDir);
  const std::vector<std::string> policies = directory_entries(dir.c_str(), "policy");
  if (policies.empty()) return std::nullopt;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> frequencies;
  for (const std::string& policy : policies) {
    std::string policy_dir = dir;
    policy_dir.append("/").append(policy).append("/");
    const std::optional<std::uint64_t> hz = policy_hz(policy_dir);
    if (!hz) continue;
    // "0 1 2 3\n": the CPUs that run at the policy's frequency.
    const std::optional<std::string> cpus = read_text_file((policy_dir + "affected_cpus").c_str());
    if (!cpus) continue;
    TokenCursor tokens(*cpus);
    while (const std::optional<std::string_view> token = tokens.next()) {
      const std::optional<std::uint64_t> cpu = parse_u64(*token);
      if (cpu && *cpu <= std::numeric_limits<std::uint32_t>::max()) {
        frequencies.emplace_back(static_cast<std::uint32_t>(*cpu), *hz);
      }
    }
  }
  // Stable, so that of a CPU listed twice the first policy's entry stays.
  const auto by_cpu = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(frequencies.begin(), frequencies.end(), by_cpu);
  frequencies.erase(std::unique(frequencies.begin(), frequencies.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; }),
                    frequencies.end());
  return frequencies;
}

}  // namespace quillmere::sys_reader
