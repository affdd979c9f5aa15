// The quillmere_sampler extension module: read_counters() and the Sampler
// type, over the monitoring pass and its contract.
//
// The module initialises in phases (a Py_mod_exec slot), keeps the Sampler
// type and its dict keys in its module state and makes the type with
// PyType_FromModuleAndSpec, so that it can be imported again and in
// sub-interpreters. Every wait runs with the interpreter lock released: the
// pass of read_counters() (the firmware tool may take its bound of a second,
// twice) and a Sampler's wait for its next sample. At the boundary
// (lib/boundary.h) exhausted memory is MemoryError, a refused descriptor or
// thread OSError with its errno, any other C++ fault RuntimeError with a
// one-line diagnostic on standard error. Both take the roots keyword-only
// (lib/sampler_roots.h); the type itself is lib/sampler_type.h.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "collector/monitoring/counter_pass.h"
#include "lib/boundary.h"
#include "lib/counters_dict.h"
#include "lib/py_ref.h"
#include "lib/sampler_roots.h"
#include "lib/sampler_type.h"

namespace quillmere::lib {
namespace {

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the C API's calling convention
PyObject* read_counters(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_guarded(kSamplerRules, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    static const char* keywords[] = {"procfs", "sysfs", "rootfs", nullptr};  // NOLINT(*-avoid-c-arrays)
    PyObject* procfs = nullptr;
    PyObject* sysfs = nullptr;
    PyObject* rootfs = nullptr;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the C API's keyword list is char**
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:read_counters", const_cast<char**>(keywords), &procfs,
                                    &sysfs, &rootfs) == 0) {
      return nullptr;
    }
    const std::optional<collector::CounterSources> given = sources_now(procfs, sysfs, rootfs);
    if (!given) return nullptr;
    const collector::CounterSources& sources = *given;
    const collector::CounterReading reading =
        without_gil([&sources] { return collector::take_counter_reading(sources); });
    return build_counters_dict(state_of(module)->keys, reading);
  });
}

int module_exec(PyObject* module) {
  return call_guarded(kSamplerRules, -1, [module] {
    ModuleState* state = state_of(module);
    if (!intern_keys(kDictKeyNames, state->keys)) return -1;
    PyObject* type = make_sampler_type(module);
    if (type == nullptr) return -1;
    state->sampler_type = type;
    // PyModule_AddType takes its own reference; the state keeps the first.
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) != 0) return -1;  // NOLINT(*-cast)
    PyRef all(Py_BuildValue("[ss]", "read_counters", "Sampler"));
    if (!all || PyModule_AddObject(module, "__all__", all.get()) != 0) return -1;
    all.release();  // PyModule_AddObject stole it
    return 0;
  });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of(module);
  Py_VISIT(state->sampler_type);
  return visit_keys(state->keys, visit, arg);
}

int module_clear(PyObject* module) {
  ModuleState* state = state_of(module);
  Py_CLEAR(state->sampler_type);
  clear_keys(state->keys);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// The interpreter takes these tables as non-const pointers.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables, *-avoid-c-arrays)
PyMethodDef g_module_methods[] = {
    // The interpreter stores every calling convention as PyCFunction; the
    // flags tell it the real signature.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the C API's own convention
    {"read_counters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_counters)),
     METH_VARARGS | METH_KEYWORDS,
     "read_counters($module, /, *, procfs='/proc', sysfs='/sys', rootfs='/')\n--\n\nOne pass over the sources on "
     "the calling thread: since-boot counters and current gauges, None for a source that cannot be read. procfs, "
     "sysfs and rootfs are where the host's /proc, /sys and / are mounted."},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_mod_gil slot: the module does not claim to run without the GIL on
// free-threaded builds, where the interpreter then enables the GIL for it.
// Sub-interpreters with a GIL of their own may load it: its only object is in
// the module state, its static tables never change after initialisation, and
// its worker threads never touch the interpreter.
PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmere_sampler",
    "Interval rates and raw counters of a Linux host, for monitoring.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    g_module_methods,  // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay): the C API's tables
    g_module_slots,    // NOLINT(cppcoreguidelines-pro-bounds-array-to-pointer-decay)
    module_traverse,
    module_clear,
    module_free,
};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables, *-avoid-c-arrays)

}  // namespace
}  // namespace quillmere::lib

PyMODINIT_FUNC PyInit_quillmere_sampler(void) { return PyModuleDef_Init(&quillmere::lib::g_module_def); }
