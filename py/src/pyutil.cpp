#include "pyutil.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "base/escape.h"
#include "call.h"

namespace tessavine::py {

PyMethodDef method_def(const char* name, PyCFunctionWithKeywords function, const char* doc, int flags) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_VARARGS | METH_KEYWORDS | flags, doc};
}

bool parse_args(const char* func, PyObject* args, PyObject* kwargs, const char* const* keywords,
                int required, std::initializer_list<PyObject**> slots) {
  // PyArg_ParseTupleAndKeywords checks arity and names only: every value is
  // taken as an object here and converted by a converter that knows its name.
  std::string format(required, 'O');
  if (static_cast<std::size_t>(required) < slots.size()) {
    format += '|';
    format.append(slots.size() - required, 'O');
  }
  format += ':';
  format += func;
  PyObject* o[8] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &o[0],
                                   &o[1], &o[2], &o[3], &o[4], &o[5], &o[6], &o[7]))
    return false;
  std::size_t i = 0;
  for (PyObject** slot : slots) {
    if (o[i] != nullptr) *slot = o[i];
    ++i;
  }
  return true;
}

static std::string type_name(PyObject* obj) {
  Ref name(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

void argument_type_error(const char* func, const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", func, name, expected,
               type_name(got).c_str());
}

// A TypeError raised while converting an argument becomes one that names it;
// other errors (OverflowError, MemoryError...) pass unchanged.
static void name_type_error(const char* func, const char* name, const char* expected, PyObject* got) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    argument_type_error(func, name, expected, got);
  }
}

bool to_utf8(PyObject* obj, const char* func, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    argument_type_error(func, name, "str", obj);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_u64(PyObject* obj, const char* func, const char* name, std::uint64_t& out) {
  Ref index;
  if (PyLong_Check(obj)) {
    index = Ref::borrow(obj);
  } else {
    // Integers of other kinds (NumPy's among them) convert through __index__.
    index = Ref(PyNumber_Index(obj));
    if (!index) {
      name_type_error(func, name, "int", obj);
      return false;
    }
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u32(PyObject* obj, const char* func, const char* name, std::uint32_t& out) {
  std::uint64_t wide = 0;
  if (!to_u64(obj, func, name, wide)) return false;
  if (wide > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large for C unsigned int");
    return false;
  }
  out = static_cast<std::uint32_t>(wide);
  return true;
}

static bool is_numpy_bool(PyObject* obj) {
  // numpy.bool (NumPy 2) and numpy.bool_ (older NumPy) scalars.
  const std::string name = type_name(obj);
  if (name != "bool" && name != "bool_") return false;
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool to_bool(PyObject* obj, const char* func, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  argument_type_error(func, name, "bool", obj);
  return false;
}

float narrow_to_f32(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    // Beyond FLT_MAX by half an ulp or more rounds to infinity.
    const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    const float big = std::fabs(value) < limit ? FLT_MAX : INFINITY;
    return value < 0 ? -big : big;
  }
  return static_cast<float>(value);
}

bool to_f32(PyObject* obj, const char* func, const char* name, float& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    name_type_error(func, name, "float", obj);
    return false;
  }
  out = narrow_to_f32(value);
  return true;
}

bool to_path(PyObject* obj, const char* func, const char* name, std::filesystem::path& out) {
  Ref fspath(PyOS_FSPath(obj));
  if (!fspath) {
    name_type_error(func, name, "str or os.PathLike", obj);
    return false;
  }
  if (!PyUnicode_Check(fspath.get())) {
    argument_type_error(func, name, "str or os.PathLike returning str", obj);
    return false;
  }
  Ref encoded(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
  // The operating system reads a path only up to its first NUL, so such a
  // path would name some other file; refused as the interpreter refuses it.
  if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out = std::filesystem::path(std::string(data, static_cast<std::size_t>(size)));
  return true;
}

// ValueError for a sequence whose items disagree with its __len__, in place
// of the IndexError that gave it away.
static bool length_mismatch(const char* func, const char* name, Py_ssize_t length) {
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "%s() argument '%s': sequence length %zd does not match its items", func,
               name, length);
  return false;
}

bool to_str_list(PyObject* obj, const char* func, const char* name, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s': Can't extract `str` to `Vec`", func, name);
    return false;
  }
  if (!PySequence_Check(obj)) {
    argument_type_error(func, name, "a sequence of str", obj);
    return false;
  }
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  std::vector<std::string> items;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(obj, i));
    if (!item) return PyErr_ExceptionMatches(PyExc_IndexError) ? length_mismatch(func, name, n) : false;
    std::string_view text;
    if (!to_utf8(item.get(), func, name, text) || !call([&] { items.emplace_back(text); })) return false;
  }
  // A list or tuple holds exactly its length; any other sequence's __len__
  // is only a claim, so there must be no item past it either.
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) {
    Ref extra(PySequence_GetItem(obj, n));
    if (extra) return length_mismatch(func, name, n);
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
    PyErr_Clear();
  }
  out = std::move(items);
  return true;
}

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* new_str_list(std::span<const std::string> items) {
  return new_list(items.size(), [&](std::size_t i) { return new_str(items[i]); });
}

PyObject* call_stdlib(const char* module, const char* function, PyObject* arg) {
  Ref imported(PyImport_ImportModule(module));
  if (!imported) return nullptr;
  Ref callable(PyObject_GetAttrString(imported.get(), function));
  if (!callable) return nullptr;
  return PyObject_CallFunctionObjArgs(callable.get(), arg, nullptr);
}

PyObject* new_path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  Ref text(PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
  if (!text) return nullptr;
  return call_stdlib("pathlib", "Path", text.get());
}

std::string quoted_list(std::span<const std::string> texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += tessavine::quoted(texts[i]);
  }
  out += ']';
  return out;
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* cached_type(PyObject*& cache, PyType_Spec* type_spec, PyObject* base) {
  if (cache == nullptr) {
    Ref bases;
    if (base != nullptr) {
      bases = Ref(PyTuple_Pack(1, base));
      if (!bases) return nullptr;
    }
    cache = PyType_FromSpecWithBases(type_spec, bases.get());
  }
  return cache;
}

}  // namespace tessavine::py
