#include "testing/python/test_hooks.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>

#include "python/errors.h"
#include "sync/outer_lock_count.h"
#include "testing/failing_allocator.h"
#include "testing/fault_injection.h"

namespace vennu::python {
namespace {

// A clock that tests can send before 1970 from Python.
class HookClock final : public Clock {
 public:
  Instant now() const override {
    Instant instant = system_clock()->now();
    if (before_epoch.load(std::memory_order_relaxed)) {
      instant.seconds = -1 - instant.seconds % 1000;
    }
    return instant;
  }
  // Read by every thread that stamps a record.
  static inline std::atomic<bool> before_epoch{false};
};

// Building a mesh's fields allocates nothing today; this stands in for the
// day it does and runs out of memory after the object was allocated.
std::atomic<bool> fail_next_fields{false};

PyObject* test_fail_next_construction(PyObject*, PyObject*) noexcept {
  fail_next_fields.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* test_set_clock_before_epoch(PyObject*, PyObject* flag) noexcept {
  HookClock::before_epoch.store(PyObject_IsTrue(flag) == 1, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

// Arms a fault inside the locked section of "state" (set and delete) or
// "channel" (publish).
PyObject* test_arm_fault(PyObject*, PyObject* site) noexcept {
  if (PyUnicode_Check(site) && PyUnicode_CompareWithASCIIString(site, "state") == 0) {
    arm_fault(FaultSite::kStateWrite);
  } else if (PyUnicode_Check(site) && PyUnicode_CompareWithASCIIString(site, "channel") == 0) {
    arm_fault(FaultSite::kChannelPublish);
  } else {
    PyErr_SetString(PyExc_ValueError, "unknown fault site");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Makes the Nth C++ allocation of this thread from now fail (0 or less
// disarms). Arming and the call it sweeps run on the same thread.
PyObject* test_fail_allocation(PyObject*, PyObject* count) noexcept {
  const long long n = PyLong_AsLongLong(count);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  arm_allocation_failure(n > 0 ? static_cast<std::uint64_t>(n) : 0);
  Py_RETURN_NONE;
}

// Whether the armed allocation failure happened; disarms.
PyObject* test_allocation_failed(PyObject*, PyObject*) noexcept {
  return PyBool_FromLong(take_allocation_failure() ? 1 : 0);
}

// Whether a section may skip its subsystem's lock now: true on a build
// with an interpreter lock while no thread has let it go, never on a
// free-threaded build.
PyObject* test_sections_serialized(PyObject*, PyObject*) noexcept {
  return PyBool_FromLong(OuterLockCount::serialized() ? 1 : 0);
}

PyObject* test_throw(PyObject*, PyObject*) noexcept {
  try {
    throw std::runtime_error("injected fault");
  } catch (const std::exception& error) {
    return raise_cpp_exception(error);
  }
}

const PyMethodDef hook_methods[] = {
    {"_test_set_clock_before_epoch", test_set_clock_before_epoch, METH_O | METH_STATIC, nullptr},
    {"_test_throw", test_throw, METH_NOARGS | METH_STATIC, nullptr},
    {"_test_arm_fault", test_arm_fault, METH_O | METH_STATIC, nullptr},
    {"_test_fail_allocation", test_fail_allocation, METH_O | METH_STATIC, nullptr},
    {"_test_allocation_failed", test_allocation_failed, METH_NOARGS | METH_STATIC, nullptr},
    {"_test_fail_next_construction", test_fail_next_construction, METH_NOARGS | METH_STATIC,
     nullptr},
    {"_test_sections_serialized", test_sections_serialized, METH_NOARGS | METH_STATIC, nullptr},
};
static_assert(std::size(hook_methods) == kTestHookMethodCount);

}  // namespace

std::shared_ptr<const Clock> mesh_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<HookClock>();
  return clock;
}

void check_fields_fault() {
  if (fail_next_fields.exchange(false, std::memory_order_relaxed)) throw std::bad_alloc();
}

const PyMethodDef* test_hook_methods() { return hook_methods; }

}  // namespace vennu::python
