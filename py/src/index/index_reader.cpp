#include "index/index_reader.h"

#include <optional>

#include "arrays.h"
#include "boxed.h"
#include "call.h"
#include "index/chunk_record.h"
#include "index/hit.h"
#include "index/reader.h"

namespace tessavine::py {
namespace {

// The reader is never modified after it is opened, so calls on one object
// from several threads need no lock: each search only reads it. The object
// cannot go away during a call, since the call holds a reference to it.
const IndexReader& reader_of(PyObject* self) { return unbox<IndexReader>(self); }

// [(id, score), ...] in the given order; scores widen exactly to doubles.
PyObject* new_scored_list(const std::vector<Scored>& hits) {
  return new_list(hits.size(), [&](std::size_t i) -> PyObject* {
    Ref id(PyLong_FromUnsignedLong(hits[i].id));
    Ref score(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
    if (!id || !score) return nullptr;
    return PyTuple_Pack(2, id.get(), score.get());
  });
}

PyObject* new_hit_list(const std::vector<Hit>& hits) {
  return new_list(hits.size(), [&](std::size_t i) { return new_hit(hits[i]); });
}

PyObject* reader_open(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"root", "mmap", nullptr};
  PyObject* root_obj = nullptr;
  PyObject* mmap_obj = Py_True;
  if (!parse_args("open", args, kwargs, keywords, 1, {&root_obj, &mmap_obj})) return nullptr;
  std::filesystem::path root;
  if (!to_path(root_obj, "open", "root", root)) return nullptr;
  bool mmap = true;
  if (!to_bool(mmap_obj, "open", "mmap", mmap)) return nullptr;
  PyObject* type = index_reader_type();
  if (type == nullptr) return nullptr;
  auto reader = call_without_gil([&] { return IndexReader::open(root, mmap); });
  if (!reader) return nullptr;
  return box(type, std::move(*reader));
}

PyObject* reader_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", "vector", "k", "depth", "candidates", "rrf_k",
                                         "phrase_boost", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* vector_obj = Py_None;
  PyObject* k_obj = nullptr;
  PyObject* depth_obj = nullptr;
  PyObject* candidates_obj = nullptr;
  PyObject* rrf_k_obj = nullptr;
  PyObject* boost_obj = nullptr;
  if (!parse_args("search", args, kwargs, keywords, 1,
                  {&text_obj, &vector_obj, &k_obj, &depth_obj, &candidates_obj, &rrf_k_obj, &boost_obj}))
    return nullptr;
  std::string_view text;
  if (!to_utf8(text_obj, "search", "text", text)) return nullptr;
  PyArrayObject* array = nullptr;
  if (vector_obj != Py_None && !to_array(vector_obj, "search", "vector", 1, NPY_FLOAT32, array)) return nullptr;
  SearchParams params;
  if ((k_obj && !to_u64(k_obj, "search", "k", params.k)) ||
      (depth_obj && !to_u64(depth_obj, "search", "depth", params.depth)) ||
      (candidates_obj && !to_u64(candidates_obj, "search", "candidates", params.candidates)) ||
      (rrf_k_obj && !to_f32(rrf_k_obj, "search", "rrf_k", params.rrf_k)) ||
      (boost_obj && !to_f32(boost_obj, "search", "phrase_boost", params.phrase_boost)))
    return nullptr;
  // An empty array is a vector of length 0, which the search refuses as it
  // refuses any other length; only None means "no vector".
  std::optional<std::span<const float>> vector;
  if (array != nullptr) {
    std::span<const float> values;
    if (!f32_view(array, values)) return nullptr;
    vector = values;
  }
  const IndexReader& reader = reader_of(self);
  const auto hits = call_without_gil([&] { return reader.search(text, vector, params); });
  if (!hits) return nullptr;
  return new_hit_list(*hits);
}

PyObject* reader_search_vector(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"vector", "k", "candidates", "mode", nullptr};
  PyObject* vector_obj = nullptr;
  PyObject* k_obj = nullptr;
  PyObject* candidates_obj = nullptr;
  PyObject* mode_obj = nullptr;
  if (!parse_args("search_vector", args, kwargs, keywords, 2, {&vector_obj, &k_obj, &candidates_obj, &mode_obj}))
    return nullptr;
  PyArrayObject* array = nullptr;
  if (!to_array(vector_obj, "search_vector", "vector", 1, NPY_FLOAT32, array)) return nullptr;
  std::uint64_t k = 0;
  std::uint64_t candidates = 200;
  std::string_view mode_text = "ternary+int8";
  if (!to_u64(k_obj, "search_vector", "k", k) ||
      (candidates_obj && !to_u64(candidates_obj, "search_vector", "candidates", candidates)) ||
      (mode_obj && !to_utf8(mode_obj, "search_vector", "mode", mode_text)))
    return nullptr;
  // The mode is known to be valid before the array's layout is looked at.
  const auto mode = call([&] { return VectorMode::from_str(mode_text); });
  if (!mode) return nullptr;
  std::span<const float> vector;
  if (!f32_view(array, vector)) return nullptr;
  const IndexReader& reader = reader_of(self);
  const auto found = call_without_gil([&] { return reader.search_vector_with(vector, k, candidates, *mode); });
  if (!found) return nullptr;
  return new_scored_list(*found);
}

PyObject* reader_search_bm25(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", "k", nullptr};
  PyObject* text_obj = nullptr;
  PyObject* k_obj = nullptr;
  if (!parse_args("search_bm25", args, kwargs, keywords, 2, {&text_obj, &k_obj})) return nullptr;
  std::string_view text;
  if (!to_utf8(text_obj, "search_bm25", "text", text)) return nullptr;
  std::uint64_t k = 0;
  if (!to_u64(k_obj, "search_bm25", "k", k)) return nullptr;
  const IndexReader& reader = reader_of(self);
  const auto hits = call_without_gil([&] { return reader.search_bm25(text, k); });
  if (!hits) return nullptr;
  return new_scored_list(*hits);
}

PyObject* reader_chunk(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"id", nullptr};
  PyObject* id_obj = nullptr;
  if (!parse_args("chunk", args, kwargs, keywords, 1, {&id_obj})) return nullptr;
  std::uint32_t id = 0;
  if (!to_u32(id_obj, "chunk", "id", id)) return nullptr;
  auto record = call([&] { return reader_of(self).chunk(id); });
  if (!record) return nullptr;
  return new_chunk_record(std::move(*record));
}

PyObject* get_manifest(PyObject* self, void*) {
  const auto text = call([&] { return reader_of(self).manifest().to_json(); });
  if (!text) return nullptr;
  Ref text_obj(new_str(*text));
  if (!text_obj) return nullptr;
  return call_stdlib("json", "loads", text_obj.get());
}

PyObject* get_dir(PyObject* self, void*) { return new_path(reader_of(self).dir()); }

PyObject* get_has_vectors(PyObject* self, void*) {
  return PyBool_FromLong(reader_of(self).has_vectors());
}

Py_ssize_t reader_len(PyObject* self) { return static_cast<Py_ssize_t>(reader_of(self).size()); }

PyMethodDef methods[] = {
    method_def("open", reader_open, "open(root, mmap=True)\n--\n\nOpen the live generation under `root`.",
               METH_STATIC),
    method_def("search", reader_search,
               "search($self, text, vector=None, k=10, depth=50, candidates=200, rrf_k=60.0, phrase_boost=...)\n"
               "--\n\n"
               "Hybrid search: BM25 over `text`, plus vector search when `vector`\n"
               "(float32, shape `(dim,)`) is given, fused with reciprocal rank fusion,\n"
               "then adjusted for quoted phrases and in-order terms (`phrase_boost`)."),
    method_def("search_bm25", reader_search_bm25,
               "search_bm25($self, text, k)\n--\n\nKeyword search only: the `k` best `(id, bm25_score)` pairs."),
    method_def("search_vector", reader_search_vector,
               "search_vector($self, vector, k, candidates=200, mode=\"ternary+int8\")\n--\n\n"
               "Vector search only: the `k` best `(id, cosine)` pairs. `mode` is one of\n"
               "`VECTOR_MODES`; the default is what hybrid search uses."),
    method_def("chunk", reader_chunk, "chunk($self, id)\n--\n\nThe stored chunk with this id."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"manifest", get_manifest, nullptr,
     "The generation's manifest as a dict (parsed from `manifest.json`).", nullptr},
    {"dir", get_dir, nullptr, "Directory of the opened generation.", nullptr},
    {"has_vectors", get_has_vectors, nullptr,
     "Whether the index stores embeddings (false for keyword-only indexes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A read-only view of the live index generation under a root directory.\n\n"
                                  "The files are memory-mapped by default. Re-open to see newer commits.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<IndexReader>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_sq_length, reinterpret_cast<void*>(reader_len)},
    {0, nullptr},
};

BoxedClass<IndexReader> reader_class("tessavine._core.IndexReader", Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);

}  // namespace

PyObject* index_reader_type() { return reader_class.type(); }

}  // namespace tessavine::py
