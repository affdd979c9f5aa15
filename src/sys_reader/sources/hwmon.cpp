// The hwmon chips: their names, their sensors' files, and the keys that tell
// chips of one name apart.
#include "sys_reader/sources/hwmon.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include <unistd.h>  // readlink

#include "os/unique_fd.h"  // retry_on_eintr
#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

// The sensor kinds read, and what their _input files are divided by to give
// the unit of the kind.
struct SensorKind {
  std::string_view prefix;
  double divisor;
};
constexpr std::array<SensorKind, 5> kKinds = {{
    {"temp", 1000.0},     // millidegrees Celsius
    {"in", 1000.0},       // millivolts
    {"fan", 1.0},         // RPM
    {"power", 1000000.0}, // microwatts
    {"curr", 1000.0},     // milliamperes
}};

constexpr std::array<std::string_view, 3> kAlarmAttributes = {"alarm", "crit_alarm", "lcrit_alarm"};

// "temp1_crit_alarm" -> sensor "temp1", attribute "crit_alarm".
struct SensorFileName {
  std::string_view sensor;
  std::string_view attribute;
  double divisor;
};

bool all_digits(std::string_view text) noexcept {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// nullopt for a file that is not one of a sensor of the kinds read
// ("name", "intrusion0_alarm", "pwm1").
std::optional<SensorFileName> sensor_file_name(std::string_view file) noexcept {
  const std::size_t underscore = file.find('_');
  if (underscore == std::string_view::npos) return std::nullopt;
  const std::string_view sensor = file.substr(0, underscore);
  for (const SensorKind& kind : kKinds) {
    if (starts_with(sensor, kind.prefix) && all_digits(sensor.substr(kind.prefix.size()))) {
      return SensorFileName{sensor, file.substr(underscore + 1), kind.divisor};
    }
  }
  return std::nullopt;
}

// The trimmed bytes of a small sysfs file; nullopt when it cannot be read.
std::optional<std::string> trimmed_file(const std::string& path) {
  const std::optional<std::string> text = read_whole_file(path.c_str());
  if (!text) return std::nullopt;
  return std::string(trim_whitespace(*text));
}

// The integer a sysfs file holds ("1\n"); nullopt when unreadable or not one.
std::optional<std::uint64_t> flag_file(const std::string& path) {
  const std::optional<std::string> text = read_whole_file(path.c_str());
  return text ? parse_u64(trim_whitespace(*text)) : std::nullopt;
}

std::optional<double> input_file(const std::string& path, double divisor) {
  const std::optional<std::string> text = read_whole_file(path.c_str());
  if (!text) return std::nullopt;
  const std::optional<double> raw = parse_f64(trim_whitespace(*text));
  if (!raw || !std::isfinite(*raw)) return std::nullopt;
  return *raw / divisor;
}

// The last component of the target of the symbolic link at `path`
// ("../../../1-0040" gives "1-0040"); nullopt without a usable one.
std::optional<std::string> link_last_component(const std::string& path) {
  std::array<char, 4096> target;  // NOLINT(cppcoreguidelines-pro-type-member-init): readlink fills it
  const ssize_t length = os::retry_on_eintr([&] { return ::readlink(path.c_str(), target.data(), target.size()); });
  if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
  std::string_view view(target.data(), static_cast<std::size_t>(length));
  while (!view.empty() && view.back() == '/') view.remove_suffix(1);
  const std::size_t slash = view.rfind('/');
  if (slash != std::string_view::npos) view.remove_prefix(slash + 1);
  if (view.empty() || view == "." || view == "..") return std::nullopt;
  return std::string(view);
}

struct Chip {
  std::string entry;       // hwmonN
  std::string name;        // the name file, else the entry
  std::string sensor_dir;  // where the sensor files are
  std::string key;         // name, made unique
};

Chip chip_at(const std::string& hwmon_dir, const std::string& entry) {
  Chip chip;
  chip.entry = entry;
  const std::string dir = hwmon_dir + "/" + entry;
  chip.sensor_dir = dir;
  std::optional<std::string> name = trimmed_file(dir + "/name");
  if (!name) {
    name = trimmed_file(dir + "/device/name");
    if (name) chip.sensor_dir = dir + "/device";
  }
  if (name) {
    chip.name = std::move(*name);
  } else {
    chip.name = entry;
  }
  return chip;
}

// Whether each chip's `field` is shared with another chip.
std::vector<bool> clashes(const std::vector<Chip>& chips, std::string Chip::*field) {
  std::vector<bool> shared(chips.size(), false);
  for (std::size_t i = 0; i < chips.size(); ++i) {
    for (std::size_t j = i + 1; j < chips.size(); ++j) {
      if (chips[i].*field == chips[j].*field) shared[i] = shared[j] = true;
    }
  }
  return shared;
}

// Chips of a shared name take their device's name, then, where that still
// clashes or is missing, their entry's (hwmonN, unique in the directory).
// Each step decides on the keys before it changes any, so the keys do not
// depend on the order of the chips. A host has a few dozen chips at most.
void assign_keys(const std::string& hwmon_dir, std::vector<Chip>& chips) {
  for (Chip& chip : chips) chip.key = chip.name;
  const std::vector<bool> shared_name = clashes(chips, &Chip::name);
  for (std::size_t i = 0; i < chips.size(); ++i) {
    if (!shared_name[i]) continue;
    const std::optional<std::string> device = link_last_component(hwmon_dir + "/" + chips[i].entry + "/device");
    chips[i].key = chips[i].name + "-" + device.value_or(chips[i].entry);
  }
  const std::vector<bool> shared_key = clashes(chips, &Chip::key);
  for (std::size_t i = 0; i < chips.size(); ++i) {
    if (shared_key[i]) chips[i].key = chips[i].name + "-" + chips[i].entry;
  }
}

// The sensors of one chip. The directory's entries come sorted, and every
// name that lies between two files of one sensor begins like them, so each
// sensor's files are adjacent.
void add_sensors(const Chip& chip, std::vector<HwmonSensor>& sensors) {
  const std::vector<std::string> files = directory_entries(chip.sensor_dir.c_str());
  std::size_t i = 0;
  while (i < files.size()) {
    const std::optional<SensorFileName> first = sensor_file_name(files[i]);
    if (!first) {
      ++i;
      continue;
    }
    bool has_input = false;
    bool has_label = false;
    std::array<bool, kAlarmAttributes.size()> has_alarm{};
    for (; i < files.size(); ++i) {
      const std::optional<SensorFileName> file = sensor_file_name(files[i]);
      if (!file || file->sensor != first->sensor) break;
      has_input = has_input || file->attribute == "input";
      has_label = has_label || file->attribute == "label";
      for (std::size_t a = 0; a < kAlarmAttributes.size(); ++a) {
        has_alarm[a] = has_alarm[a] || file->attribute == kAlarmAttributes[a];
      }
    }
    const bool any_alarm = std::find(has_alarm.begin(), has_alarm.end(), true) != has_alarm.end();
    if (!has_input && !any_alarm) continue;
    const std::string base = chip.sensor_dir + "/" + std::string(first->sensor) + "_";
    HwmonSensor sensor;
    sensor.key = chip.key + "/" + std::string(first->sensor);
    if (has_label) sensor.label = trimmed_file(base + "label");
    if (has_input) sensor.value = input_file(base + "input", first->divisor);
    for (std::size_t a = 0; a < kAlarmAttributes.size(); ++a) {
      if (!has_alarm[a]) continue;
      const std::optional<std::uint64_t> set = flag_file(base + std::string(kAlarmAttributes[a]));
      if (set) sensor.alarm = sensor.alarm.value_or(false) || *set != 0;
    }
    sensors.push_back(std::move(sensor));
  }
}

}  // namespace

std::optional<std::vector<HwmonSensor>> read_hwmon(const Roots& roots) {
  const std::string dir = roots.path_of(kHwmonDir);
  const std::vector<std::string> entries = directory_entries(dir.c_str(), "hwmon");
  if (entries.empty()) return std::nullopt;
  std::vector<Chip> chips;
  chips.reserve(entries.size());
  for (const std::string& entry : entries) chips.push_back(chip_at(dir, entry));
  assign_keys(dir, chips);
  std::vector<HwmonSensor> sensors;
  for (const Chip& chip : chips) add_sensors(chip, sensors);
  std::sort(sensors.begin(), sensors.end(), [](const HwmonSensor& a, const HwmonSensor& b) { return a.key < b.key; });
  return sensors;
}

}  // namespace quillmere::sys_reader
