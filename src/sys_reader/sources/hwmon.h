// Hardware monitoring chips ({sysfs}/class/hwmon/hwmon*): temperatures,
// voltages, fans, power and current, with their alarms.
//
// Promises: one sensor per temp*, in*, fan*, power* and curr* name of a chip
// directory that has an _input file or an alarm file (_alarm, _crit_alarm,
// _lcrit_alarm), sorted byte-wise by key. Every file is opened non-blocking,
// read only when it is a regular file, and passed over when it cannot be
// read: a sensor whose input fails to read (an I2C chip that does not answer)
// keeps its alarm and label. Chip names and labels are the bytes of their
// files without white space at either end.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kHwmonDir{Root::kSysfs, "class/hwmon"};

struct HwmonSensor {
  // "CHIP/SENSOR", e.g. "cpu_thermal/temp1". CHIP is the chip's `name` file
  // (the hwmonN entry's own name when it has none). When several chips share
  // a name, each of them is CHIP-DEVICE, DEVICE being the last component of
  // the target of its `device` link ("nvme-nvme0", "ina219-1-0040"), which
  // stays the same from boot to boot where hwmonN numbers need not; a chip
  // without such a link, or whose DEVICE does not set it apart, is
  // CHIP-hwmonN. The kernel refuses '-' in chip names, so a suffixed key
  // never meets a chip's own name.
  std::string key;
  std::optional<std::string> label;  // SENSOR_label
  // SENSOR_input in degrees Celsius, volts, RPM, watts or amperes (the files
  // hold millidegrees, millivolts, RPM, microwatts, milliamperes); nullopt
  // when missing, unreadable, malformed or not finite.
  std::optional<double> value;
  // True when any of SENSOR_alarm, _crit_alarm, _lcrit_alarm reads non-zero,
  // false when those that read are all 0, nullopt when none reads. The Pi's
  // under-voltage is rpi_volt/in0: an in0_lcrit_alarm and no in0_input.
  std::optional<bool> alarm;

  bool operator==(const HwmonSensor&) const = default;
};

// Every sensor of every chip, sorted by key; nullopt when the hwmon class
// directory cannot be listed or has no hwmon* entry. Drivers from before 3.x keep the files in the
// chip's device directory: a hwmonN without a `name` file whose `device`
// directory has one is read there. Throws only std::bad_alloc.
std::optional<std::vector<HwmonSensor>> read_hwmon(const Roots& roots);

}  // namespace quillmere::sys_reader
