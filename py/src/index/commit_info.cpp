#include "index/commit_info.h"

#include "boxed.h"
#include "call.h"
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
  const auto text = call([&] {
    return "CommitInfo(generation=" + std::to_string(info.generation) + ", n_chunks=" +
           std::to_string(info.n_chunks) + ", dir='" + utf8::lossy(info.dir.native()) + "')";
  });
  return text ? new_str(*text) : nullptr;
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

BoxedClass<CommitInfo> commit_info_class("tessavine._core.CommitInfo", Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);

}  // namespace

PyObject* commit_info_type() { return commit_info_class.type(); }

PyObject* new_commit_info(CommitInfo info) { return commit_info_class.make(std::move(info)); }

}  // namespace tessavine::py
