#include "errors.h"

namespace tessavine::errors {
namespace {

PyObject* new_exception(PyObject*& cache, const char* name, const char* doc, PyObject* base) {
  if (cache == nullptr && base != nullptr)
    cache = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  return cache;
}

PyObject* tessavine_error_class = nullptr;
PyObject* index_format_error_class = nullptr;
PyObject* schema_error_class = nullptr;

}  // namespace

PyObject* tessavine_error() {
  return new_exception(tessavine_error_class, "_core.TessavineError",
                       "Base class for errors raised by the tessavine core.", PyExc_Exception);
}

PyObject* index_format_error() {
  return new_exception(index_format_error_class, "_core.IndexFormatError",
                       "The index on disk is corrupt or not a tessavine index. Rebuild it.",
                       tessavine_error());
}

PyObject* schema_error() {
  return new_exception(schema_error_class, "_core.SchemaError",
                       "The index was written by an incompatible version of tessavine. Rebuild it.",
                       index_format_error());
}

bool register_classes(PyObject* module) {
  const std::pair<const char*, PyObject* (*)()> classes[] = {
      {"TessavineError", tessavine_error},
      {"IndexFormatError", index_format_error},
      {"SchemaError", schema_error},
  };
  for (const auto& [name, get] : classes) {
    PyObject* cls = get();
    if (cls == nullptr) return false;
    Py_INCREF(cls);
    if (!py::add_to_module(module, name, cls)) return false;
  }
  return true;
}

PyObject* to_py(Error error) {
  PyObject* cls = nullptr;
  switch (error.kind()) {
    case ErrorKind::Io: cls = PyExc_OSError; break;
    case ErrorKind::InvalidData: cls = index_format_error(); break;
    case ErrorKind::UnsupportedSchema: cls = schema_error(); break;
    case ErrorKind::DimensionMismatch:
    case ErrorKind::InvalidArgument: cls = PyExc_ValueError; break;
  }
  if (cls == nullptr) return nullptr;  // creating the class failed; its error is set
  const std::string text = error.to_string();
  py::Ref message(py::new_str(text));
  if (!message) return nullptr;
  // The class is called with the text alone when the exception is raised, so
  // an OSError carries no errno or filename: those are inside the message.
  PyErr_SetObject(cls, message.get());
  return nullptr;
}

}  // namespace tessavine::errors
