// Test helpers that run a source's parse and a module's contract over a text,
// as the collectors do over a file's text, and make device tables from texts
// written to files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "collector/device_table.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/file_read.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/loadavg.h"
#include "sys_reader/sources/meminfo.h"
#include "sys_reader/sources/net_dev.h"
#include "sys_reader/sources/stat.h"
#include "sys_reader/sources/uptime.h"
#include "sys_reader/sources/vmstat.h"
#include "test_support.h"

namespace quillmere::test {

// A file's text as the collectors take it: empty when it cannot be read.
inline std::string file_text(const std::string& path) {
  return sys_reader::read_text_file(path.c_str()).value_or(std::string());
}

namespace exact = collector::exact;

inline exact::CpuTimes exact_cpu_times(std::string_view text, std::uint64_t previous_context_switches) {
  return exact::cpu_times(sys_reader::parse_stat(text), previous_context_switches);
}
inline exact::MemoryUsage exact_memory_usage(std::string_view text) {
  return exact::memory_usage(sys_reader::parse_meminfo(text));
}
inline exact::LoadAverage exact_load_average(std::string_view text) {
  return exact::load_average(sys_reader::parse_loadavg(text));
}
inline double exact_uptime(std::string_view text) { return exact::uptime_seconds(sys_reader::parse_uptime(text)); }
inline exact::PageFaultCounts exact_page_faults(std::string_view text, std::uint64_t previous_minor,
                                                std::uint64_t previous_major) {
  return exact::page_faults(sys_reader::parse_vmstat(text), previous_minor, previous_major);
}

// `text` written to `name` in `dir` and read back as the collectors read a
// device file.
inline void read_device_text(const TempDir& dir, const std::string& name, std::string_view text,
                             const sys_reader::DeviceLayout& layout, collector::DeviceTable& table) {
  const std::string path = dir.write_file(name, text).string();
  collector::read_device_table(path.c_str(), sys_reader::kDeviceSourceLimit, layout, table);
}

}  // namespace quillmere::test
