#include "index/index_exists.h"

#include "index/generations.h"

namespace tessavine::py {
namespace {

PyObject* py_index_exists(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"root", nullptr};
  PyObject* root_obj = nullptr;
  if (!parse_args("index_exists", args, kwargs, keywords, 1, {&root_obj})) return nullptr;
  std::filesystem::path root;
  if (!to_path(root_obj, "index_exists", "root", root)) return nullptr;
  return PyBool_FromLong(tessavine::exists(root));
}

}  // namespace

PyMethodDef index_exists_def = {
    "index_exists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_index_exists)),
    METH_VARARGS | METH_KEYWORDS,
    "index_exists(root)\n--\n\nWhether `root` holds a committed index."};

}  // namespace tessavine::py
