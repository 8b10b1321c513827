#include "index/chunk_record.h"

#include "base/escape.h"
#include "index/boxed.h"

namespace tessavine::py {
namespace {

using Object = Boxed<ChunkRecord>;

PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"path", "heading_path", "line_start", "line_end", "text",
                                         nullptr};
  PyObject* path_obj = nullptr;
  PyObject* headings_obj = nullptr;
  PyObject* start_obj = nullptr;
  PyObject* end_obj = nullptr;
  PyObject* text_obj = nullptr;
  if (!parse_args("ChunkRecord", args, kwargs, keywords, 5,
                  {&path_obj, &headings_obj, &start_obj, &end_obj, &text_obj}))
    return nullptr;
  ChunkRecord record;
  std::string_view path;
  if (!to_utf8(path_obj, "ChunkRecord", "path", path)) return nullptr;
  record.path = path;
  if (!to_str_list(headings_obj, "ChunkRecord", "heading_path", record.heading_path)) return nullptr;
  if (!to_u32(start_obj, "ChunkRecord", "line_start", record.line_start)) return nullptr;
  if (!to_u32(end_obj, "ChunkRecord", "line_end", record.line_end)) return nullptr;
  std::string_view text;
  if (!to_utf8(text_obj, "ChunkRecord", "text", text)) return nullptr;
  record.text = text;
  return box(reinterpret_cast<PyObject*>(type), std::move(record));
}

PyObject* get_path(PyObject* self, void*) { return new_str(unbox<ChunkRecord>(self).path); }
PyObject* get_heading_path(PyObject* self, void*) {
  return new_str_list(unbox<ChunkRecord>(self).heading_path);
}
PyObject* get_line_start(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<ChunkRecord>(self).line_start);
}
PyObject* get_line_end(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<ChunkRecord>(self).line_end);
}
PyObject* get_text(PyObject* self, void*) { return new_str(unbox<ChunkRecord>(self).text); }

PyObject* record_repr(PyObject* self) {
  const ChunkRecord& r = unbox<ChunkRecord>(self);
  std::string out = "ChunkRecord(path=" + tessavine::quoted(r.path) + ", lines=" + std::to_string(r.line_start) +
                    "-" + std::to_string(r.line_end) + ", heading_path=[";
  for (std::size_t i = 0; i < r.heading_path.size(); ++i) {
    if (i > 0) out += ", ";
    out += tessavine::quoted(r.heading_path[i]);
  }
  out += "])";
  return new_str(out);
}

bool equal(const ChunkRecord& a, const ChunkRecord& b) {
  return a.line_start == b.line_start && a.line_end == b.line_end && a.path == b.path &&
         a.heading_path == b.heading_path && a.text == b.text;
}

PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
  const ChunkRecord* theirs = chunk_record_of(other);
  if ((op != Py_EQ && op != Py_NE) || theirs == nullptr) Py_RETURN_NOTIMPLEMENTED;
  const bool same = equal(unbox<ChunkRecord>(self), *theirs);
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyGetSetDef getset[] = {
    {"path", get_path, nullptr, nullptr, nullptr},
    {"heading_path", get_heading_path, nullptr, nullptr, nullptr},
    {"line_start", get_line_start, nullptr, nullptr, nullptr},
    {"line_end", get_line_end, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ChunkRecord(path, heading_path, line_start, line_end, text)\n--\n\n"
                                  "One stored chunk: where it came from and its text.")},
    {Py_tp_new, reinterpret_cast<void*>(record_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<ChunkRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare)},
    // Equality without a hash: records are compared by value and may be
    // rebuilt equal, so they must not serve as keys.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "tessavine._core.ChunkRecord",
    static_cast<int>(sizeof(Object)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* type_cache = nullptr;

}  // namespace

PyObject* chunk_record_type() { return cached_type(type_cache, &type_spec); }

PyObject* new_chunk_record(ChunkRecord record) {
  PyObject* type = chunk_record_type();
  if (type == nullptr) return nullptr;
  return box(type, std::move(record));
}

const ChunkRecord* chunk_record_of(PyObject* obj) {
  if (type_cache == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type_cache) {
    return nullptr;
  }
  return &unbox<ChunkRecord>(obj);
}

}  // namespace tessavine::py
