// Arguments of the OstrelDB methods: binding positional and keyword
// arguments to a parameter list, and converting each to its engine type.
//
// Every function returns false with a Python error set on failure. The
// conversions run Python code of the argument (__index__, __float__,
// __len__, __iter__, a buffer exporter), through py() (see ref.h).
//
// Thread safety: callers hold the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

#include "ref.h"
#include "types.h"

namespace ostrel::binding {

// The fixed texts of argument and claim errors. They follow the messages of
// the reference behaviour word for word, odd ones included, because callers
// may match on them: do not "fix" them.
namespace texts {
inline constexpr char STR_TO_VEC[] = "Can't extract `str` to `Vec`";
inline constexpr char NOT_STR[] = "' object cannot be converted to 'PyString'";
inline constexpr char NOT_BOOL[] = "' object cannot be converted to 'PyBool'";
inline constexpr char NOT_SEQUENCE[] = "' object cannot be converted to 'Sequence'";
inline constexpr char NOT_TUPLE[] = "' object cannot be converted to 'PyTuple'";
inline constexpr char PAIR_LENGTH[] = "expected tuple of length 2, but got tuple of length %zd";
inline constexpr char OUT_OF_RANGE[] = "out of range integral type conversion attempted";
inline constexpr char BORROWED[] = "Already borrowed";                  // add() while in use
inline constexpr char MUTABLY_BORROWED[] = "Already mutably borrowed";  // any call during add()
inline constexpr char INITIALISED_TWICE[] =
    "ostrel may only be initialized once per interpreter process";
}  // namespace texts

// A method's parameter list; every parameter is positional-or-keyword.
struct Signature {
  const char* name;  // as shown in messages, e.g. "OstrelDB.add()"
  std::initializer_list<const char*> params;
  size_t required;  // the first `required` parameters have no default
};

constexpr size_t MAX_PARAMS = 4;

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
  PyObject* objs_[MAX_PARAMS] = {};
};

// Fills `out` from `args` (a tuple) and `kwargs` (a dict or null); TypeError
// as CPython words it for a wrong count, an unknown or a repeated keyword.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// After a failed conversion: an error of exactly type TypeError becomes
// TypeError("argument '<name>': <message>"), keeping its cause.
void prefix_argument_error(const char* name);

// Conversion kinds.
bool convert_u32(PyObject* obj, uint32_t& out);                         // __index__, 0..2^32-1
bool convert_word(PyObject* obj, uint64_t& out);                        // __index__, 0..2^64-1
bool convert_optional_i64(PyObject* obj, std::optional<int64_t>& out);  // None: empty
// Borrows the UTF-8 buffer that the str object caches; valid while `obj` lives.
bool convert_text(PyObject* obj, std::string_view& out);
bool convert_optional_text(PyObject* obj, std::optional<std::string_view>& out);
bool convert_strict_bool(PyObject* obj, bool& out);  // exactly True or False
// A sequence of numbers (not a str), each read as a double and rounded to
// float; one-dimensional float32/float64 buffers (numpy) are copied directly.
bool convert_vector(PyObject* obj, std::vector<float>& out);
// A sequence of (id, score) tuples.
bool convert_pairs(PyObject* obj, std::vector<ScoredPair>& out);

// Runs one conversion; on failure a TypeError gets the parameter's name:
// "argument '<name>': <message>".
template <typename Fn>
bool convert_arg(const char* name, Fn&& fn) {
  if (fn()) return true;
  prefix_argument_error(name);
  return false;
}

}  // namespace ostrel::binding
