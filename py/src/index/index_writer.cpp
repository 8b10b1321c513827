#include "index/index_writer.h"

#include <optional>

#include "arrays.h"
#include "boxed.h"
#include "call.h"
#include "index/chunk_record.h"
#include "index/commit_info.h"
#include "index/writer.h"
#include "base/json_text.h"

namespace tessavine::py {
namespace {

struct WriterState {
  std::optional<IndexWriter> writer;  // empty once committed
  // Calls using the object: > 0 shared (len), -1 exclusive (add, commit).
  // Only touched with the interpreter lock held; a commit keeps its
  // exclusive use while the lock is released, so a call from another thread
  // meanwhile is refused at once instead of waiting.
  int uses = 0;
};

// One call's use of a writer object: exclusive for add and commit, shared
// for len. A use that conflicts with a call in progress is refused at once.
class Use {
 public:
  Use(WriterState& state, bool exclusive) : state_(state), exclusive_(exclusive) {
    if (exclusive ? state.uses != 0 : state.uses < 0) {
      PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
      return;
    }
    state.uses = exclusive ? -1 : state.uses + 1;
    held_ = true;
  }
  ~Use() {
    if (held_) state_.uses = exclusive_ ? 0 : state_.uses - 1;
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  bool held() const { return held_; }

 private:
  WriterState& state_;
  bool exclusive_;
  bool held_ = false;
};

PyObject* already_committed() {
  PyErr_SetString(PyExc_RuntimeError, "this IndexWriter was already committed");
  return nullptr;
}

// The metadata dict as the host's own json module writes it, parsed into a
// JSON object. Nesting is limited as the manifest limits it (the metadata
// sits one level below the manifest's root), so that a writer never collects
// chunks only to fail when its manifest is written.
bool convert_metadata(PyObject* dict, nlohmann::json& out) {
  Ref text_obj(call_stdlib("json", "dumps", dict));
  if (!text_obj) return false;
  std::string_view text;
  if (!PyUnicode_Check(text_obj.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return a str");
    return false;
  }
  if (!to_utf8(text_obj.get(), "IndexWriter", "metadata", text)) return false;
  bool too_deep = false;
  const auto limit_depth = [&too_deep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                       event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth + 1 >= kManifestMaxDepth) too_deep = true;
    return !too_deep;
  };
  std::string error;
  const bool parsed = call([&] {
    try {
      out = nlohmann::json::parse(text, limit_depth);
    } catch (const nlohmann::json::exception& e) {
      error = json_text::decoder_message(e.what());
    }
  }).has_value();
  if (!parsed) return false;
  if (too_deep) error = "recursion limit exceeded";
  if (error.empty() && !out.is_object()) error = "expected a JSON object";
  if (!error.empty()) {
    PyErr_SetString(PyExc_ValueError, ("metadata: " + error).c_str());
    return false;
  }
  return true;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"dim", "embedder", "metadata", nullptr};
  PyObject* dim_obj = nullptr;
  PyObject* embedder_obj = Py_None;
  PyObject* metadata_obj = Py_None;
  if (!parse_args("IndexWriter", args, kwargs, keywords, 1, {&dim_obj, &embedder_obj, &metadata_obj}))
    return nullptr;
  std::uint64_t dim = 0;
  if (!to_u64(dim_obj, "IndexWriter", "dim", dim)) return nullptr;
  std::optional<std::string_view> embedder;
  if (embedder_obj != Py_None && !to_utf8(embedder_obj, "IndexWriter", "embedder", embedder.emplace()))
    return nullptr;
  nlohmann::json metadata;  // null: none given
  if (metadata_obj != Py_None) {
    if (!PyDict_Check(metadata_obj)) {
      argument_type_error("IndexWriter", "metadata", "dict", metadata_obj);
      return nullptr;
    }
    if (!convert_metadata(metadata_obj, metadata)) return nullptr;
  }
  auto state = call([&] {
    WriterOptions options;
    options.dim = dim;
    if (embedder) options.embedder = std::string(*embedder);
    if (!metadata.is_null()) options.metadata = std::move(metadata);
    options.bm25 = Bm25Settings{1.2f, 0.75f};
    return WriterState{IndexWriter(std::move(options)), 0};
  });
  if (!state) return nullptr;
  return box(reinterpret_cast<PyObject*>(type), std::move(*state));
}

PyObject* writer_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  WriterState& state = unbox<WriterState>(self);
  Use use(state, true);
  if (!use.held()) return nullptr;
  static const char* const keywords[] = {"record", "embedding", nullptr};
  PyObject* record_obj = nullptr;
  PyObject* embedding_obj = Py_None;
  if (!parse_args("add", args, kwargs, keywords, 1, {&record_obj, &embedding_obj})) return nullptr;
  const ChunkRecord* record = chunk_record_of(record_obj);
  if (record == nullptr) {
    argument_type_error("add", "record", "ChunkRecord", record_obj);
    return nullptr;
  }
  std::optional<F32Values> embedding;
  if (embedding_obj != Py_None) {
    PyArrayObject* array = nullptr;
    if (!to_array(embedding_obj, "add", "embedding", 1, NPY_FLOAT32, array)) return nullptr;
    if (!f32_values(array, embedding.emplace())) return nullptr;
  }
  if (!state.writer) return already_committed();
  std::optional<std::span<const float>> values;
  if (embedding) values = embedding->values();
  const auto id = call([&] { return state.writer->add(*record, values); });
  if (!id) return nullptr;
  return PyLong_FromUnsignedLong(*id);
}

PyObject* writer_commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  WriterState& state = unbox<WriterState>(self);
  Use use(state, true);
  if (!use.held()) return nullptr;
  static const char* const keywords[] = {"root", nullptr};
  PyObject* root_obj = nullptr;
  if (!parse_args("commit", args, kwargs, keywords, 1, {&root_obj})) return nullptr;
  std::filesystem::path root;
  if (!to_path(root_obj, "commit", "root", root)) return nullptr;
  if (!state.writer) return already_committed();
  IndexWriter writer = std::move(*state.writer);
  state.writer.reset();
  // Running out of memory fails the commit like any other failure: CURRENT
  // still names the last generation.
  auto info = call_without_gil([&] { return std::move(writer).commit(root); });
  if (!info) return nullptr;
  return new_commit_info(std::move(*info));
}

Py_ssize_t writer_len(PyObject* self) {
  WriterState& state = unbox<WriterState>(self);
  Use use(state, false);
  if (!use.held()) return -1;
  return state.writer ? static_cast<Py_ssize_t>(state.writer->size()) : 0;
}

PyMethodDef methods[] = {
    method_def("add", writer_add,
               "add($self, record, embedding=None)\n--\n\n"
               "Add one chunk and return its id. `embedding` (float32, shape `(dim,)`)\n"
               "is required unless the index is keyword-only."),
    method_def("commit", writer_commit,
               "commit($self, root)\n--\n\n"
               "Write the index under `root` as a new generation and make it live.\n"
               "Runs without holding the GIL."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("IndexWriter(dim, embedder=None, metadata=None)\n--\n\n"
                                  "Collects chunks in memory, then writes them as one index generation.\n\n"
                                  "A writer is single-use: after `commit` it is empty and further calls raise\n"
                                  "`RuntimeError`.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<WriterState>)},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(writer_len)},
    {0, nullptr},
};

BoxedClass<WriterState> writer_class("tessavine._core.IndexWriter", 0, slots);

}  // namespace

PyObject* index_writer_type() { return writer_class.type(); }

}  // namespace tessavine::py
