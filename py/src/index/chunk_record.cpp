#include "index/chunk_record.h"

#include "base/escape.h"
#include "boxed.h"
#include "call.h"

namespace tessavine::py {
namespace {

const ChunkRecord& record_of(PyObject* self) { return unbox<ChunkRecord>(self); }

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
  std::string_view path, text;
  std::vector<std::string> headings;
  std::uint32_t line_start = 0, line_end = 0;
  if (!to_utf8(path_obj, "ChunkRecord", "path", path) ||
      !to_str_list(headings_obj, "ChunkRecord", "heading_path", headings) ||
      !to_u32(start_obj, "ChunkRecord", "line_start", line_start) ||
      !to_u32(end_obj, "ChunkRecord", "line_end", line_end) || !to_utf8(text_obj, "ChunkRecord", "text", text))
    return nullptr;
  auto record = call([&] {
    return ChunkRecord{std::string(path), std::move(headings), line_start, line_end, std::string(text)};
  });
  if (!record) return nullptr;
  return box(reinterpret_cast<PyObject*>(type), std::move(*record));
}

PyObject* get_path(PyObject* self, void*) { return new_str(record_of(self).path); }
PyObject* get_heading_path(PyObject* self, void*) { return new_str_list(record_of(self).heading_path); }
PyObject* get_line_start(PyObject* self, void*) { return PyLong_FromUnsignedLong(record_of(self).line_start); }
PyObject* get_line_end(PyObject* self, void*) { return PyLong_FromUnsignedLong(record_of(self).line_end); }
PyObject* get_text(PyObject* self, void*) { return new_str(record_of(self).text); }

PyObject* record_repr(PyObject* self) {
  const ChunkRecord& r = record_of(self);
  const auto text = call([&] {
    return "ChunkRecord(path=" + tessavine::quoted(r.path) + ", lines=" + std::to_string(r.line_start) + "-" +
           std::to_string(r.line_end) + ", heading_path=" + quoted_list(r.heading_path) + ")";
  });
  return text ? new_str(*text) : nullptr;
}

// Only == and != exist; ordering falls back to Python's TypeError, and
// comparing with anything else to identity. The interpreter calls this slot
// with a ChunkRecord first.
PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const ChunkRecord& a = record_of(self);
  const ChunkRecord& b = record_of(other);
  // Cheap fields first.
  const bool same = a.line_start == b.line_start && a.line_end == b.line_end && a.path == b.path &&
                    a.heading_path == b.heading_path && a.text == b.text;
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

BoxedClass<ChunkRecord> record_class("tessavine._core.ChunkRecord", 0, slots);

}  // namespace

PyObject* chunk_record_type() { return record_class.type(); }

PyObject* new_chunk_record(ChunkRecord record) { return record_class.make(std::move(record)); }

const ChunkRecord* chunk_record_of(PyObject* obj) { return record_class.of(obj); }

}  // namespace tessavine::py
