// C++ failures as Python exceptions, by each module's rules, and the dict
// helpers.
#include "lib/boundary.h"

#include <cerrno>
#include <new>
#include <stdexcept>

#include "runtime/fault.h"

namespace quillmere::lib {
namespace {

// The internal-fault exception with `message`, and the diagnostic on
// standard error unless the fault was reported where it happened.
void raise_internal_fault(const BoundaryRules& rules, const char* message, bool reported) {
  if (!reported) runtime::report_internal_fault(message);
  PyObject* type = rules.internal_fault_type();
  if (type == nullptr) return;  // the interpreter's error stays set
  PyErr_Format(type, "%s%s", rules.internal_fault_prefix, message);
}

void raise_as(const BoundaryRules& rules, Raise how, int error_number, const char* message) {
  switch (how) {
    case Raise::kMemoryError:
      PyErr_NoMemory();
      return;
    case Raise::kOSError:
      errno = error_number;
      PyErr_SetFromErrno(PyExc_OSError);
      return;
    case Raise::kRuntimeErrorText:
      PyErr_SetString(PyExc_RuntimeError, message);
      return;
    case Raise::kInternalFault:
      raise_internal_fault(rules, message, false);
      return;
  }
}

}  // namespace

PyRef take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

void restore_error(PyRef error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  if (value == nullptr) return;
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): a type object is a PyObject
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void raise_current_exception(const BoundaryRules& rules) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    raise_as(rules, rules.out_of_memory, ENOMEM, "out of memory");
  } catch (const runtime::RuntimeBuildError& error) {
    const bool thread = error.resource() == runtime::RuntimeBuildError::Resource::kThread;
    raise_as(rules, thread ? rules.no_thread : rules.no_descriptor, error.error_number(), error.what());
  } catch (const runtime::ReportedFault& fault) {
    raise_internal_fault(rules, fault.what(), true);
  } catch (const std::exception& fault) {
    raise_internal_fault(rules, fault.what(), false);
  } catch (...) {
    raise_internal_fault(rules, "unknown exception", false);
  }
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the order of PyDict_SetItem
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  PyRef owned_value(value);
  if (!owned_value) return false;
  return PyDict_SetItem(dict, key, owned_value.get()) == 0;
}

PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* unsigned_int(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

}  // namespace quillmere::lib
