// The CPython extension module `ostrel`: the class OstrelDB over the engine.
//
// Built against the stable ABI (limited API 3.11). The module holds no state
// besides the type object and the internal-fault exception class, both created
// once per process at the first initialisation. Each instance holds the engine
// object and a borrow counter.
//
// Every method runs the same steps: bind the positional and keyword arguments
// to the parameter list, claim the instance (exclusively for add, shared for
// the others), convert the arguments in declaration order, call the engine,
// release the claim, convert the result. Engine failures are Status values
// mapped to exceptions in one place (raise_status); C++ exceptions are caught
// at every entry point and never reach the interpreter.
//
// Thread safety: every entry point runs with the interpreter lock held and
// never releases it, so the borrow counter is a plain word guarded by that
// lock. A claim conflict can only come from Python code run during argument
// conversion (__index__, __float__, __iter__) calling back into the instance.
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
//   outside a guarded() call, whose handler does the same;
// - the owners' destructors do nothing on a thread marked as ending, and may
//   themselves end the thread (a release runs Python code): noexcept(false);
// - every catch-all lets abi::__forced_unwind through, and no ordinary C++
//   exception crosses a frame that owns Python state (guarded() maps it to a
//   Python exception first).
// No engine lock is held while Python code runs: arguments are converted
// before the engine is called, results after it returned.

#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x030B0000
#include <Python.h>
#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core.h"

namespace {

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559,
              "vector elements are rounded from double to float under IEEE 754 rules");

// ---------------------------------------------------------------------------
// Process-wide objects, created at the first module initialisation and kept
// for the life of the process.

PyObject* g_type = nullptr;            // the heap type OstrelDB
PyObject* g_internal_error = nullptr;  // ostrel.InternalError (derives from BaseException)
bool g_module_initialised = false;     // set once a module object was returned

// ---------------------------------------------------------------------------
// Thread exit (see the top of the file).

// Set when a forced unwind passed a py() call on this thread; never cleared,
// the thread does not come back from it. A mark of our own because nothing
// else tells: std::uncaught_exceptions() does not count a forced unwind until
// a handler rethrows it, and the limited API has no Py_IsFinalizing().
thread_local bool t_thread_ending = false;

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
void drop_reference(PyObject* obj) {
  if (obj != nullptr && !t_thread_ending) py(Py_DecRef, obj);
}

// ---------------------------------------------------------------------------
// Instance layout.
//
// Invariants: `engine` is non-null from the constructor until deallocation.
// `borrow` is 0 when unused, n > 0 with n shared claims, -1 when claimed
// exclusively; every claim is undone by the call that made it.

struct PyOstrelDB {
  PyObject_HEAD std::unique_ptr<ostrel::OstrelDB> engine;
  Py_ssize_t borrow;
};

PyOstrelDB* as_db(PyObject* self) { return reinterpret_cast<PyOstrelDB*>(self); }

// A claim on an instance, released when the guard goes out of scope. A
// thread ended during a call leaves its claim: later calls on the instance
// then fail with "Already borrowed", none waits for it.
class Claim {
 public:
  Claim() = default;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim() {
    if (!t_thread_ending) release();
  }

  // Exclusive: the instance must not be in use at all.
  bool exclusive(PyOstrelDB* db) {
    if (db->borrow != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    db->borrow = -1;
    db_ = db;
    return true;
  }
  // Shared: any number of shared users, but no exclusive one.
  bool shared(PyOstrelDB* db) {
    if (db->borrow == -1) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++db->borrow;
    db_ = db;
    return true;
  }

  void release() {
    if (db_ == nullptr) return;
    if (db_->borrow == -1) {
      db_->borrow = 0;
    } else {
      --db_->borrow;
    }
    db_ = nullptr;
  }

 private:
  PyOstrelDB* db_ = nullptr;
};

// ---------------------------------------------------------------------------
// Small helpers.

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
void raise_with_type_name(PyObject* exc, PyObject* obj, const char* prefix, const char* suffix) {
  Ref qualname(py(PyType_GetQualName, Py_TYPE(obj)));
  if (!qualname) return;
  py(PyErr_Format, exc, "%s%U%s", prefix, qualname.get(), suffix);
}

// Sets `exc` with `text` decoded as UTF-8 (invalid bytes replaced, so that an
// odd OS message cannot turn into a UnicodeDecodeError).
void raise_text(PyObject* exc, const std::string& text) {
  Ref msg(py(PyUnicode_DecodeUTF8, text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (msg) py(PyErr_SetObject, exc, msg.get());
}

// The one place where engine failures become Python exceptions.
void raise_status(const ostrel::Status& status) {
  switch (status.code()) {
    case ostrel::Status::Code::kInvalid:
      raise_text(PyExc_ValueError, status.message());
      return;
    case ostrel::Status::Code::kNoMemory:
      raise_text(PyExc_MemoryError, status.message());
      return;
    case ostrel::Status::Code::kInternal:
    case ostrel::Status::Code::kOk:  // a failed Result never carries kOk
      break;
  }
  raise_text(g_internal_error, status.message());
}

// The Python value of an engine result, or the exception of its failure.
template <typename T, typename Convert>
PyObject* result_or_raise(const ostrel::Result<T>& result, Convert convert) {
  if (!result.ok()) {
    raise_status(result.status());
    return nullptr;
  }
  return convert(result.value());
}

// Maps the exception in flight (inside a catch block) to a Python exception.
void raise_current_exception() {
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
std::invoke_result_t<Fn&> guarded(std::invoke_result_t<Fn&> failed, Fn&& fn) {
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

// ---------------------------------------------------------------------------
// Argument binding: every parameter is positional-or-keyword.

struct Signature {
  const char* name;  // as shown in messages, e.g. "OstrelDB.add()"
  std::initializer_list<const char*> params;
  size_t required;  // the first `required` parameters have no default
};

constexpr size_t kMaxParams = 4;

// The objects bound to each parameter (nullptr = not given), strong references
// so that Python code run during conversion cannot free them under us.
class BoundArgs {
 public:
  BoundArgs() = default;
  BoundArgs(const BoundArgs&) = delete;
  BoundArgs& operator=(const BoundArgs&) = delete;
  ~BoundArgs() noexcept(false) {
    for (PyObject* obj : objs_) drop_reference(obj);
  }
  PyObject* operator[](size_t i) const { return objs_[i]; }
  void set(size_t i, PyObject* obj) {
    Py_INCREF(obj);
    objs_[i] = obj;
  }

 private:
  PyObject* objs_[kMaxParams] = {};
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Fills `out` from `args` (a tuple) and `kwargs` (a dict or null). On failure
// sets TypeError and returns false.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  const size_t total = sig.params.size();
  const char* const* names = sig.params.begin();
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;

  if (static_cast<size_t>(nargs) > total) {
    const char* was = nargs == 1 ? "was" : "were";
    if (sig.required != total) {
      PyErr_Format(PyExc_TypeError,
                   "%s takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                   sig.required, total, nargs, was);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given", sig.name,
                   total, total == 1 ? "" : "s", nargs, was);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.set(static_cast<size_t>(i), PyTuple_GetItem(args, i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.name);
        return false;
      }
      size_t index = total;
      for (size_t i = 0; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
          index = i;
          break;
        }
      }
      if (index == total) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name,
                     names[index]);
        return false;
      }
      out.set(index, value);
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    const std::string list = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.name,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

// After a failed conversion of parameter `name`: an error of exactly type
// TypeError is replaced by TypeError("argument '<name>': <message>"), keeping
// its cause; any other error is left as it is.
void prefix_argument_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref old_type(type), old_value(value), old_traceback(traceback);
  Ref message(py(PyObject_Str, old_value.get()));
  if (!message) return;
  Ref text(py(PyUnicode_FromFormat, "argument '%s': %U", name, message.get()));
  if (!text) return;
  Ref replacement(
      py([&] { return PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr); }));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  py(PyErr_SetObject, PyExc_TypeError, replacement.get());
}

// ---------------------------------------------------------------------------
// Conversion kinds. Each returns false with a Python error set on failure;
// the caller adds the parameter name (prefix_argument_error).

// Signed 64-bit through the C long of the platform where it is wide enough.
bool index_to_i64(PyObject* obj, int64_t& out) {
  Ref index(py(PyNumber_Index, obj));
  if (!index) return false;
  if constexpr (sizeof(long) >= sizeof(int64_t)) {
    const long value = py(PyLong_AsLong, index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
  } else {
    const long long value = py(PyLong_AsLongLong, index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
  }
  return true;
}

bool convert_u32(PyObject* obj, uint32_t& out) {
  int64_t value;
  if (!index_to_i64(obj, value)) return false;
  if (value < 0 || value > int64_t{UINT32_MAX}) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool convert_word(PyObject* obj, uint64_t& out) {
  Ref index(py(PyNumber_Index, obj));
  if (!index) return false;
  const unsigned long long value = py(PyLong_AsUnsignedLongLong, index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_optional_i64(PyObject* obj, std::optional<int64_t>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  int64_t value;
  if (!index_to_i64(obj, value)) return false;
  out = value;
  return true;
}

// Borrows the UTF-8 buffer that the str object caches; valid while `obj` lives.
bool convert_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, "'", "' object cannot be converted to 'PyString'");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool convert_optional_text(PyObject* obj, std::optional<std::string_view>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!convert_text(obj, text)) return false;
  out = text;
  return true;
}

bool convert_strict_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  raise_with_type_name(PyExc_TypeError, obj, "'", "' object cannot be converted to 'PyBool'");
  return false;
}

// The checks shared by the vector and pair-list kinds: a str is refused, and
// the object must claim to be a sequence.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, "'", "' object cannot be converted to 'Sequence'");
    return false;
  }
  return true;
}

// Items reserved up front at most. __len__ may lie (a huge or a wrong
// number): the reservation is only a hint, and beyond this the output grows
// with the items actually taken. 64 Ki items: 256 KiB of floats.
constexpr size_t kMaxReservedItems = size_t{1} << 16;

// Element count used only to size the output, capped at kMaxReservedItems;
// failures are ignored.
size_t size_hint(PyObject* obj) {
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<size_t>(size), kMaxReservedItems);
}

// Calls fn(item) for each item the iteration protocol yields; stops at the
// first failure (fn returns false with an error set, or throws).
template <typename Fn>
bool for_each_item(PyObject* obj, Fn&& fn) {
  Ref iter(py(PyObject_GetIter, obj));
  if (!iter) return false;
  while (true) {
    Ref item(py(PyIter_Next, iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!guarded(false, [&] { return fn(item.get()); })) return false;
  }
}

bool as_f32(PyObject* obj, float& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = static_cast<float>(value);  // round to nearest
  return true;
}

// True when a buffer format string names one native-order float of `code`
// ('f' or 'd'): "f", "@f", "=f", or "<f"/">f" matching the host byte order.
bool is_native_float_format(const char* format, char code) {
  if (format == nullptr) return false;
  if (format[0] == code && format[1] == '\0') return true;
  const bool little = std::endian::native == std::endian::little;
  const char order = format[0];
  const bool native_order =
      order == '@' || order == '=' || (order == '<' && little) || (order == '>' && !little);
  return native_order && format[1] == code && format[2] == '\0';
}

enum class FastPath { kDone, kNotApplicable, kFailed };

// Releases a buffer obtained from an exporter when it goes out of scope (by
// the exporter's code, which may be Python code from 3.12 on).
struct BufferRelease {
  Py_buffer* view;
  ~BufferRelease() noexcept(false) {
    if (!t_thread_ending) py(PyBuffer_Release, view);
  }
};

// Copies a one-dimensional float32 or float64 buffer with the same rounding
// as the iteration path; anything else is left to iteration.
FastPath copy_float_buffer(const Py_buffer& view, std::vector<float>& out) {
  if (view.ndim != 1 || view.shape == nullptr) return FastPath::kNotApplicable;
  const size_t n = static_cast<size_t>(view.shape[0]);
  if (view.itemsize == sizeof(float) && is_native_float_format(view.format, 'f')) {
    out.resize(n);
    if (n != 0) std::memcpy(out.data(), view.buf, n * sizeof(float));
    return FastPath::kDone;
  }
  if (view.itemsize == sizeof(double) && is_native_float_format(view.format, 'd')) {
    out.resize(n);
    const char* src = static_cast<const char*>(view.buf);
    for (size_t i = 0; i < n; ++i) {
      double value;
      std::memcpy(&value, src + i * sizeof(double), sizeof(double));
      out[i] = static_cast<float>(value);
    }
    return FastPath::kDone;
  }
  return FastPath::kNotApplicable;
}

// Reads a C-contiguous buffer (numpy arrays, array.array, memoryview)
// directly. kFailed (a Python error set) only when the copy cannot be
// allocated.
FastPath read_float_buffer(PyObject* obj, std::vector<float>& out) {
  if (!PyObject_CheckBuffer(obj)) return FastPath::kNotApplicable;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_ND) != 0) {
    PyErr_Clear();  // e.g. not C-contiguous: iteration still works
    return FastPath::kNotApplicable;
  }
  BufferRelease release{&view};
  return guarded(FastPath::kFailed, [&] { return copy_float_buffer(view, out); });
}

bool convert_vector(PyObject* obj, std::vector<float>& out) {
  if (!check_sequence(obj)) return false;
  switch (read_float_buffer(obj, out)) {
    case FastPath::kDone:
      return true;
    case FastPath::kFailed:
      return false;
    case FastPath::kNotApplicable:
      break;
  }
  out.clear();
  out.reserve(size_hint(obj));
  return for_each_item(obj, [&](PyObject* item) {
    float value;
    if (!as_f32(item, value)) return false;
    out.push_back(value);
    return true;
  });
}

bool convert_pairs(PyObject* obj, std::vector<ostrel::ScoredPair>& out) {
  if (!check_sequence(obj)) return false;
  out.clear();
  out.reserve(size_hint(obj));
  return for_each_item(obj, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      raise_with_type_name(PyExc_TypeError, item, "'", "' object cannot be converted to 'PyTuple'");
      return false;
    }
    const Py_ssize_t size = PyTuple_Size(item);
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   size);
      return false;
    }
    ostrel::ScoredPair pair;
    if (!convert_u32(PyTuple_GetItem(item, 0), pair.id)) return false;
    if (!as_f32(PyTuple_GetItem(item, 1), pair.score)) return false;
    out.push_back(pair);
    return true;
  });
}

// Runs one conversion and names the parameter in a TypeError.
template <typename Fn>
bool convert_arg(const char* name, Fn&& fn) {
  if (fn()) return true;
  prefix_argument_error(name);
  return false;
}

// ---------------------------------------------------------------------------
// Result conversion.

PyObject* triples_to_list(const std::vector<ostrel::ResultTriple>& triples) {
  Ref list(py(PyList_New, static_cast<Py_ssize_t>(triples.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < triples.size(); ++i) {
    const ostrel::ResultTriple& t = triples[i];
    Ref id(py(PyLong_FromUnsignedLong, t.id));
    if (!id) return nullptr;
    Ref score(py(PyFloat_FromDouble, static_cast<double>(t.score)));
    if (!score) return nullptr;
    Ref text(py(PyUnicode_FromStringAndSize, t.metadata.data(),
                static_cast<Py_ssize_t>(t.metadata.size())));
    if (!text) return nullptr;
    Ref tuple(py(PyTuple_New, 3));
    if (!tuple) return nullptr;
    PyTuple_SetItem(tuple.get(), 0, id.release());  // SetItem steals
    PyTuple_SetItem(tuple.get(), 1, score.release());
    PyTuple_SetItem(tuple.get(), 2, text.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

PyObject* count_to_int(uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

// ---------------------------------------------------------------------------
// Constructor and deallocator.

const Signature kNewSig{"OstrelDB.__new__()", {"path"}, 1};

PyObject* ostreldb_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!bind_arguments(kNewSig, args, kwargs, bound)) return nullptr;
    std::string_view path;
    if (!convert_arg("path", [&] { return convert_text(bound[0], path); })) return nullptr;

    ostrel::Result<std::unique_ptr<ostrel::OstrelDB>> opened =
        ostrel::OstrelDB::open(std::string(path));
    if (!opened.ok()) {
      raise_status(opened.status());
      return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the engine object is released by `opened`
    PyOstrelDB* db = as_db(self);
    new (&db->engine) std::unique_ptr<ostrel::OstrelDB>(std::move(opened.value()));
    db->borrow = 0;
    return self;
  });
}

void ostreldb_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_db(self)->engine.~unique_ptr();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// ---------------------------------------------------------------------------
// Methods.

const Signature kAddSig{"OstrelDB.add()", {"internal_id", "vector", "metadata_json", "ttl"}, 3};
const Signature kSearchSig{
    "OstrelDB.search()", {"query", "k", "filter_json", "include_metadata"}, 2};
const Signature kBuildResultsSig{"OstrelDB.build_results()", {"scored", "include_metadata"}, 2};
const Signature kDeleteSig{"OstrelDB.delete()", {"filter_json"}, 1};

// Each method owns its bound arguments and claim outside guarded(), so that
// a thread ending inside the body is marked before they are destroyed.

PyObject* ostreldb_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!bind_arguments(kAddSig, args, kwargs, bound) || !claim.exclusive(as_db(self))) {
      return nullptr;
    }
    uint32_t id;
    std::vector<float> vector;
    std::string_view metadata;
    std::optional<int64_t> ttl;
    if (!convert_arg("internal_id", [&] { return convert_u32(bound[0], id); }) ||
        !convert_arg("vector", [&] { return convert_vector(bound[1], vector); }) ||
        !convert_arg("metadata_json", [&] { return convert_text(bound[2], metadata); }) ||
        !convert_arg("ttl", [&] { return convert_optional_i64(bound[3], ttl); })) {
      return nullptr;
    }

    const ostrel::Status status = as_db(self)->engine->add(id, std::move(vector), metadata, ttl);
    claim.release();
    if (!status.ok()) {
      raise_status(status);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* ostreldb_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!bind_arguments(kSearchSig, args, kwargs, bound) || !claim.shared(as_db(self))) {
      return nullptr;
    }
    std::vector<float> query;
    uint64_t k;
    std::optional<std::string_view> filter;
    bool include_metadata = true;
    if (!convert_arg("query", [&] { return convert_vector(bound[0], query); }) ||
        !convert_arg("k", [&] { return convert_word(bound[1], k); }) ||
        !convert_arg("filter_json", [&] { return convert_optional_text(bound[2], filter); }) ||
        (bound[3] != nullptr && !convert_arg("include_metadata", [&] {
           return convert_strict_bool(bound[3], include_metadata);
         }))) {
      return nullptr;
    }

    ostrel::Result<std::vector<ostrel::ResultTriple>> result =
        as_db(self)->engine->search(query, k, filter, include_metadata);
    claim.release();
    return result_or_raise(result, triples_to_list);
  });
}

PyObject* ostreldb_build_results(PyObject* self, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!bind_arguments(kBuildResultsSig, args, kwargs, bound) || !claim.shared(as_db(self))) {
      return nullptr;
    }
    std::vector<ostrel::ScoredPair> scored;
    bool include_metadata;
    if (!convert_arg("scored", [&] { return convert_pairs(bound[0], scored); }) ||
        !convert_arg("include_metadata",
                     [&] { return convert_strict_bool(bound[1], include_metadata); })) {
      return nullptr;
    }

    ostrel::Result<std::vector<ostrel::ResultTriple>> result =
        as_db(self)->engine->build_results(std::move(scored), include_metadata);
    claim.release();
    return result_or_raise(result, triples_to_list);
  });
}

PyObject* ostreldb_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!bind_arguments(kDeleteSig, args, kwargs, bound) || !claim.shared(as_db(self))) {
      return nullptr;
    }
    std::string_view filter;
    if (!convert_arg("filter_json", [&] { return convert_text(bound[0], filter); })) {
      return nullptr;
    }

    ostrel::Result<uint64_t> matched = as_db(self)->engine->delete_matching(filter);
    claim.release();
    return result_or_raise(matched, count_to_int);
  });
}

PyObject* ostreldb_count(PyObject* self, PyObject* /*unused*/) {
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!claim.shared(as_db(self))) return nullptr;
    ostrel::Result<uint64_t> n = as_db(self)->engine->count();
    claim.release();
    return result_or_raise(n, count_to_int);
  });
}

PyObject* ostreldb_clean_expired(PyObject* self, PyObject* /*unused*/) {
  Claim claim;
  return guarded(nullptr, [&]() -> PyObject* {
    if (!claim.shared(as_db(self))) return nullptr;
    const ostrel::Status status = as_db(self)->engine->clean_expired();
    claim.release();
    if (!status.ok()) {
      raise_status(status);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// ---------------------------------------------------------------------------
// Type and module definitions.

// METH_VARARGS | METH_KEYWORDS functions are stored as PyCFunction; the double
// cast through a generic function pointer keeps -Wcast-function-type quiet.
template <typename Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef g_methods[] = {
    {"add", as_cfunction(ostreldb_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, internal_id, vector, metadata_json, ttl=None)\n--\n\n"},
    {"search", as_cfunction(ostreldb_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, k, filter_json=None, include_metadata=True)\n--\n\n"},
    {"build_results", as_cfunction(ostreldb_build_results), METH_VARARGS | METH_KEYWORDS,
     "build_results($self, scored, include_metadata)\n--\n\n"},
    {"delete", as_cfunction(ostreldb_delete), METH_VARARGS | METH_KEYWORDS,
     "delete($self, filter_json)\n--\n\n"},
    {"count", ostreldb_count, METH_NOARGS, "count($self)\n--\n\n"},
    {"clean_expired", ostreldb_clean_expired, METH_NOARGS, "clean_expired($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ostreldb_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ostreldb_dealloc)},
    {Py_tp_doc, const_cast<char*>("OstrelDB(path)\n--\n\n")},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// Default flags only: not subclassable, not tracked by the cyclic GC, no
// instance __dict__, no weak references.
PyType_Spec g_type_spec = {
    "builtins.OstrelDB", static_cast<int>(sizeof(PyOstrelDB)), 0, Py_TPFLAGS_DEFAULT, g_type_slots,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "ostrel",
    "",  // the module docstring is the empty string
    0,   // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends "OstrelDB" to the module's __all__, creating the list if needed.
bool add_to_all(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) return false;
  PyObject* all = py(PyDict_GetItemString, dict, "__all__");  // borrowed
  Ref created;
  if (all == nullptr) {
    created = Ref(py(PyList_New, 0));
    if (!created) return false;
    if (py(PyDict_SetItemString, dict, "__all__", created.get()) != 0) return false;
    all = created.get();
  }
  Ref name(py(PyUnicode_FromString, "OstrelDB"));
  if (!name) return false;
  return py(PyList_Append, all, name.get()) == 0;
}

PyObject* init_module() {
  if (g_module_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "ostrel may only be initialized once per interpreter process");
    return nullptr;
  }
  Ref module(py(PyModule_Create2, &g_module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  if (g_type == nullptr) {
    g_type = py(PyType_FromSpec, &g_type_spec);
    if (g_type == nullptr) return nullptr;
  }
  if (g_internal_error == nullptr) {
    g_internal_error =
        py(PyErr_NewExceptionWithDoc, "ostrel.InternalError",
           "A violated internal invariant of the ostrel engine. Not a user error; derives directly "
           "from BaseException so that a plain `except Exception` does not swallow it.",
           PyExc_BaseException, nullptr);
    if (g_internal_error == nullptr) return nullptr;
  }
  if (py(PyModule_AddObjectRef, module.get(), "OstrelDB", g_type) != 0) return nullptr;
  if (py(PyModule_AddObjectRef, module.get(), "InternalError", g_internal_error) != 0) {
    return nullptr;
  }
  if (!py(add_to_all, module.get())) return nullptr;
  g_module_initialised = true;  // only now: a failed first import may be retried
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_ostrel(void) { return guarded(nullptr, init_module); }
