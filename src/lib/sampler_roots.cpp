// Root keywords to a counter pass's sources.
#define PY_SSIZE_T_CLEAN
#include "lib/sampler_roots.h"

#include <cstddef>
#include <memory>
#include <string>

#include "lib/py_ref.h"
#include "os/child_process.h"

namespace quillmere::lib {
namespace {

// One root keyword's path (str, bytes or os.PathLike, encoded as the file
// system encodes names) into `root`; a keyword not given leaves the default.
// False with a Python error set (a wrong type, an embedded NUL).
bool root_from(PyObject* given, std::string& root) {
  if (given == nullptr) return true;
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(given, &converted) == 0) return false;
  PyRef bytes(converted);
  root.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

}  // namespace

std::optional<collector::CounterSources> sources_now(PyObject* procfs, PyObject* sysfs, PyObject* rootfs) {
  collector::CounterSources sources;
  sys_reader::Roots& roots = sources.roots;
  if (!root_from(procfs, roots.procfs) || !root_from(sysfs, roots.sysfs) || !root_from(rootfs, roots.rootfs)) {
    return std::nullopt;
  }
  sources.environment = std::make_shared<const os::Environment>();
  return sources;
}

}  // namespace quillmere::lib
