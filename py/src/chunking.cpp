#include "chunking.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "text/chunk.h"
#include "base/escape.h"
#include "base/utf8.h"

namespace tessavine::chunking {
namespace {

// A Chunk instance owns one core chunk and nothing else: no Python references,
// so it needs no garbage-collector support.
struct ChunkObject {
  PyObject_HEAD
  Chunk chunk;
};

PyObject* chunk_class = nullptr;

const Chunk& core(PyObject* self) { return reinterpret_cast<ChunkObject*>(self)->chunk; }

PyObject* new_chunk(PyObject* type, Chunk&& chunk) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* obj = alloc(tp, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<ChunkObject*>(obj)->chunk) Chunk(std::move(chunk));
  return obj;
}

void chunk_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<ChunkObject*>(self)->chunk.~Chunk();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);  // instances of heap types own a reference to their type
}

PyObject* get_text(PyObject* self, void*) { return py::new_str(core(self).text); }

PyObject* get_heading_path(PyObject* self, void*) {
  const auto& path = core(self).heading_path;
  py::Ref list(PyList_New(static_cast<Py_ssize_t>(path.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < path.size(); ++i) {
    PyObject* item = py::new_str(*path[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* get_byte_start(PyObject* self, void*) { return PyLong_FromSize_t(core(self).byte_start); }
PyObject* get_byte_end(PyObject* self, void*) { return PyLong_FromSize_t(core(self).byte_end); }
PyObject* get_line_start(PyObject* self, void*) { return PyLong_FromUnsignedLong(core(self).line_start); }
PyObject* get_line_end(PyObject* self, void*) { return PyLong_FromUnsignedLong(core(self).line_end); }

PyGetSetDef chunk_getset[] = {
    {"text", get_text, nullptr, nullptr, nullptr},
    {"heading_path", get_heading_path, nullptr, nullptr, nullptr},
    {"byte_start", get_byte_start, nullptr, nullptr, nullptr},
    {"byte_end", get_byte_end, nullptr, nullptr, nullptr},
    {"line_start", get_line_start, nullptr, nullptr, nullptr},
    {"line_end", get_line_end, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* chunk_repr(PyObject* self) {
  const Chunk& c = core(self);
  std::string out = "Chunk(lines=";
  out += std::to_string(c.line_start);
  out += '-';
  out += std::to_string(c.line_end);
  out += ", heading_path=[";
  for (std::size_t i = 0; i < c.heading_path.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    append_escaped(out, *c.heading_path[i]);
    out += '"';
  }
  out += "], chars=";
  out += std::to_string(utf8::count_chars(c.text));
  out += ')';
  return py::new_str(out);
}

PyObject* chunk_richcompare(PyObject* self, PyObject* other, int op) {
  // Only == and != exist; ordering falls back to Python's TypeError, and
  // comparing with anything else to identity.
  if ((op != Py_EQ && op != Py_NE) || chunk_class == nullptr ||
      !Py_IS_TYPE(self, reinterpret_cast<PyTypeObject*>(chunk_class)) ||
      !Py_IS_TYPE(other, reinterpret_cast<PyTypeObject*>(chunk_class)))
    Py_RETURN_NOTIMPLEMENTED;
  const bool equal = core(self) == core(other);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// No hash slot: with equality defined, the class gets `__hash__ = None` and
// its instances are unhashable.
PyType_Slot chunk_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A contiguous piece of a document, as produced by `chunk_text`.\n\n"
                    "`byte_start`/`byte_end` are UTF-8 byte offsets into the source text (not\n"
                    "Python string indices); `line_start`/`line_end` are 1-based and inclusive.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(chunk_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(chunk_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chunk_richcompare)},
    {Py_tp_getset, chunk_getset},
    {0, nullptr},
};

PyType_Spec chunk_spec = {
    "tessavine._core.Chunk",
    static_cast<int>(sizeof(ChunkObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    chunk_slots,
};

PyObject* py_chunk_text(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", "max_chars", "markdown", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* max_chars_obj = nullptr;
  PyObject* markdown_obj = nullptr;
  if (!py::parse_args("chunk_text", args, kwargs, keywords, 1,
                      {&text_obj, &max_chars_obj, &markdown_obj}))
    return nullptr;
  std::string_view text;
  if (!py::to_utf8(text_obj, "chunk_text", "text", text)) return nullptr;
  std::uint64_t max_chars = 1200;
  if (max_chars_obj != nullptr && !py::to_u64(max_chars_obj, "chunk_text", "max_chars", max_chars))
    return nullptr;
  bool markdown = true;
  if (markdown_obj != nullptr && !py::to_bool(markdown_obj, "chunk_text", "markdown", markdown))
    return nullptr;
  if (max_chars == 0) {
    PyErr_SetString(PyExc_ValueError, "max_chars must be positive");
    return nullptr;
  }
  PyObject* type = chunk_type();
  if (type == nullptr) return nullptr;

  // `text` points into the str's own UTF-8 buffer, which the caller's
  // reference keeps alive while the GIL is released.
  const ChunkOptions options{static_cast<std::size_t>(max_chars), markdown};
  std::vector<Chunk> chunks;
  try {
    chunks = py::without_gil([&] { return chunk_text(text, options); });
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }

  py::Ref list(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    PyObject* item = new_chunk(type, std::move(chunks[i]));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

PyMethodDef chunk_text_def = {
    "chunk_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_chunk_text)),
    METH_VARARGS | METH_KEYWORDS,
    "chunk_text(text, max_chars=1200, markdown=True)\n--\n\n"
    "Split `text` into chunks of at most `max_chars` characters, following\n"
    "Markdown headings and code fences when `markdown` is true."};

PyObject* chunk_type() { return py::cached_type(chunk_class, &chunk_spec); }

}  // namespace tessavine::chunking
