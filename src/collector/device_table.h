// One reading of a per-device file, and the one way two readings are matched
// device by device.
//
// A DeviceTable holds the file's bytes and its device lines (names view into
// those bytes, which live on the heap, so a table may be moved and its lines
// stay valid); a WideDeviceTable the same with the wide lines the monitoring
// pass cuts. Two readings are matched by name: each device of the newer
// reading, by the last of its lines, with the last line of the same name in
// the older one; a device in one reading only is not matched. The kernel
// keeps its order from reading to reading, so the names are first compared
// line by line, and hashed only where that order breaks or a name repeats.
// Both modules take their device rates through fold_matches and nothing
// else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sys_reader/device_lines.h"
#include "sys_reader/file_read.h"

namespace quillmere::collector {

template <typename Line>
struct BasicDeviceTable {
  sys_reader::SourceBuffer buffer;
  std::vector<Line> lines;
  bool readable = false;  // false: the file could not be read (and `lines` is empty)
  // Open-addressed index over `lines` by name, built when a match needs it:
  // each slot holds 1 + the line number of a name's last line in its low 32
  // bits and a part of the name's hash above them; 0 is an empty slot.
  std::vector<std::uint64_t> name_slots;
  bool indexed = false;
  bool names_repeat = false;  // valid once `indexed`
};
using DeviceTable = BasicDeviceTable<sys_reader::DeviceLine>;
using WideDeviceTable = BasicDeviceTable<sys_reader::WideDeviceLine>;

// Reads the file at `path` (at most `limit` bytes) into `table` and cuts it by
// `layout`. The bytes are not checked for UTF-8 (a device name may hold any
// byte but '/', ':' and white space); a file that cannot be read, or memory
// that runs out, leaves the table unreadable and without lines. The buffer
// keeps its capacity; `size_hint` is the size of an earlier reading.
void read_device_table(const char* path, std::size_t limit, const sys_reader::DeviceLayout& layout,
                       DeviceTable& table, std::size_t size_hint = 0) noexcept;
void read_device_table(const char* path, std::size_t limit, const sys_reader::WideDeviceLayout& layout,
                       WideDeviceTable& table, std::size_t size_hint = 0) noexcept;

// The two readings the one-shot collector keeps of one device file: each
// read goes into the table the previous rates no longer need, and the two
// swap roles. Both keep their capacity from tick to tick.
class DeviceHistory {
 public:
  struct Pair {
    DeviceTable& previous;
    DeviceTable& current;
  };
  // Reads the file anew; `previous` is the reading before.
  Pair read(const char* path, std::size_t limit, const sys_reader::DeviceLayout& layout) noexcept;

 private:
  std::array<DeviceTable, 2> tables_;
  // The first reading, whose buffer grows to the file's size, goes into
  // tables_[0], which is destroyed last: its larger buffer is freed last,
  // which lets malloc hand the memory to the next call's tables rather than
  // unmap it and fault it in again (a third fewer page faults per one-shot
  // call with 10,000 devices).
  std::size_t previous_ = 1;
};

namespace device_table_detail {
// Builds the names index unless it is there; throws std::bad_alloc. Made for
// both line types in device_table.cpp.
template <typename Line>
void ensure_index(BasicDeviceTable<Line>& table);
template <typename Line>
std::optional<std::size_t> find_last(const BasicDeviceTable<Line>& table, std::string_view name) noexcept;
template <typename Line>
void adopt_index(BasicDeviceTable<Line>& to, BasicDeviceTable<Line>& from) noexcept;
}  // namespace device_table_detail

// Calls visit(line, index) for the last line of each name in `table`, in
// file order. The table must be indexed (device_table_detail::ensure_index).
template <typename Line, typename Visit>
void for_each_device(const BasicDeviceTable<Line>& table, Visit visit) {
  namespace detail = device_table_detail;
  for (std::size_t i = 0; i < table.lines.size(); ++i) {
    if (table.names_repeat && detail::find_last(table, table.lines[i].name) != i) continue;
    visit(table.lines[i], i);
  }
}

// Folds add(sum, before, now, index of now) over each device of `current`
// that `previous` has too (see the top), starting from `sum`, and returns the
// result. The names are compared line by line while the sum is taken; when
// they differ somewhere, or a name repeats, that sum is dropped and the
// devices are matched by name instead. May build either table's names index,
// or hand previous's to current; throws std::bad_alloc when one cannot be
// built.
template <typename Line, typename Sum, typename Add>
Sum fold_matches(BasicDeviceTable<Line>& previous, BasicDeviceTable<Line>& current, Sum sum, Add add) {
  namespace detail = device_table_detail;
  if (previous.lines.empty() || current.lines.empty()) return sum;
  Sum line_by_line = sum;
  bool aligned = previous.lines.size() == current.lines.size();
  for (std::size_t i = 0; aligned && i < current.lines.size(); ++i) {
    aligned = previous.lines[i].name == current.lines[i].name;
    if (aligned) add(line_by_line, previous.lines[i], current.lines[i], i);
  }
  if (aligned) detail::ensure_index(previous);
  if (!aligned || previous.names_repeat) {
    detail::ensure_index(previous);
    detail::ensure_index(current);
    for (std::size_t i = 0; i < current.lines.size(); ++i) {
      const Line& now = current.lines[i];
      if (current.names_repeat && detail::find_last(current, now.name) != i) continue;
      if (!previous.names_repeat && i < previous.lines.size() && previous.lines[i].name == now.name) {
        add(sum, previous.lines[i], now, i);
      } else if (const std::optional<std::size_t> before = detail::find_last(previous, now.name)) {
        add(sum, previous.lines[*before], now, i);
      }
    }
    line_by_line = sum;
  }
  // The same names on the same lines make the same index.
  if (aligned && !current.indexed) detail::adopt_index(current, previous);
  return line_by_line;
}

}  // namespace quillmere::collector
