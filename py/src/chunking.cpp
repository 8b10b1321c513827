#include "chunking.h"

#include <string>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "boxed.h"
#include "call.h"
#include "text/chunk.h"

namespace tessavine::py {
namespace {

const Chunk& core(PyObject* self) { return unbox<Chunk>(self); }

PyObject* get_text(PyObject* self, void*) { return new_str(core(self).text); }

PyObject* get_heading_path(PyObject* self, void*) {
  const auto& path = core(self).heading_path;
  return new_list(path.size(), [&](std::size_t i) { return new_str(*path[i]); });
}

PyObject* get_byte_start(PyObject* self, void*) { return PyLong_FromSize_t(core(self).byte_start); }
PyObject* get_byte_end(PyObject* self, void*) { return PyLong_FromSize_t(core(self).byte_end); }
PyObject* get_line_start(PyObject* self, void*) { return PyLong_FromUnsignedLong(core(self).line_start); }
PyObject* get_line_end(PyObject* self, void*) { return PyLong_FromUnsignedLong(core(self).line_end); }

PyGetSetDef getset[] = {
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
  const auto text = call([&] {
    return "Chunk(lines=" + std::to_string(c.line_start) + "-" + std::to_string(c.line_end) +
           ", heading_path=" + quoted_list(c.heading_texts()) +
           ", chars=" + std::to_string(utf8::count_chars(c.text)) + ")";
  });
  return text ? new_str(*text) : nullptr;
}

// Only == and != exist; ordering falls back to Python's TypeError, and
// comparing with anything else to identity. The interpreter calls this slot
// with a Chunk first.
PyObject* chunk_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong((op == Py_EQ) == (core(self) == core(other)));
}

// No hash slot: with equality defined, the class gets `__hash__ = None` and
// its instances are unhashable.
PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A contiguous piece of a document, as produced by `chunk_text`.\n\n"
                    "`byte_start`/`byte_end` are UTF-8 byte offsets into the source text (not\n"
                    "Python string indices); `line_start`/`line_end` are 1-based and inclusive.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<Chunk>)},
    {Py_tp_repr, reinterpret_cast<void*>(chunk_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chunk_richcompare)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// A Chunk instance owns one core chunk and no Python references, so it needs
// no garbage-collector support.
BoxedClass<Chunk> chunk_class("tessavine._core.Chunk", Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);

PyObject* py_chunk_text(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", "max_chars", "markdown", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* max_chars_obj = nullptr;
  PyObject* markdown_obj = nullptr;
  if (!parse_args("chunk_text", args, kwargs, keywords, 1, {&text_obj, &max_chars_obj, &markdown_obj}))
    return nullptr;
  std::string_view text;
  if (!to_utf8(text_obj, "chunk_text", "text", text)) return nullptr;
  std::uint64_t max_chars = 1200;
  if (max_chars_obj != nullptr && !to_u64(max_chars_obj, "chunk_text", "max_chars", max_chars)) return nullptr;
  bool markdown = true;
  if (markdown_obj != nullptr && !to_bool(markdown_obj, "chunk_text", "markdown", markdown)) return nullptr;
  if (max_chars == 0) {
    PyErr_SetString(PyExc_ValueError, "max_chars must be positive");
    return nullptr;
  }
  if (chunk_class.type() == nullptr) return nullptr;
  // `text` points into the str's own UTF-8 buffer, which the caller's
  // reference keeps alive while the GIL is released.
  const ChunkOptions options{static_cast<std::size_t>(max_chars), markdown};
  auto chunks = call_without_gil([&] { return chunk_text(text, options); });
  if (!chunks) return nullptr;
  return new_list(chunks->size(), [&](std::size_t i) { return chunk_class.make(std::move((*chunks)[i])); });
}

}  // namespace

PyMethodDef chunk_text_def = method_def(
    "chunk_text", py_chunk_text,
    "chunk_text(text, max_chars=1200, markdown=True)\n--\n\n"
    "Split `text` into chunks of at most `max_chars` characters, following\n"
    "Markdown headings and code fences when `markdown` is true.");

PyObject* chunk_type() { return chunk_class.type(); }

}  // namespace tessavine::py
