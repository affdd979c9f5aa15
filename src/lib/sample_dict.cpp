// Building the Sampler's dictionary from an IntervalSample.
#include "lib/sample_dict.h"

#include <optional>
#include <vector>

#include "lib/py_ref.h"
#include "lib/timestamp.h"

namespace quillmere::lib {
namespace {

PyObject* disk_rates_dict(const DictKeys& keys, const std::optional<std::vector<collector::DiskRates>>& disks) {
  return named_entries(disks, [&keys](PyObject* e, const collector::DiskRates& disk) {
    return set_item(e, keys[key("read_bytes_per_sec")], to_float(disk.read_bytes_per_sec)) &&
           set_item(e, keys[key("write_bytes_per_sec")], to_float(disk.write_bytes_per_sec)) &&
           set_item(e, keys[key("reads_per_sec")], to_float(disk.reads_per_sec)) &&
           set_item(e, keys[key("writes_per_sec")], to_float(disk.writes_per_sec)) &&
           set_item(e, keys[key("busy_percent")], to_float(disk.busy_percent));
  });
}

PyObject* interface_rates_dict(const DictKeys& keys,
                               const std::optional<std::vector<collector::InterfaceRates>>& interfaces) {
  return named_entries(interfaces, [&keys](PyObject* e, const collector::InterfaceRates& net) {
    return set_item(e, keys[key("rx_bytes_per_sec")], to_float(net.rx_bytes_per_sec)) &&
           set_item(e, keys[key("tx_bytes_per_sec")], to_float(net.tx_bytes_per_sec)) &&
           set_item(e, keys[key("rx_packets_per_sec")], to_float(net.rx_packets_per_sec)) &&
           set_item(e, keys[key("tx_packets_per_sec")], to_float(net.tx_packets_per_sec)) &&
           set_item(e, keys[key("errors_per_sec")], to_float(net.errors_per_sec)) &&
           set_item(e, keys[key("drops_per_sec")], to_float(net.drops_per_sec));
  });
}

PyObject* pressure_shares_dict(const DictKeys& keys, const std::optional<std::vector<collector::PressureShare>>& shares) {
  return named_entries(shares, [&keys](PyObject* e, const collector::PressureShare& share) {
    return set_item(e, keys[key("some_percent")], PyFloat_FromDouble(share.some_percent)) &&
           set_item(e, keys[key("full_percent")], to_float(share.full_percent));
  });
}

}  // namespace

PyObject* build_sample_dict(const DictKeys& keys, const collector::IntervalSample& s, std::uint64_t missed) {
  using Shares = collector::IntervalSample::CpuShares;
  const auto cpu = [&s](double Shares::*field) {
    return to_float(s.cpu ? std::optional<double>((*s.cpu).*field) : std::nullopt);
  };
  const auto load = [&s](std::optional<double> collector::LoadAverage64::*field) {
    return to_float(s.load ? (*s.load).*field : std::nullopt);
  };
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, keys[key("timestamp")], PyFloat_FromDouble(timestamp_seconds(s.timestamp))) &&
                  set_item(d, keys[key("cpu_usage_percent")], cpu(&Shares::usage)) &&
                  set_item(d, keys[key("cpu_user_percent")], cpu(&Shares::user)) &&
                  set_item(d, keys[key("cpu_system_percent")], cpu(&Shares::system)) &&
                  set_item(d, keys[key("cpu_idle_percent")], cpu(&Shares::idle)) &&
                  set_item(d, keys[key("cpu_iowait_percent")], cpu(&Shares::iowait)) &&
                  set_item(d, keys[key("cpu_irq_percent")], cpu(&Shares::irq)) &&
                  set_item(d, keys[key("cpu_softirq_percent")], cpu(&Shares::softirq)) &&
                  set_item(d, keys[key("cpu_steal_percent")], cpu(&Shares::steal)) &&
                  set_item(d, keys[key("run_queue_length")], to_float(s.run_queue_length)) &&
                  set_item(d, keys[key("context_switches_per_sec")], to_float(s.context_switches_per_sec)) &&
                  set_item(d, keys[key("cpu_temp_celsius")], to_float(s.cpu_temp_celsius)) &&
                  set_item(d, keys[key("throttle_status")], to_int(s.throttle_status)) &&
                  set_item(d, keys[key("mem_total_bytes")], to_int(s.mem_total_bytes)) &&
                  set_item(d, keys[key("mem_used_bytes")], to_int(s.mem_used_bytes)) &&
                  set_item(d, keys[key("page_faults_minor_per_sec")], to_float(s.page_faults_minor_per_sec)) &&
                  set_item(d, keys[key("page_faults_major_per_sec")], to_float(s.page_faults_major_per_sec)) &&
                  set_item(d, keys[key("uptime_seconds")], to_float(s.uptime_seconds)) &&
                  set_item(d, keys[key("load_avg_1")], load(&collector::LoadAverage64::load_avg_1)) &&
                  set_item(d, keys[key("load_avg_5")], load(&collector::LoadAverage64::load_avg_5)) &&
                  set_item(d, keys[key("load_avg_15")], load(&collector::LoadAverage64::load_avg_15)) &&
                  set_item(d, keys[key("disk_read_bytes_per_sec")], to_float(s.disk_read_bytes_per_sec)) &&
                  set_item(d, keys[key("disk_write_bytes_per_sec")], to_float(s.disk_write_bytes_per_sec)) &&
                  set_item(d, keys[key("net_rx_bytes_per_sec")], to_float(s.net_rx_bytes_per_sec)) &&
                  set_item(d, keys[key("net_tx_bytes_per_sec")], to_float(s.net_tx_bytes_per_sec)) &&
                  set_item(d, keys[key("measure_clock")], to_int(s.arm_clock_hz)) &&
                  set_item(d, keys[key("interval_seconds")], PyFloat_FromDouble(s.interval_seconds)) &&
                  set_item(d, keys[key("mem_available_bytes")], to_int(s.mem_available_bytes)) &&
                  set_item(d, keys[key("missed")], to_int(missed)) &&
                  set_item(d, keys[key("cpus_usage_percent")],
                           per_cpu_dict(s.cpus_usage, [](const auto& usage) { return to_float(usage.second); })) &&
                  set_item(d, keys[key("processes_running")], to_int(s.processes_running)) &&
                  set_item(d, keys[key("processes_blocked")], to_int(s.processes_blocked)) &&
                  set_item(d, keys[key("pressure")], pressure_shares_dict(keys, s.pressure)) &&
                  set_item(d, keys[key("disks")], disk_rates_dict(keys, s.disks)) &&
                  set_item(d, keys[key("interfaces")], interface_rates_dict(keys, s.interfaces)) &&
                  set_item(d, keys[key("cpu_frequencies_hz")],
                           per_cpu_dict(s.board.cpu_frequencies_hz, frequency_of)) &&
                  set_item(d, keys[key("filesystems")], filesystems_dict(keys, s.board.filesystems)) &&
                  set_item(d, keys[key("temperatures")], temperatures_dict(keys, s.zones)) &&
                  set_item(d, keys[key("hwmon")], hwmon_dict(keys, s.board.hwmon)) &&
                  set_item(d, keys[key("throttle")], throttle_dict(keys, s.throttle_status)) &&
                  set_item(d, keys[key("wireless")], wireless_dict(keys, s.board.wireless)) &&
                  set_item(d, keys[key("swap_total_bytes")], to_int(s.swap_total_bytes)) &&
                  set_item(d, keys[key("swap_used_bytes")], to_int(s.swap_used_bytes)) &&
                  set_item(d, keys[key("clock_synchronized")],
                           to_bool(s.board.clock ? std::optional<bool>(s.board.clock->synchronized) : std::nullopt));
  return ok ? dict.release() : nullptr;
}

}  // namespace quillmere::lib
