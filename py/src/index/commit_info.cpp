#include "index/commit_info.h"

#include "index/boxed.h"
#include "base/utf8.h"

namespace tessavine::py {
namespace {

PyObject* get_dir(PyObject* self, void*) { return new_path(unbox<CommitInfo>(self).dir); }
PyObject* get_generation(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<CommitInfo>(self).generation);
}
PyObject* get_n_chunks(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<CommitInfo>(self).n_chunks);
}

PyObject* info_repr(PyObject* self) {
  const CommitInfo& info = unbox<CommitInfo>(self);
  const std::string text = "CommitInfo(generation=" + std::to_string(info.generation) +
                           ", n_chunks=" + std::to_string(info.n_chunks) + ", dir='" +
                           utf8::lossy(info.dir.native()) + "')";
  return new_str(text);
}

PyGetSetDef getset[] = {
    {"dir", get_dir, nullptr, nullptr, nullptr},
    {"generation", get_generation, nullptr, nullptr, nullptr},
    {"n_chunks", get_n_chunks, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Result of a successful commit.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<CommitInfo>)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "tessavine._core.CommitInfo",
    static_cast<int>(sizeof(Boxed<CommitInfo>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* type_cache = nullptr;

}  // namespace

PyObject* commit_info_type() { return cached_type(type_cache, &type_spec); }

PyObject* new_commit_info(CommitInfo info) {
  PyObject* type = commit_info_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(info));
}

}  // namespace tessavine::py
