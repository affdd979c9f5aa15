// The thermal zone text: parse_f32(trim_whitespace(text)) against the
// reference trim and float grammar (valid UTF-8 only, as read_text_file
// passes nothing else on), and the zone read as the exact collector reads it
// (the zone listed, its temp file read, its token taken and converted by the
// exact contract) on a zone directory whose one temp file holds the input:
// millidegrees / 1000 when the file is valid UTF-8 and its trimmed text a
// number, else no value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "os/unique_fd.h"
#include "collector/exact/exact_contract.h"
#include "sys_reader/sources/thermal.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace qf = quillmere::fuzz;
namespace sr = quillmere::sys_reader;
namespace os = quillmere::os;
namespace ex = quillmere::collector::exact;

namespace {

// A private <tmp>/thermal.XXXXXX/thermal_zone0 directory, removed again when
// the fuzzer exits normally.
class ZoneDir {
 public:
  ZoneDir() {
    const char* tmp = std::getenv("TMPDIR");
    root_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/thermal.XXXXXX";
    if (::mkdtemp(root_.data()) == nullptr || ::mkdir(zone().c_str(), 0700) != 0) {
      std::perror("thermal_fuzzer: cannot make the zone directory");
      std::abort();
    }
  }
  ZoneDir(const ZoneDir&) = delete;
  ZoneDir& operator=(const ZoneDir&) = delete;
  ~ZoneDir() {
    ::unlink(temp_file().c_str());
    ::rmdir(zone().c_str());
    ::rmdir(root_.c_str());
  }

  const std::string& root() const { return root_; }
  std::string zone() const { return root_ + "/thermal_zone0"; }
  std::string temp_file() const { return zone() + "/temp"; }

  // A fresh file each time rather than a truncated one: ext4 flushes a file
  // that is truncated and rewritten on close, which slows a run a hundredfold.
  void write(std::string_view content) const {
    const std::string path = temp_file();
    ::unlink(path.c_str());
    const os::UniqueFd fd(os::retry_on_eintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (!fd || !os::write_all(fd.get(), content.data(), content.size())) {
      std::perror("thermal_fuzzer: cannot write the temp file");
      std::abort();
    }
  }

 private:
  std::string root_;
};

std::optional<float> reference_millidegrees(std::string_view text) {
  const std::string_view trimmed = qf::ref_trim(text);
  if (!qf::ref_float_grammar(trimmed)) return std::nullopt;
  return qf::ref_float<float>(trimmed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ZoneDir zones;
  const std::string_view text = qf::as_text(data, size);
  // read_text_file refuses a file that is not valid UTF-8, so only valid text
  // ever reaches the parse; other bytes are parsed for the sanitizers only.
  const bool valid = qf::ref_is_valid_utf8(text);
  const std::optional<float> got = sr::parse_f32(sr::trim_whitespace(text));
  const std::optional<float> want = valid ? reference_millidegrees(text) : std::nullopt;
  if (valid) {
    FUZZ_CHECK(got.has_value() == want.has_value(), text, got ? "accepted" : "refused");
    if (got) {
      FUZZ_CHECK(qf::same_float(*got, *want), text, "got " + qf::describe(*got) + ", want " + qf::describe(*want));
    }
  }

  zones.write(text);
  const std::vector<std::string> names = sr::thermal_zone_names(zones.root());
  FUZZ_CHECK(names.size() == 1 && names[0] == "thermal_zone0", text);
  const std::optional<std::string> read = sr::read_text_file(sr::zone_file(zones.root(), names[0], "temp").c_str());
  const std::optional<float> celsius = read ? ex::zone_celsius(sr::parse_zone_temp(*read)) : std::nullopt;
  FUZZ_CHECK(celsius.has_value() == want.has_value(), text, celsius ? "a value" : "no value");
  if (celsius) {
    const float expected = *want / 1000.0f;
    FUZZ_CHECK(qf::same_float(*celsius, expected), text,
               "the zone gave " + qf::describe(*celsius) + ", want " + qf::describe(expected));
  }
  return 0;
}
