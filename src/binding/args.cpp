#include "args.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

namespace ostrel::binding {
namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

bool convert_u32(PyObject* obj, uint32_t& out) {
  int64_t value;
  if (!index_to_i64(obj, value)) return false;
  if (value < 0 || value > int64_t{UINT32_MAX}) {
    PyErr_SetString(PyExc_OverflowError, texts::OUT_OF_RANGE);
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

bool convert_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, "'", texts::NOT_STR);
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
  raise_with_type_name(PyExc_TypeError, obj, "'", texts::NOT_BOOL);
  return false;
}

namespace {

// The checks shared by the vector and pair-list kinds: a str is refused, and
// the object must claim to be a sequence.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, texts::STR_TO_VEC);
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, "'", texts::NOT_SEQUENCE);
    return false;
  }
  return true;
}

// Items reserved up front at most. __len__ may lie (a huge or a wrong
// number): the reservation is only a hint, and beyond this the output grows
// with the items actually taken. 64 Ki items: 256 KiB of floats.
constexpr size_t MAX_RESERVED_ITEMS = size_t{1} << 16;

// Element count used only to size the output, capped at MAX_RESERVED_ITEMS;
// failures are ignored.
size_t size_hint(PyObject* obj) {
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<size_t>(size), MAX_RESERVED_ITEMS);
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
    if (!catch_as_python_error(false, [&] { return fn(item.get()); })) return false;
  }
}

// Rounds to the nearest float. Magnitudes from FLT_MAX plus half an ulp up
// round to infinity; they are made infinite here because C++ leaves the
// conversion of a value beyond the float range undefined.
float round_to_f32(double value) {
  constexpr double TO_INFINITY = 0x1.ffffffp+127;
  if (value >= TO_INFINITY) return std::numeric_limits<float>::infinity();
  if (value <= -TO_INFINITY) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

bool as_f32(PyObject* obj, float& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = round_to_f32(value);
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
      out[i] = round_to_f32(value);
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
  return catch_as_python_error(FastPath::kFailed, [&] { return copy_float_buffer(view, out); });
}

}  // namespace

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

bool convert_pairs(PyObject* obj, std::vector<ScoredPair>& out) {
  if (!check_sequence(obj)) return false;
  out.clear();
  out.reserve(size_hint(obj));
  return for_each_item(obj, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      raise_with_type_name(PyExc_TypeError, item, "'", texts::NOT_TUPLE);
      return false;
    }
    const Py_ssize_t size = PyTuple_Size(item);
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, texts::PAIR_LENGTH, size);
      return false;
    }
    ScoredPair pair;
    if (!convert_u32(PyTuple_GetItem(item, 0), pair.id)) return false;
    if (!as_f32(PyTuple_GetItem(item, 1), pair.score)) return false;
    out.push_back(pair);
    return true;
  });
}

}  // namespace ostrel::binding
