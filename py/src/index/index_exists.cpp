#include "index/index_exists.h"

#include "call.h"
#include "index/generations.h"

namespace tessavine::py {
namespace {

PyObject* py_index_exists(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"root", nullptr};
  PyObject* root_obj = nullptr;
  if (!parse_args("index_exists", args, kwargs, keywords, 1, {&root_obj})) return nullptr;
  std::filesystem::path root;
  if (!to_path(root_obj, "index_exists", "root", root)) return nullptr;
  const auto found = call([&] { return tessavine::exists(root); });
  return found ? PyBool_FromLong(*found) : nullptr;
}

}  // namespace

PyMethodDef index_exists_def = method_def("index_exists", py_index_exists,
                                          "index_exists(root)\n--\n\nWhether `root` holds a committed index.");

}  // namespace tessavine::py
