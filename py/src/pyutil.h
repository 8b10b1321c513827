// Small tools of the binding layer: owned references, argument converters
// that name the argument in their messages, new Python objects from core
// values, and module registration. Every converter returns false with a
// Python error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessavine::py {

// An owned (strong) reference; null means "no object" or "error set".
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : obj_(owned) {}
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// The table entry of a method or module function taking positional and
// keyword arguments.
PyMethodDef method_def(const char* name, PyCFunctionWithKeywords function, const char* doc,
                       int flags = 0);

// Parses positional and keyword arguments into `slots` (borrowed references,
// left untouched for omitted optional arguments). `keywords` is null-terminated;
// `required` leading parameters must be given. Reports arity problems with the
// interpreter's usual messages.
bool parse_args(const char* func, PyObject* args, PyObject* kwargs, const char* const* keywords,
                int required, std::initializer_list<PyObject**> slots);

// TypeError "{func}() argument '{name}' must be {expected}, not {type}".
void argument_type_error(const char* func, const char* name, const char* expected, PyObject* got);

// `str` to UTF-8. The view lives as long as `obj`. A lone surrogate raises
// the interpreter's UnicodeEncodeError.
bool to_utf8(PyObject* obj, const char* func, const char* name, std::string_view& out);
// `int` (or an object with __index__) to unsigned integers; OverflowError when
// negative or too large.
bool to_u64(PyObject* obj, const char* func, const char* name, std::uint64_t& out);
bool to_u32(PyObject* obj, const char* func, const char* name, std::uint32_t& out);
// `bool` or a NumPy boolean scalar; an `int` is refused.
bool to_bool(PyObject* obj, const char* func, const char* name, bool& out);
// Anything the interpreter converts to a float, narrowed to 32 bits.
bool to_f32(PyObject* obj, const char* func, const char* name, float& out);
// A `str` or path-like object whose path is a `str` (bytes refused), encoded
// with the file-system encoding. ValueError for a path holding a NUL.
bool to_path(PyObject* obj, const char* func, const char* name, std::filesystem::path& out);
// A sequence (not a str) of `str` items.
bool to_str_list(PyObject* obj, const char* func, const char* name, std::vector<std::string>& out);

// New Python objects from core values; null with an error set on failure.
PyObject* new_str(std::string_view utf8);
PyObject* new_str_list(std::span<const std::string> items);

// A new list of `n` items, item i made by `make(i)` (a new reference, or null
// with an error set).
template <class F>
PyObject* new_list(std::size_t n, F&& make) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// Calls `function` of the standard module `module` with one argument.
PyObject* call_stdlib(const char* module, const char* function, PyObject* arg);

// A pathlib.Path for a file-system path (decoded with the file-system encoding).
PyObject* new_path(const std::filesystem::path& path);

// Appends `name` to the module's __all__ (created on first use), then sets the
// attribute. Steals `value`; false with an error set on failure.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

// A heap type created once per process on first use and cached for good.
PyObject* cached_type(PyObject*& cache, PyType_Spec* type_spec, PyObject* base = nullptr);

// How reprs show a heading path: ["a", "b"], each text quoted.
std::string quoted_list(std::span<const std::string> texts);

// Narrows a double to the nearest 32-bit float, overflowing to infinity.
float narrow_to_f32(double value);

}  // namespace tessavine::py
