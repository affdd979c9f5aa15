// The board's sources over fixture trees made in a temporary directory: the
// mounts file and statvfs, hwmon chips, the wireless file, cpufreq policies,
// the pressure files, and the clock state; each with its absent source.
#include "os/clock_sync.h"
#include "sys_reader/sources/cpufreq.h"
#include "sys_reader/sources/filesystems.h"
#include "sys_reader/sources/hwmon.h"
#include "sys_reader/sources/mounts.h"
#include "sys_reader/sources/pressure.h"
#include "sys_reader/sources/wireless.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <sched.h>        // unshare
#include <sys/mount.h>    // mount
#include <sys/statvfs.h>  // statvfs
#include <sys/timex.h>    // TIME_OK, TIME_ERROR, STA_UNSYNC
#include <sys/wait.h>     // waitpid
#include <unistd.h>       // fork, alarm

#include "test_support.h"

namespace quillmere::sys_reader {

// A sensor as a failed comparison prints it.
void PrintTo(const HwmonSensor& s, std::ostream* out) {
  *out << s.key << " label=" << s.label.value_or("-") << " value=" << s.value.value_or(-1.0)
       << " alarm=" << (s.alarm ? (*s.alarm ? "1" : "0") : "-");
}

namespace {

namespace fs = std::filesystem;

// Roots that all lie in one temporary directory.
class SourceTree : public ::testing::Test {
 protected:
  Roots roots() const {
    Roots r;
    r.procfs = (temp_.path() / "proc").string();
    r.sysfs = (temp_.path() / "sys").string();
    r.rootfs = (temp_.path() / "root").string();
    return r;
  }
  void write(const fs::path& name, std::string_view content) const { temp_.write_file(name, content); }

  test::TempDir temp_;
};

// Each line tests one rule; the comments say which.
TEST(Mounts, KeepsTheTopMountOfEachStoragePointWithEscapesDecoded) {
  const std::vector<MountEntry> got = parse_mounts(
      "/dev/mmcblk0p2 / ext4 rw,noatime 0 0\n"
      "proc /proc proc rw,nosuid 0 0\n"                         // pseudo type, excluded point
      "tmpfs /devices tmpfs rw 0 0\n"                           // /devices is not below /dev
      "devpts /dev/pts devpts rw 0 0\n"
      "tmpfs /dev/shm tmpfs rw 0 0\n"                           // kept type, excluded point
      "server:/export /mnt/nfs nfs4 rw 0 0\n"                   // network
      "host:/ /mnt/ssh fuse.sshfs rw 0 0\n"
      "/dev/sda1 /media/My\\040Disk\\011\\134 vfat ro,relatime 0 0\n"
      " /mnt/empty tmpfs rw 0 0\n"                              // empty device name
      "/dev/sdb1 /srv ext4 rw 0 0\noverlay /srv overlay rw 0 0\n"  // hidden under an overlay
      "/dev/sdc1 /data ext4 rw 0 0\n/dev/sdd1 /data xfs rw,errors=ro 0 0\n"  // the later one on top
      "/dev/sde1 /var/lib/docker/overlay2 ext4 rw 0 0\n"
      "/dev/sdf\\7771 /odd ext4 rw 0 0\n"                       // not an escape: kept as written
      "/dev/sdg1 /short ext4\n"                                 // no options field
      "\xff\xfe /raw ext4 rw 0 0\n");
  const std::vector<MountEntry> want = {
      {"/dev/mmcblk0p2", "/", "ext4", false},     {"tmpfs", "/devices", "tmpfs", false},
      {"/dev/sda1", "/media/My Disk\t\\", "vfat", true}, {"", "/mnt/empty", "tmpfs", false},
      {"/dev/sdd1", "/data", "xfs", false},       {"/dev/sdf\\7771", "/odd", "ext4", false},
      {"\xff\xfe", "/raw", "ext4", false},
  };
  EXPECT_EQ(got, want);
}

// The figures are statvfs of rootfs + the point; pid 1's mounts file first,
// else the process's own; a point that cannot be stat'ed is left out.
TEST_F(SourceTree, FilesystemsAreStatvfsBelowTheRootfs) {
  EXPECT_EQ(read_filesystems(roots()), std::nullopt);
  fs::create_directories(temp_.path() / "root" / "data");
  write("proc/self/mounts", "/dev/sda1 /data ext4 rw 0 0\n/dev/sdb1 /gone ext4 rw 0 0\n");
  const auto from_self = read_filesystems(roots());
  ASSERT_TRUE(from_self.has_value());
  ASSERT_EQ(from_self->size(), 1U);
  struct statvfs want {};
  ASSERT_EQ(::statvfs((temp_.path() / "root" / "data").c_str(), &want), 0);
  const FilesystemUsage& data = from_self->at(0).second;
  EXPECT_EQ(from_self->at(0).first, "/data");
  EXPECT_EQ(data.device, "/dev/sda1");
  EXPECT_EQ(data.size_bytes, static_cast<std::uint64_t>(want.f_blocks) * want.f_frsize);
  EXPECT_EQ(data.files, static_cast<std::uint64_t>(want.f_files));
  EXPECT_LE(data.available_bytes, data.free_bytes);
  EXPECT_FALSE(data.read_only);

  write("proc/1/mounts", "/dev/sdc1 /data ext4 ro 0 0\n/dev/sdd1 / ext4 rw 0 0\n");
  const auto from_init = read_filesystems(roots());
  ASSERT_TRUE(from_init.has_value());
  ASSERT_EQ(from_init->size(), 2U);
  EXPECT_EQ(from_init->at(0).first, "/");  // sorted by point
  EXPECT_EQ(from_init->at(1).second.device, "/dev/sdc1");
  EXPECT_TRUE(from_init->at(1).second.read_only);  // from the options
  EXPECT_EQ(path_below_root("/", "/"), "/");
  EXPECT_EQ(path_below_root("/host/", "/"), "/host");
  EXPECT_EQ(path_below_root("/", "/boot"), "/boot");
}

// Whether this process may make a mount namespace of its own (root, or a
// container that allows it). A forked child tries.
bool mount_namespaces_allowed() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A file system that the kernel made read-only while the mounts file still
// says rw: a read-only bind mount in a private namespace of a forked copy.
TEST_F(SourceTree, FilesystemReadOnlyFromStatvfsWhenTheOptionsSayRw) {
  if (!mount_namespaces_allowed()) GTEST_SKIP() << "no mount namespace here";
  const fs::path data = temp_.path() / "root" / "data";
  fs::create_directories(data);
  write("proc/1/mounts", "/dev/sda1 /data ext4 rw 0 0\n");
  const auto checks = [&]() -> int {
    ::alarm(5);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(data.c_str(), data.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, data.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return 10;
    }
    const auto got = read_filesystems(roots());
    return got && got->size() == 1 && got->at(0).second.read_only ? 0 : 11;
  };
  EXPECT_EXIT(::_exit(checks()), ::testing::ExitedWithCode(0), "");
}

TEST_F(SourceTree, HwmonSensorsByChipWithUnitsAlarmsAndUniqueKeys) {
  EXPECT_EQ(read_hwmon(roots()), std::nullopt);
  write("sys/class/hwmon/hwmon0/name", "cpu_thermal\n");
  write("sys/class/hwmon/hwmon0/temp1_input", "48312\n");
  // The Pi's under-voltage: an alarm without an input.
  write("sys/class/hwmon/hwmon1/name", "rpi_volt\n");
  write("sys/class/hwmon/hwmon1/in0_lcrit_alarm", "1\n");
  // Two chips of one name, told apart by their devices.
  for (const auto& [entry, device, input] : {std::tuple{"hwmon2", "nvme0", "-5000\n"},
                                            std::tuple{"hwmon3", "nvme1", "garbage\n"}}) {
    const fs::path dir = fs::path("sys/class/hwmon") / entry;
    write(dir / "name", "nvme\n");
    write(dir / "temp1_input", input);
    write(dir / "temp1_label", "Composite\n");
    write(dir / "temp1_alarm", "0\n");
    fs::create_directory_symlink(fs::path("../../devices") / device, temp_.path() / dir / "device");
  }
  write("sys/class/hwmon/hwmon2/temp1_crit_alarm", "1\n");
  write("sys/class/hwmon/hwmon4/name", "pwmfan\n");
  write("sys/class/hwmon/hwmon4/fan1_input", "3000\n");
  write("sys/class/hwmon/hwmon4/power1_input", "1500000\n");
  write("sys/class/hwmon/hwmon4/curr1_input", "250\n");
  write("sys/class/hwmon/hwmon4/temp10_input", "inf\n");    // not finite
  write("sys/class/hwmon/hwmon4/in1_max", "5000\n");        // no input, no alarm: left out
  write("sys/class/hwmon/hwmon4/pwm1", "128\n");            // not a sensor kind read
  write("sys/class/hwmon/hwmon4/intrusion0_alarm", "1\n");
  // Three chips of one name: one without a device link, two whose devices
  // end alike; then an old driver's layout.
  for (const auto& [entry, device, input] : {std::tuple{"hwmon5", "", "3300\n"}, std::tuple{"hwmon6", "a/0-0040", "5000\n"},
                                            std::tuple{"hwmon8", "b/0-0040", "1200\n"}}) {
    const fs::path dir = fs::path("sys/class/hwmon") / entry;
    write(dir / "name", "dup\n");
    write(dir / "in0_input", input);
    if (*device != '\0') fs::create_directory_symlink(fs::path("../../devices") / device, temp_.path() / dir / "device");
  }
  write("sys/class/hwmon/hwmon7/device/name", "oldchip\n");
  write("sys/class/hwmon/hwmon7/device/temp1_input", "30000\n");

  const std::vector<HwmonSensor> want = {
      {"cpu_thermal/temp1", std::nullopt, 48.312, std::nullopt},
      {"dup-hwmon5/in0", std::nullopt, 3.3, std::nullopt},
      {"dup-hwmon6/in0", std::nullopt, 5.0, std::nullopt},
      {"dup-hwmon8/in0", std::nullopt, 1.2, std::nullopt},
      {"nvme-nvme0/temp1", "Composite", -5.0, true},
      {"nvme-nvme1/temp1", "Composite", std::nullopt, false},
      {"oldchip/temp1", std::nullopt, 30.0, std::nullopt},
      {"pwmfan/curr1", std::nullopt, 0.25, std::nullopt},
      {"pwmfan/fan1", std::nullopt, 3000.0, std::nullopt},
      {"pwmfan/power1", std::nullopt, 1.5, std::nullopt},
      {"pwmfan/temp10", std::nullopt, std::nullopt, std::nullopt},
      {"rpi_volt/in0", std::nullopt, std::nullopt, true},
  };
  const auto got = read_hwmon(roots());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, want);
}

TEST(Wireless, FiguresWithOrWithoutTheUpdateDot) {
  const std::vector<WirelessLine> got = parse_wireless(
      "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
      " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n"
      " wlan0: 0000   70.  -40.  -256        0      0      0      0      0        0\n"
      "wlp2s0: 0000   55   -61   -256        0      0      0      0      0        0\n"
      "  wlan1: 0000   x.  nan.\n"
      "  wlan2:\n"
      "no colon here\n");
  ASSERT_EQ(got.size(), 4U);
  EXPECT_EQ(got[0].name, "wlan0");
  EXPECT_EQ(got[0].link_quality, 70.0);
  EXPECT_EQ(got[0].signal_dbm, -40.0);
  EXPECT_EQ(got[1].name, "wlp2s0");
  EXPECT_EQ(got[1].signal_dbm, -61.0);
  EXPECT_EQ(got[2].link_quality, std::nullopt);
  EXPECT_EQ(got[2].signal_dbm, std::nullopt);
  EXPECT_EQ(got[3].name, "wlan2");
  EXPECT_EQ(got[3].link_quality, std::nullopt);
  EXPECT_TRUE(parse_wireless("Inter-| sta-|\n wlan0: 0000   70.  -40.\n").empty());  // a header line
}

TEST_F(SourceTree, CpuFrequenciesPerAffectedCpu) {
  EXPECT_EQ(read_cpu_frequencies(roots()), std::nullopt);
  const fs::path dir = "sys/devices/system/cpu/cpufreq";
  fs::create_directories(temp_.path() / dir);
  EXPECT_EQ(read_cpu_frequencies(roots()), std::nullopt);  // no driver: no policy
  write(dir / "policy0/affected_cpus", "0 1 2 3\n");
  write(dir / "policy0/scaling_cur_freq", "1500000\n");
  write(dir / "policy4/affected_cpus", "4 5\n");
  write(dir / "policy4/scaling_cur_freq", "<unknown>\n");
  write(dir / "policy6/affected_cpus", "6\n");  // no frequency file
  write(dir / "policy7/affected_cpus", "7\n");
  write(dir / "policy7/scaling_cur_freq", "18446744073709552\n");  // kHz whose Hz do not fit
  write(dir / "policy8/affected_cpus", "8 3\n");  // CPU 3 again: policy0's stays
  write(dir / "policy8/scaling_cur_freq", "600000\n");
  const std::vector<std::pair<std::uint32_t, std::uint64_t>> want = {
      {0, 1500000000}, {1, 1500000000}, {2, 1500000000}, {3, 1500000000}, {8, 600000000}};
  EXPECT_EQ(read_cpu_frequencies(roots()), want);
}

TEST_F(SourceTree, PressureTotalsInSeconds) {
  EXPECT_EQ(read_pressure(roots()), std::nullopt);
  const std::string some = "some avg10=0.00 avg60=0.00 avg300=0.00 total=12345678\n";
  write("proc/pressure/cpu", some);  // before 5.13: no full line
  write("proc/pressure/io", some + "full avg10=0.00 avg60=0.00 avg300=0.00 total=250\n");
  write("proc/pressure/memory", "some avg10=0.00 total=x\nfull avg10=0.00 total=1\n");  // some unparseable
  const auto got = read_pressure(roots());
  const std::vector<std::pair<std::string, PressureRecord>> want = {
      {"cpu", {12.345678, std::nullopt}}, {"io", {12.345678, 0.00025}}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(parse_pressure("some avg10=1.00\nfull total=-1\n"), (PressureRecord{}));
}

TEST(ClockSync, SynchronizedOnlyWithoutErrorStateOrUnsyncFlag) {
  EXPECT_TRUE(os::clock_sync_from(TIME_OK, 0, 1500)->synchronized);
  EXPECT_EQ(os::clock_sync_from(TIME_OK, 0, 1500)->max_error_seconds, 0.0015);
  EXPECT_FALSE(os::clock_sync_from(TIME_ERROR, 0, 0)->synchronized);
  EXPECT_FALSE(os::clock_sync_from(TIME_OK, STA_UNSYNC, 0)->synchronized);
  EXPECT_EQ(os::clock_sync_from(TIME_OK, 0, -1), std::nullopt);
  // The kernel's bound on maxerror is 16 s.
  const std::optional<os::ClockSync> now = os::read_clock_sync();
  ASSERT_TRUE(now.has_value());
  EXPECT_LE(now->max_error_seconds, 16.0);
}

}  // namespace
}  // namespace quillmere::sys_reader
