#include "index/hit.h"

#include <charconv>

#include "boxed.h"
#include "call.h"

namespace tessavine::py {
namespace {

PyObject* rank_object(std::optional<std::uint32_t> rank) {
  if (!rank) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*rank);
}

PyObject* get_id(PyObject* self, void*) { return PyLong_FromUnsignedLong(unbox<Hit>(self).id); }
PyObject* get_score(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(unbox<Hit>(self).score));
}
PyObject* get_bm25_rank(PyObject* self, void*) { return rank_object(unbox<Hit>(self).bm25_rank); }
PyObject* get_vector_rank(PyObject* self, void*) { return rank_object(unbox<Hit>(self).vector_rank); }

// The score to five decimals, correctly rounded from its exact value (the
// float widens to a double without loss), and with a full stop whatever
// locale the host has set, as printf would not promise.
std::string five_decimals(float score) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(score),
                                 std::chars_format::fixed, 5);
  return std::string(text, end.ptr);
}

PyObject* hit_repr(PyObject* self) {
  const Hit& hit = unbox<Hit>(self);
  const auto text = call([&] {
    return "Hit(id=" + std::to_string(hit.id) + ", score=" + five_decimals(hit.score) +
           ", bm25_rank=" + py_rank(hit.bm25_rank) + ", vector_rank=" + py_rank(hit.vector_rank) + ")";
  });
  return text ? new_str(*text) : nullptr;
}

PyGetSetDef getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"score", get_score, nullptr, nullptr, nullptr},
    {"bm25_rank", get_bm25_rank, nullptr, nullptr, nullptr},
    {"vector_rank", get_vector_rank, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("One hybrid search result. Ranks are 1-based, `None` if the chunk was not\n"
                                  "in that retriever's list.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<Hit>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

BoxedClass<Hit> hit_class("tessavine._core.Hit", Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);

}  // namespace

PyObject* hit_type() { return hit_class.type(); }

PyObject* new_hit(const Hit& hit) { return hit_class.make(hit); }

std::string py_rank(std::optional<std::uint32_t> rank) { return rank ? std::to_string(*rank) : "None"; }

}  // namespace tessavine::py
