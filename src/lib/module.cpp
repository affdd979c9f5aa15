// The quillmere extension module: initialisation, get_metrics_once with its
// argument rules, and the boundary that turns C++ faults into Python
// exceptions.
//
// Every function the interpreter calls catches everything (lib/boundary.h):
// a bad argument is a TypeError or OverflowError, a worker without its
// descriptor a RuntimeError with the system's description, a sampling run
// without a snapshot RuntimeError "failed to collect metrics", and every
// other fault PanicException (derived from BaseException, so that `except
// Exception` does not swallow a bug), a worker thread that cannot start, a
// dict that cannot be built and exhausted memory included. The interpreter
// lock is held for the whole call and never released: calls from several
// Python threads follow one another.
//
// The module initialises in one phase and only once per process; its state
// holds the result dict's interned keys, made when the module is created and
// released when it is freed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "collector/exact/collect_once.h"
#include "lib/boundary.h"
#include "lib/py_ref.h"
#include "lib/result_dict.h"
#include "runtime/fault.h"
#include "runtime/worker.h"

namespace quillmere::lib {

namespace {

// The C API version the module is built for (the value every CPython 3
// release uses for PyModule_Create2).
constexpr int kPythonApiVersion = 1013;

constexpr const char* kParameterName = "interval_ms";

// Process-wide, touched only with the interpreter lock held. The interpreter
// hands out and takes these objects as non-const PyObject*.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
PyObject* g_module = nullptr;  // set once, never replaced
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
PyObject* g_panic_exception = nullptr;  // created on the first internal fault

struct ModuleState {
  ResultKeys keys{};  // strong references
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// PanicException, created on first use; nullptr with the interpreter's error
// set when it cannot be made.
PyObject* panic_exception_type() {
  if (g_panic_exception == nullptr) {
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "quillmere.PanicException",
        "An internal fault of quillmere (a bug or an exhausted resource), not a missing data source.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_exception;
}

// A worker whose eventfd the system refuses is a RuntimeError with the
// system's description; any other failure, exhausted memory and a refused
// thread included, is an internal fault.
constexpr BoundaryRules kRules{Raise::kInternalFault, Raise::kRuntimeErrorText, Raise::kInternalFault,
                               panic_exception_type, ""};

// --- Arguments ---

// Binds the one parameter from a vectorcall. Returns the bound object
// (borrowed) or nullptr with a TypeError set.
PyObject* bind_interval(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "get_metrics_once() takes 1 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // The call's values: the positional ones, then one for each keyword name.
  const std::span<PyObject* const> values(args, static_cast<std::size_t>(nargs + nkw));
  PyObject* bound = nargs == 1 ? values[0] : nullptr;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (text == nullptr) PyErr_Clear();  // not encodable: cannot be our parameter
    const bool matches = text != nullptr && static_cast<std::size_t>(length) == std::strlen(kParameterName) &&
                         std::memcmp(text, kParameterName, static_cast<std::size_t>(length)) == 0;
    if (!matches) {
      PyErr_Format(PyExc_TypeError, "get_metrics_once() got an unexpected keyword argument '%S'", name);
      return nullptr;
    }
    if (bound != nullptr) {
      PyErr_SetString(PyExc_TypeError, "get_metrics_once() got multiple values for argument 'interval_ms'");
      return nullptr;
    }
    bound = values[static_cast<std::size_t>(nargs + i)];
  }
  if (bound == nullptr) {
    PyErr_SetString(PyExc_TypeError, "get_metrics_once() missing 1 required positional argument: 'interval_ms'");
  }
  return bound;
}

// Converts the bound object to milliseconds: an int (or subclass, bool
// included) directly, anything else through __index__. A TypeError of the
// conversion is re-raised with the parameter's name; an OverflowError
// (negative, or 2^64 and above) passes unchanged.
std::optional<std::uint64_t> convert_interval(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index(PyNumber_Index(object));
    value = index ? PyLong_AsUnsignedLongLong(index.get()) : static_cast<unsigned long long>(-1);
  }
  // 2^64 - 1 is a valid interval; it is a failure only with an error set.
  if (value != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
    return static_cast<std::uint64_t>(value);
  }
  PyRef error = take_error();
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): PyExc_TypeError is a type object
  if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_error(std::move(error));
    return std::nullopt;
  }
  PyRef text(PyObject_Str(error.get()));
  if (!text) return std::nullopt;
  PyRef message(PyUnicode_FromFormat("argument 'interval_ms': %U", text.get()));
  if (!message) return std::nullopt;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return std::nullopt;
  // The new error keeps the conversion error's cause; the conversion error
  // itself is dropped.
  PyObject* cause = PyException_GetCause(error.get());  // new reference or nullptr
  if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals
  restore_error(std::move(replacement));
  return std::nullopt;
}

// --- The call ---

PyObject* sample(const ResultKeys& keys, std::uint64_t interval_ms) {
  std::optional<runtime::Worker> worker;  // stopped and joined on every way out
  const std::optional<collector::MetricsSnapshot> snapshot = collector::collect_once(worker, interval_ms);
  if (!snapshot) {
    worker.reset();
    PyErr_SetString(PyExc_RuntimeError, "failed to collect metrics");
    return nullptr;
  }
  // Built while the collector may still run: it only reads our own copy.
  PyRef dict(build_result_dict(keys, *snapshot));
  if (!dict) {
    PyRef error = take_error();
    PyRef text(error ? PyObject_Repr(error.get()) : nullptr);  // MemoryError() says what str() leaves empty
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (detail == nullptr) PyErr_Clear();
    throw runtime::InternalFault(std::string("could not build the result dictionary: ") +
                                 (detail != nullptr ? detail : "unknown error"));
  }
  worker.reset();
  return dict.release();
}

PyObject* get_metrics_once(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return call_guarded(kRules, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* bound = bind_interval(args, PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), kwnames);
    if (bound == nullptr) return nullptr;
    const std::optional<std::uint64_t> interval_ms = convert_interval(bound);
    if (!interval_ms) return nullptr;
    return sample(state_of(module)->keys, *interval_ms);
  });
}

// The interpreter takes both definitions as non-const pointers.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
PyMethodDef g_get_metrics_once_def = {
    "get_metrics_once",
    // The interpreter stores every calling convention as PyCFunction; the
    // flags tell it the real signature.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the C API's own convention
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_metrics_once)),
    METH_FASTCALL | METH_KEYWORDS,
    // A signature line and nothing else: __text_signature__ is
    // "(interval_ms)" and __doc__ is None.
    "get_metrics_once(interval_ms)\n--\n\n",
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return visit_keys(state_of(module)->keys, visit, arg);
}

int module_clear(PyObject* module) {
  clear_keys(state_of(module)->keys);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmere",
    "",  // __doc__ is the empty string
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,  // the function is added once the module exists
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError, "quillmere may only be initialized once per interpreter process");
    return nullptr;
  }
  PyRef module(PyModule_Create2(&g_module_def, kPythonApiVersion));
  if (!module) return nullptr;
  // The state comes zeroed; on failure the module's free releases the keys
  // made so far.
  if (!intern_keys(kResultKeyNames, state_of(module.get())->keys)) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  PyRef function(PyCFunction_NewEx(&g_get_metrics_once_def, module.get(), module_name.get()));
  if (!function) return nullptr;

  PyRef name_attr(intern("__name__"));
  PyRef all_attr(intern("__all__"));
  if (!name_attr || !all_attr) return nullptr;
  PyRef name(PyObject_GetAttr(function.get(), name_attr.get()));
  if (!name) return nullptr;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(name.get())->tp_name);
    return nullptr;
  }

  PyRef all(PyObject_GetAttr(module.get(), all_attr.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttr(module.get(), all_attr.get(), all.get()) != 0) return nullptr;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return nullptr;
  }
  if (PyList_Append(all.get(), name.get()) != 0) return nullptr;
  if (PyObject_SetAttr(module.get(), name.get(), function.get()) != 0) return nullptr;

  g_module = module.get();
  Py_INCREF(g_module);  // the process-wide slot's own reference
  return module.release();
}

}  // namespace

}  // namespace quillmere::lib

PyMODINIT_FUNC PyInit_quillmere(void) {
  return quillmere::lib::call_guarded(quillmere::lib::kRules, static_cast<PyObject*>(nullptr),
                                      quillmere::lib::init_module);
}
