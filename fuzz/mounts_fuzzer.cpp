// parse_mounts against a reference that cuts each line's fields with
// std::string_view::find, keeps the last line of each mount point in a
// std::map, and decodes escapes through strtoul: the same entries, in the
// same order. The lists of types and directories left out are data, taken
// from the library; the unit test checks them. The file is read as raw
// bytes, so any input is the text the parser gets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sys_reader/cutting.h"
#include "sys_reader/sources/mounts.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;

namespace {

std::vector<std::string_view> split_spaces(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
    if (space == std::string_view::npos) return fields;
    start = space + 1;
  }
}

std::string reference_decode(std::string_view field) {
  std::string out;
  std::size_t i = 0;
  while (i < field.size()) {
    const std::string_view digits = field.substr(i + 1, 3);
    const bool escape = field[i] == '\\' && digits.size() == 3 && digits.find_first_not_of("01234567") == std::string_view::npos &&
                        digits[0] <= '3';
    if (escape) {
      out.push_back(static_cast<char>(std::strtoul(std::string(digits).c_str(), nullptr, 8)));
      i += 4;
    } else {
      out.push_back(field[i++]);
    }
  }
  return out;
}

std::vector<sr::MountEntry> reference_mounts(std::string_view text) {
  std::vector<std::vector<std::string_view>> lines;
  std::map<std::string_view, std::size_t> top;  // point -> its last line
  for (const std::string_view line : sr::text_lines(text)) {
    std::vector<std::string_view> fields = split_spaces(line);
    if (fields.size() < 4) continue;
    top[fields[1]] = lines.size();
    lines.push_back(std::move(fields));
  }
  std::vector<sr::MountEntry> entries;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string_view>& f = lines[i];
    if (top[f[1]] != i || sr::is_excluded_mount_type(f[2]) || sr::is_excluded_mount_point(f[1])) continue;
    const std::string options = "," + std::string(f[3]) + ",";
    entries.push_back({reference_decode(f[0]), reference_decode(f[1]), reference_decode(f[2]),
                       options.find(",ro,") != std::string::npos});
  }
  return entries;
}

std::string describe(const std::vector<sr::MountEntry>& entries) {
  std::string out;
  for (const sr::MountEntry& e : entries) {
    out += qf::hex(e.device) + " " + qf::hex(e.mount_point) + " " + qf::hex(e.type) + (e.read_only ? " ro\n" : " rw\n");
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = qf::as_text(data, size);
  const std::vector<sr::MountEntry> got = sr::parse_mounts(text);
  const std::vector<sr::MountEntry> want = reference_mounts(text);
  FUZZ_CHECK(got == want, text, "got\n" + describe(got) + "want\n" + describe(want));
  return 0;
}
