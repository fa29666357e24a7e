// The Python boundary: an owned-reference handle, the entry-point guard that
// turns internal faults into PanicException, and the argument conversions
// shared by every class of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "engine/errors.hpp"

namespace corvalink::py {

// An owned (strong) reference. Null means "no object", usually "an exception
// is set".
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (the result of most C-API calls).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

  Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// An internal fault: a violated invariant. Thrown inside our code, caught at
// every Python entry point and raised as PanicException.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Raises PanicException with the message; returns nothing useful.
void raise_panic(const char* message) noexcept;

// Runs body; a C++ exception escaping it becomes PanicException (returning
// the error value of the entry point). A fault while reporting the fault
// aborts with "uncaught panic at ffi boundary".
template <class R, class F>
R guard(R on_error, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("uncaught panic at ffi boundary");
  }
  return on_error;
}
template <class F>
PyObject* guard(F&& body) noexcept {
  return guard<PyObject*>(nullptr, std::forward<F>(body));
}
template <class F>
int guard_int(F&& body) noexcept {
  return guard<int>(-1, std::forward<F>(body));
}

// Raises the Python exception that corresponds to the error (to_python_exception).
void raise(const PortError& error) noexcept;

// --- argument conversion (the module's conventions) ---

// TypeError "'{type}' object is not an instance of '{expected}'" or
// "'None' is not an instance of '{expected}'".
void raise_wrong_type(PyObject* value, const char* expected) noexcept;
// Adds the note "while processing '{name}'" to the pending exception.
void add_processing_note(const char* name) noexcept;
// Strict bool: bool, or a numpy bool (via its __bool__). -1 with an exception.
int strict_bool(PyObject* value) noexcept;
// Truth value as bool() computes it. -1 with an exception.
inline int truth(PyObject* value) noexcept { return PyObject_IsTrue(value); }
// repr(value) as UTF-8, "<unprintable>" if repr raises (its error is discarded).
std::string repr_or_unprintable(PyObject* value);
// str → UTF-8 std::string; raises the wrong-type error for anything else.
bool to_string(PyObject* value, std::string& out, const char* expected = "str") noexcept;

// Setter refusing deletion: AttributeError "property has no deleter".
inline int no_deleter() noexcept {
  PyErr_SetString(PyExc_AttributeError, "property has no deleter");
  return -1;
}

// A Python str from UTF-8.
inline Ref str(std::string_view s) noexcept {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Process-wide once-only cell for a Python object (a class, a cached import).
// Concurrent first users may each build a candidate; one is kept, the others
// are released. Never torn down.
class OnceCell {
 public:
  // Returns a borrowed reference, building with make() (a new reference or
  // null with an exception) on first use.
  template <class F>
  PyObject* get_or_init(F&& make) noexcept {
    PyObject* cur = value_.load(std::memory_order_acquire);
    if (cur) return cur;
    PyObject* made = std::forward<F>(make)();
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
      return made;  // the cell keeps this reference forever
    }
    Py_DECREF(made);
    return expected;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

// Module-building helpers (the add-attribute procedure keeps __all__).
int add_attribute(PyObject* module, const char* name, PyObject* value) noexcept;
int add_function(PyObject* module, PyMethodDef* def) noexcept;
int add_class(PyObject* module, PyObject* type) noexcept;  // under its __name__

}  // namespace corvalink::py
