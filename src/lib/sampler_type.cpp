// The Sampler type: its object, methods and type slots over collector::Sampler.
#define PY_SSIZE_T_CLEAN
#include "lib/sampler_type.h"

#include <cstdint>
#include <optional>
#include <utility>

#include <sys/types.h>  // pid_t
#include <unistd.h>     // getpid

#include "collector/monitoring/sampler.h"
#include "lib/py_ref.h"
#include "lib/sample_dict.h"
#include "lib/sampler_roots.h"

namespace quillmere::lib {
namespace {

struct SamplerObject {
  PyObject_HEAD
  collector::Sampler* core;  // owned; left alone in a forked child
  pid_t owner_pid;           // the process that started the worker
};

SamplerObject* as_sampler(PyObject* self) {
  // The type's own methods receive only its instances.
  return reinterpret_cast<SamplerObject*>(self);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

// The sampler's worker exists only in the process that started it: a forked
// child has the memory but not the thread, and would wait for ever.
bool check_same_process(const SamplerObject* self) {
  if (::getpid() == self->owner_pid) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "this Sampler was created before fork(); its worker thread does not exist in the child: "
                  "create a new Sampler there");
  return false;
}

// interval_ms: an int (or __index__) of at least 1; milliseconds to
// nanoseconds, saturating.
std::optional<std::uint64_t> period_ns_from(PyObject* interval) {
  PyRef index(PyNumber_Index(interval));
  if (!index) return std::nullopt;
  PyRef one(PyLong_FromLong(1));
  if (!one) return std::nullopt;
  const int below_one = PyObject_RichCompareBool(index.get(), one.get(), Py_LT);
  if (below_one < 0) return std::nullopt;
  if (below_one == 1) {
    PyErr_Format(PyExc_ValueError, "interval_ms must be at least 1, not %S", index.get());
    return std::nullopt;
  }
  const unsigned long long ms = PyLong_AsUnsignedLongLong(index.get());
  if (ms == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
  constexpr std::uint64_t kNsPerMs = 1000000;
  const auto millis = static_cast<std::uint64_t>(ms);
  return millis > UINT64_MAX / kNsPerMs ? UINT64_MAX : millis * kNsPerMs;
}

PyObject* sampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded(kSamplerRules, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    static const char* keywords[] = {"interval_ms", "procfs", "sysfs", "rootfs", nullptr};  // NOLINT(*-avoid-c-arrays)
    PyObject* interval = nullptr;
    PyObject* procfs = nullptr;
    PyObject* sysfs = nullptr;
    PyObject* rootfs = nullptr;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the C API's keyword list is char**
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOO:Sampler", const_cast<char**>(keywords), &interval,
                                    &procfs, &sysfs, &rootfs) == 0) {
      return nullptr;
    }
    std::optional<std::uint64_t> period_ns = interval == nullptr ? std::optional<std::uint64_t>(1000000000ULL)
                                                                 : period_ns_from(interval);
    if (!period_ns) return nullptr;
    const std::optional<collector::CounterSources> sources = sources_now(procfs, sysfs, rootfs);
    if (!sources) return nullptr;
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    SamplerObject* sampler = as_sampler(self.get());  // zero-filled: no core yet
    sampler->owner_pid = ::getpid();
    // The object's memory is the interpreter's and knows no constructors, so
    // the core is a plain owning pointer that the deallocator deletes.
    sampler->core = new collector::Sampler(*period_ns, *sources);  // NOLINT(cppcoreguidelines-owning-memory)
    return self.release();
  });
}

// Like an unclosed file, a sampler that is finalized unclosed warns with
// ResourceWarning: its thread ran until now (a reference cycle keeps it until
// the cyclic collector runs). The deallocator closes it.
void sampler_finalize(PyObject* self) {
  const SamplerObject* sampler = as_sampler(self);
  if (sampler->core == nullptr || ::getpid() != sampler->owner_pid || sampler->core->closed()) return;
  PyRef pending = take_error();
  if (PyErr_ResourceWarning(self, 1, "unclosed %R", self) != 0) PyErr_WriteUnraisable(self);
  restore_error(std::move(pending));
}

void sampler_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) != 0) return;  // resurrected by the warning's handler
  PyTypeObject* type = Py_TYPE(self);
  SamplerObject* sampler = as_sampler(self);
  collector::Sampler* core = std::exchange(sampler->core, nullptr);
  if (core != nullptr && ::getpid() == sampler->owner_pid) {
    // Closing joins the worker, which may be finishing a pass.
    without_gil([core] { delete core; });  // NOLINT(cppcoreguidelines-owning-memory): see sampler_new
  }
  // In a forked child the core is left as it is: its thread does not exist
  // there, so it can neither be joined nor destroyed.
  type->tp_free(self);
  Py_DECREF(type);
}

enum class Caller { kSample, kNext };

// The next sample as a dict; at the close, ValueError for sample() and the
// end of the iteration (nullptr, no error) for next(); after the worker
// stopped on an error, that error for both.
PyObject* next_sample(PyObject* self, Caller caller) {
  SamplerObject* sampler = as_sampler(self);
  if (!check_same_process(sampler)) return nullptr;
  return call_guarded(kSamplerRules, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    for (;;) {
      using Status = collector::Sampler::Slot::TakeStatus;
      std::optional<collector::Sampler::Slot::Taken> taken;
      const Status status = without_gil([&] { return sampler->core->take(taken); });
      switch (status) {
        case Status::kValue: {
          const auto* state = static_cast<const ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
          if (state == nullptr) return nullptr;
          return build_sample_dict(state->keys, taken->value, taken->missed);
        }
        case Status::kClosed:
          if (caller == Caller::kSample) PyErr_SetString(PyExc_ValueError, "sample() on a closed Sampler");
          return nullptr;
        case Status::kFailed:
          sampler->core->raise_failure();
        case Status::kInterrupted:
          // A signal arrived: its Python handler runs here (Ctrl-C raises
          // KeyboardInterrupt), and otherwise the wait goes on.
          if (PyErr_CheckSignals() != 0) return nullptr;
          break;
      }
    }
  });
}

PyObject* sampler_sample(PyObject* self, PyObject* /*unused*/) { return next_sample(self, Caller::kSample); }

PyObject* sampler_iternext(PyObject* self) { return next_sample(self, Caller::kNext); }

PyObject* sampler_close(PyObject* self, PyObject* /*unused*/) {
  SamplerObject* sampler = as_sampler(self);
  if (!check_same_process(sampler)) return nullptr;
  return call_guarded(kSamplerRules, static_cast<PyObject*>(nullptr), [sampler] {
    without_gil([sampler] { sampler->core->close(); });
    Py_RETURN_NONE;
  });
}

PyObject* sampler_fileno(PyObject* self, PyObject* /*unused*/) {
  SamplerObject* sampler = as_sampler(self);
  if (!check_same_process(sampler)) return nullptr;
  const int fd = sampler->core->ready_fd();
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, "fileno() on a closed Sampler");
    return nullptr;
  }
  return PyLong_FromLong(fd);
}

PyObject* sampler_enter(PyObject* self, PyObject* /*unused*/) {
  if (!check_same_process(as_sampler(self))) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* sampler_exit(PyObject* self, PyObject* /*args*/) {
  PyRef closed(sampler_close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;  // never swallows the block's exception
}

PyObject* sampler_get_closed(PyObject* self, void* /*closure*/) {
  SamplerObject* sampler = as_sampler(self);
  // In a forked child the slot's mutex may be held by a thread that is gone.
  if (!check_same_process(sampler)) return nullptr;
  return PyBool_FromLong(sampler->core->closed() ? 1 : 0);
}

// The interpreter takes these tables as non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables, *-avoid-c-arrays)
PyMethodDef g_sampler_methods[] = {
    {"sample", sampler_sample, METH_NOARGS,
     "sample($self, /)\n--\n\nThe newest sample not yet returned, waiting for the next one if there is none."},
    {"close", sampler_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops and joins the worker and closes its descriptors. Idempotent."},
    {"fileno", sampler_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\nA descriptor that is readable exactly while a sample waits."},
    {"__enter__", sampler_enter, METH_NOARGS, nullptr},
    {"__exit__", sampler_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_sampler_getset[] = {
    {"closed", sampler_get_closed, nullptr, "True once close() was called or the worker stopped on an error.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_sampler_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sampler_new)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    {Py_tp_dealloc, reinterpret_cast<void*>(sampler_dealloc)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    {Py_tp_finalize, reinterpret_cast<void*>(sampler_finalize)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    {Py_tp_iternext, reinterpret_cast<void*>(sampler_iternext)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    // The tables decay to the pointers the C API stores.
    {Py_tp_methods, g_sampler_methods},  // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
    {Py_tp_getset, g_sampler_getset},    // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
    {Py_tp_doc, const_cast<char*>(  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                    "Sampler(interval_ms=1000, *, procfs='/proc', sysfs='/sys', rootfs='/')\n--\n\n"
                    "A background sampler: one sample of interval rates per interval_ms milliseconds.")},
    {0, nullptr},
};

#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned int kSamplerFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int kSamplerFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec g_sampler_spec = {
    "quillmere_sampler.Sampler",
    static_cast<int>(sizeof(SamplerObject)),
    0,
    kSamplerFlags,
    g_sampler_slots,  // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay): the C API's slot table
};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables, *-avoid-c-arrays)

}  // namespace

PyObject* make_sampler_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &g_sampler_spec, nullptr); }

}  // namespace quillmere::lib
