// Device lines and rates against the plain reading in device_reference.h:
// for two readings of a device file (any bytes at all, as the files are read
// without a UTF-8 check), the devices parsed from each and the rates between
// them, through the exact contract's device_rates over tables read from the
// texts and through a DeviceHistory reading them tick after tick, must equal
// the reference's exactly.
//
// Input: one mode byte, two bytes giving the length of the first reading,
// then the bytes of both. The mode picks the format, the interval, and how
// the second reading is made from the bytes that follow the first: as they
// are, appended to the first, put in front of it, or as the first with every
// digit shifted (same names in the same order, new counters), which is the
// kernel's usual case.
#include <sys/mman.h>  // memfd_create
#include <unistd.h>    // pwrite, ftruncate

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "collector/device_table.h"
#include "collector/exact/exact_contract.h"
#include "device_reference.h"
#include "fuzz_support.h"
#include "os/unique_fd.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace co = quillmere::collector;

namespace {

// A file in memory that the readers open by path, rewritten per input.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("device", MFD_CLOEXEC)) {
    if (!fd_) std::abort();
    std::snprintf(path_.data(), path_.size(), "/proc/self/fd/%d", fd_.get());
  }
  void write(std::string_view bytes) const {
    if (::ftruncate(fd_.get(), 0) != 0 ||
        ::pwrite(fd_.get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
      std::abort();
    }
  }
  const char* path() const { return path_.data(); }

 private:
  quillmere::os::UniqueFd fd_;
  std::array<char, 64> path_{};
};

std::string shifted_digits(std::string_view text, unsigned shift) {
  std::string out(text);
  for (char& c : out) {
    if (c >= '0' && c <= '9') c = static_cast<char>('0' + (static_cast<unsigned>(c - '0') + shift) % 10);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned mode = data[0];
  const qf::DeviceFormat format = (mode & 1) != 0 ? qf::DeviceFormat::kNetDev : qf::DeviceFormat::kDiskstats;
  const sr::DeviceLayout& layout = qf::layout_of(format);
  const std::uint64_t unit = qf::unit_of(format);
  constexpr std::array<double, 4> kIntervals = {1.0, 0.25, 0.0, -1.0};
  const double interval_seconds = kIntervals[(mode >> 1) & 3];
  const std::string_view body = qf::as_text(data + 3, size - 3);
  const std::size_t first_size = std::min<std::size_t>(data[1] | (std::size_t{data[2]} << 8), body.size());
  const std::string first(body.substr(0, first_size));
  const std::string_view rest = body.substr(first_size);
  std::string second;
  switch ((mode >> 3) & 3) {
    case 0: second = rest; break;
    case 1: second = first + std::string(rest); break;
    case 2: second = std::string(rest) + first; break;
    default: second = shifted_digits(first, 1 + static_cast<unsigned>(rest.size() % 9)); break;
  }
  const std::string both = first + '\0' + second;  // what a failed check prints

  // Each reading's devices.
  const qf::DeviceMap first_map = qf::reference_map(format, first);
  const qf::DeviceMap second_map = qf::reference_map(format, second);
  std::vector<sr::DeviceLine> lines;
  sr::parse_device_lines(layout, first, lines);
  FUZZ_CHECK(qf::same_devices(qf::map_of(format, lines), first_map), both, "devices of the first reading");
  sr::parse_device_lines(layout, second, lines);
  FUZZ_CHECK(qf::same_devices(qf::map_of(format, lines), second_map), both, "devices of the second reading");

  // The rates between parsed tables, both ways.
  const auto forward = qf::reference_rates(first_map, second_map, interval_seconds);
  const auto backward = qf::reference_rates(second_map, first_map, interval_seconds);
  static const MemoryFile file;
  co::DeviceTable a;
  co::DeviceTable b;
  file.write(first);
  co::read_device_table(file.path(), sr::kDeviceSourceLimit, layout, a);
  file.write(second);
  co::read_device_table(file.path(), sr::kDeviceSourceLimit, layout, b);
  FUZZ_CHECK(co::exact::device_rates(a, b, unit, interval_seconds) == forward, both, "device_rates forward");
  FUZZ_CHECK(co::exact::device_rates(b, a, unit, interval_seconds) == backward, both, "device_rates backward");

  // The collector's way: files read tick after tick, first, second, first,
  // second, so that each reading is compared with the other in turn and
  // the names index passes from one table to the next.
  co::DeviceHistory history;
  file.write(first);
  history.read(file.path(), sr::kDeviceSourceLimit, layout);
  for (int tick = 0; tick < 3; ++tick) {
    const bool to_second = tick % 2 == 0;
    file.write(to_second ? second : first);
    const co::DeviceHistory::Pair tables = history.read(file.path(), sr::kDeviceSourceLimit, layout);
    FUZZ_CHECK(co::exact::device_rates(tables.previous, tables.current, unit, interval_seconds) ==
                   (to_second ? forward : backward),
               both, "DeviceHistory tick " + std::to_string(tick));
  }
  return 0;
}
