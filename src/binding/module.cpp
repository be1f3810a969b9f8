// The CPython extension module `ostrel`: the class OstrelDB over the engine.
//
// Built against the stable ABI (limited API 3.11). The module holds no state
// besides the type object and the internal-fault exception class, both created
// once per process at the first successful initialisation. Each instance
// holds the engine object and a borrow counter.
//
// Every method runs the same steps (run_method): bind the positional and
// keyword arguments to the parameter list, claim the instance (exclusively
// for add, shared for the others), convert the arguments in declaration
// order (args.h), call the engine, release the claim, convert the result.
// Engine failures and C++ exceptions become Python exceptions in ref.h; none
// reaches the interpreter, and a thread ended at interpreter exit unwinds
// without touching Python state (see ref.h).
//
// Thread safety: every entry point runs with the interpreter lock held and
// never releases it, so the borrow counter is a plain word guarded by that
// lock. A claim conflict can only come from Python code run during argument
// conversion (__index__, __float__, __iter__) calling back into the instance.
// No engine lock is held while Python code runs: arguments are converted
// before the engine is called, results after it returned.

#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "core.h"
#include "ref.h"

namespace {

using namespace ostrel::binding;

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559,
              "the conversions assume IEEE 754 floats");

PyObject* g_type = nullptr;         // the heap type OstrelDB
bool g_module_initialised = false;  // set once a module object was returned

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
      PyErr_SetString(PyExc_RuntimeError, texts::BORROWED);
      return false;
    }
    db->borrow = -1;
    db_ = db;
    return true;
  }
  // Shared: any number of shared users, but no exclusive one.
  bool shared(PyOstrelDB* db) {
    if (db->borrow == -1) {
      PyErr_SetString(PyExc_RuntimeError, texts::MUTABLY_BORROWED);
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
// Result conversion.

PyObject* to_python_value(const std::vector<ostrel::ResultTriple>& triples) {
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

PyObject* to_python_value(uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

const Signature kNewSig{"OstrelDB.__new__()", {"path"}, 1};

PyObject* ostreldb_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  return catch_as_python_error(nullptr, [&]() -> PyObject* {
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

// The Python value of an engine result, or null with its exception set.
PyObject* to_python(const ostrel::Status& status) {
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  Py_RETURN_NONE;
}
template <typename T>
PyObject* to_python(const ostrel::Result<T>& result) {
  if (!result.ok()) {
    raise_status(result.status());
    return nullptr;
  }
  return to_python_value(result.value());
}

enum class Access { kExclusive, kShared };

// The steps every method runs. `call(bound, engine)` converts the bound
// arguments and calls the engine; it returns the engine's result, or nullopt
// when a conversion failed (a Python error is set). `sig` is null for
// methods without arguments. The bound arguments and the claim live outside
// catch_as_python_error(), so that a thread ending inside is marked before they are
// destroyed.
template <typename Call>
PyObject* run_method(PyObject* self, PyObject* args, PyObject* kwargs, const Signature* sig,
                     Access access, Call&& call) {
  BoundArgs bound;
  Claim claim;
  return catch_as_python_error(nullptr, [&]() -> PyObject* {
    if (sig != nullptr && !bind_arguments(*sig, args, kwargs, bound)) return nullptr;
    PyOstrelDB* db = as_db(self);
    if (!(access == Access::kExclusive ? claim.exclusive(db) : claim.shared(db))) return nullptr;
    auto result = call(bound, *db->engine);
    claim.release();
    return result ? to_python(*result) : nullptr;
  });
}

PyObject* ostreldb_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_method(
      self, args, kwargs, &kAddSig, Access::kExclusive,
      [](const BoundArgs& a, ostrel::OstrelDB& engine) -> std::optional<ostrel::Status> {
        uint32_t id;
        std::vector<float> vector;
        std::string_view metadata;
        std::optional<int64_t> ttl;
        if (!convert_arg("internal_id", [&] { return convert_u32(a[0], id); }) ||
            !convert_arg("vector", [&] { return convert_vector(a[1], vector); }) ||
            !convert_arg("metadata_json", [&] { return convert_text(a[2], metadata); }) ||
            !convert_arg("ttl", [&] { return convert_optional_i64(a[3], ttl); })) {
          return std::nullopt;
        }
        return engine.add(id, std::move(vector), metadata, ttl);
      });
}

using Triples = ostrel::Result<std::vector<ostrel::ResultTriple>>;

PyObject* ostreldb_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_method(
      self, args, kwargs, &kSearchSig, Access::kShared,
      [](const BoundArgs& a, ostrel::OstrelDB& engine) -> std::optional<Triples> {
        std::vector<float> query;
        uint64_t k;
        std::optional<std::string_view> filter;
        bool include_metadata = true;
        if (!convert_arg("query", [&] { return convert_vector(a[0], query); }) ||
            !convert_arg("k", [&] { return convert_word(a[1], k); }) ||
            !convert_arg("filter_json", [&] { return convert_optional_text(a[2], filter); }) ||
            (a[3] != nullptr && !convert_arg("include_metadata", [&] {
               return convert_strict_bool(a[3], include_metadata);
             }))) {
          return std::nullopt;
        }
        return engine.search(query, k, filter, include_metadata);
      });
}

PyObject* ostreldb_build_results(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_method(self, args, kwargs, &kBuildResultsSig, Access::kShared,
                    [](const BoundArgs& a, ostrel::OstrelDB& engine) -> std::optional<Triples> {
                      std::vector<ostrel::ScoredPair> scored;
                      bool include_metadata;
                      if (!convert_arg("scored", [&] { return convert_pairs(a[0], scored); }) ||
                          !convert_arg("include_metadata", [&] {
                            return convert_strict_bool(a[1], include_metadata);
                          })) {
                        return std::nullopt;
                      }
                      return engine.build_results(std::move(scored), include_metadata);
                    });
}

PyObject* ostreldb_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_method(
      self, args, kwargs, &kDeleteSig, Access::kShared,
      [](const BoundArgs& a, ostrel::OstrelDB& engine) -> std::optional<ostrel::Result<uint64_t>> {
        std::string_view filter;
        if (!convert_arg("filter_json", [&] { return convert_text(a[0], filter); })) {
          return std::nullopt;
        }
        return engine.delete_matching(filter);
      });
}

PyObject* ostreldb_count(PyObject* self, PyObject* /*unused*/) {
  return run_method(self, nullptr, nullptr, nullptr, Access::kShared,
                    [](const BoundArgs&, ostrel::OstrelDB& engine) {
                      return std::optional<ostrel::Result<uint64_t>>(engine.count());
                    });
}

PyObject* ostreldb_clean_expired(PyObject* self, PyObject* /*unused*/) {
  return run_method(self, nullptr, nullptr, nullptr, Access::kShared,
                    [](const BoundArgs&, ostrel::OstrelDB& engine) {
                      return std::optional<ostrel::Status>(engine.clean_expired());
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
    PyErr_SetString(PyExc_ImportError, texts::INITIALISED_TWICE);
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

PyMODINIT_FUNC PyInit_ostrel(void) { return catch_as_python_error(nullptr, init_module); }
