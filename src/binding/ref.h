// Owning Python state in C++ frames: strong references (Ref), calls that can
// run Python code (py()), C++ exceptions turned into Python ones (catch_as_python_error()),
// and engine failures turned into Python exceptions (raise_status()).
//
// Thread exit: during finalization CPython ends a thread that asks for the
// interpreter lock back with pthread_exit, a forced unwind (glibc throws
// abi::__forced_unwind) that runs the destructors of every frame on the way
// and must not be swallowed. Such a thread holds no lock and the interpreter
// is being torn down, so an unwinding frame must not touch Python state: what
// it owns (references, a claim, a buffer) is left as it is, a deliberate leak
// at process exit. The binding never releases the lock itself, so a thread
// can only be ended inside a C API call that runs Python code (which may hand
// the lock over), and any call that is not a plain accessor can: a slot of an
// argument (__index__, __float__, __len__, __iter__, __next__, __str__, a
// buffer), a finalizer or weakref callback run by a reference release, or a
// collection (gc.callbacks, finalizers) started by an allocation, including
// that of an exception. Hence the rules:
// - a frame that owns Python state (Ref, BoundArgs, Claim, BufferRelease)
//   makes every such call while it owns it through py(), which marks the
//   thread as ending before the frame's destructors run, or keeps the state
//   outside a catch_as_python_error() call, whose handler does the same;
// - the owners' destructors do nothing on a thread marked as ending, and may
//   themselves end the thread (a release runs Python code): noexcept(false);
// - every catch-all lets abi::__forced_unwind through, and no ordinary C++
//   exception crosses a frame that owns Python state (catch_as_python_error() maps it to a
//   Python exception first).
//
// Engine failures (Status values) become exceptions here and nowhere else:
//   kInvalid  -> ValueError with exactly the engine's message
//   kNoMemory -> MemoryError
//   kInternal -> ostrel.InternalError (a violated invariant, not a user error)
// C++ exceptions: std::bad_alloc and std::length_error -> MemoryError, any
// other -> ostrel.InternalError.
//
// Thread safety: callers hold the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>
#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "status.h"

namespace ostrel::binding {

// ostrel.InternalError, created with the module.
inline PyObject* g_internal_error = nullptr;

// Set when a forced unwind passed a py() call on this thread; never cleared,
// the thread does not come back from it. A mark of our own because nothing
// else tells: std::uncaught_exceptions() does not count a forced unwind until
// a handler rethrows it, and the limited API has no Py_IsFinalizing().
inline thread_local bool t_thread_ending = false;

// Calls fn(args...), a C API call that can run Python code (or a function
// making such calls), marking the thread as ending if it is unwound by thread
// exit.
template <typename Fn, typename... Args>
auto py(Fn&& fn, Args&&... args) -> decltype(fn(std::forward<Args>(args)...)) {
  try {
    return fn(std::forward<Args>(args)...);
  } catch (abi::__forced_unwind&) {
    t_thread_ending = true;
    throw;
  }
}

// Drops a reference owned by a binding frame, unless the thread is ending.
inline void drop_reference(PyObject* obj) {
  if (obj != nullptr && !t_thread_ending) py(Py_DecRef, obj);
}

// Owns one strong reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* obj) : obj_(obj) {}  // steals
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() noexcept(false) { drop_reference(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Sets `exc` with a message that names the qualified type name of `obj`:
// prefix + qualname + suffix.
inline void raise_with_type_name(PyObject* exc, PyObject* obj, const char* prefix,
                                 const char* suffix) {
  Ref qualname(py(PyType_GetQualName, Py_TYPE(obj)));
  if (!qualname) return;
  py(PyErr_Format, exc, "%s%U%s", prefix, qualname.get(), suffix);
}

// Sets `exc` with `text` decoded as UTF-8 (invalid bytes replaced, so that an
// odd OS message cannot turn into a UnicodeDecodeError).
inline void raise_text(PyObject* exc, const std::string& text) {
  Ref msg(py(PyUnicode_DecodeUTF8, text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (msg) py(PyErr_SetObject, exc, msg.get());
}

// The one place where engine failures become Python exceptions.
inline void raise_status(const Status& status) {
  switch (status.code()) {
    case Status::Code::kInvalid:
      raise_text(PyExc_ValueError, status.message());
      return;
    case Status::Code::kNoMemory:
      raise_text(PyExc_MemoryError, status.message());
      return;
    case Status::Code::kInternal:
    case Status::Code::kOk:  // a failed Result never carries kOk
      break;
  }
  raise_text(g_internal_error, status.message());
}

// Maps the exception in flight (inside a catch block) to a Python exception.
inline void raise_current_exception() {
  PyObject* fault = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a container asked to outgrow max_size()
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_text(fault, e.what());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_text(fault, "unknown C++ exception");
  }
}

// Runs fn(); a C++ exception becomes the Python exception it stands for and
// the result is `failed`. Thread exit passes through, marked as by py().
template <typename Fn>
std::invoke_result_t<Fn&> catch_as_python_error(std::invoke_result_t<Fn&> failed, Fn&& fn) {
  return py([&]() -> std::invoke_result_t<Fn&> {
    try {
      return fn();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      raise_current_exception();
      return failed;
    }
  });
}

}  // namespace ostrel::binding
