// The extension module tessavine._core: its definition, the exec step that
// fills it, and the free functions tokenize, quantize_binary and hamming.
#define TESSAVINE_NUMPY_IMPORT
#include "numpy_api.h"

#include "chunking.h"
#include "errors.h"
#include "tokenize.h"

namespace tessavine {
namespace {

constexpr const char* kVersion = "0.2.0";

PyObject* py_tokenize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", nullptr};
  PyObject* text_obj = nullptr;
  if (!py::parse_args("tokenize", args, kwargs, keywords, 1, {&text_obj})) return nullptr;
  std::string_view text;
  if (!py::to_utf8(text_obj, "tokenize", "text", text)) return nullptr;
  return py::new_str_list(tokenize(text));
}

PyMethodDef tokenize_def = {
    "tokenize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_tokenize)),
    METH_VARARGS | METH_KEYWORDS,
    "tokenize(text)\n--\n\nSplit `text` into the terms BM25 indexes: lowercase, split on\n"
    "non-alphanumerics and at `camelCase` boundaries (plus the whole\n"
    "identifier), with stopwords and single letters dropped."};

bool add_function(PyObject* module, PyMethodDef* def) {
  py::Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return py::add_to_module(module, def->ml_name, PyCFunction_NewEx(def, nullptr, module_name.get()));
}

int init_numpy() {
  import_array1(-1);
  return 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the exec step expects a module object");
    return -1;
  }
  if (init_numpy() < 0) return -1;
  if (!py::add_to_module(module, "__version__", PyUnicode_FromString(kVersion))) return -1;
  if (!py::add_to_module(module, "SCHEMA_VERSION", PyLong_FromUnsignedLong(kSchemaVersion))) return -1;
  py::Ref modes(PyList_New(4));
  if (!modes) return -1;
  const char* const names[] = {"int8", "binary", "binary+int8", "ternary+int8"};
  for (Py_ssize_t i = 0; i < 4; ++i) {
    PyObject* name = PyUnicode_FromString(names[i]);
    if (name == nullptr) return -1;
    PyList_SetItem(modes.get(), i, name);
  }
  if (!py::add_to_module(module, "VECTOR_MODES", modes.release())) return -1;

  // Functions, then classes, then exceptions, in the order of __all__.
  for (PyMethodDef* def : {&tokenize_def, &chunking::chunk_text_def}) {
    if (!add_function(module, def)) return -1;
  }
  PyObject* chunk_class = chunking::chunk_type();
  if (chunk_class == nullptr) return -1;
  Py_INCREF(chunk_class);
  if (!py::add_to_module(module, "Chunk", chunk_class)) return -1;
  if (!errors::register_classes(module)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The compiled extension module of tessavine.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessavine

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&tessavine::module_def); }
