#include "index/index_writer.h"

#include <limits>
#include <new>
#include <optional>

#include "arrays.h"
#include "errors.h"
#include "index/boxed.h"
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

class ExclusiveUse {
 public:
  explicit ExclusiveUse(WriterState& state) : state_(state) {
    if (state_.uses != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    state_.uses = -1;
    held_ = true;
  }
  ~ExclusiveUse() {
    if (held_) state_.uses = 0;
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  bool held() const { return held_; }

 private:
  WriterState& state_;
  bool held_ = false;
};

class SharedUse {
 public:
  explicit SharedUse(WriterState& state) : state_(state) {
    if (state_.uses < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++state_.uses;
    held_ = true;
  }
  ~SharedUse() {
    if (held_) --state_.uses;
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  bool held() const { return held_; }

 private:
  WriterState& state_;
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
  Ref json_module(PyImport_ImportModule("json"));
  if (!json_module) return false;
  Ref text_obj(PyObject_CallMethod(json_module.get(), "dumps", "(O)", dict));
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
  try {
    out = nlohmann::json::parse(text, limit_depth);
  } catch (const nlohmann::json::exception& e) {
    error = json_text::decoder_message(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
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
  WriterOptions options;
  if (!to_u64(dim_obj, "IndexWriter", "dim", options.dim)) return nullptr;
  if (embedder_obj != Py_None) {
    std::string_view embedder;
    if (!to_utf8(embedder_obj, "IndexWriter", "embedder", embedder)) return nullptr;
    options.embedder = std::string(embedder);
  }
  if (metadata_obj != Py_None) {
    if (!PyDict_Check(metadata_obj)) {
      argument_type_error("IndexWriter", "metadata", "dict", metadata_obj);
      return nullptr;
    }
    if (!convert_metadata(metadata_obj, options.metadata)) return nullptr;
  }
  options.bm25 = Bm25Settings{1.2f, 0.75f};
  return box(reinterpret_cast<PyObject*>(type), WriterState{IndexWriter(std::move(options)), 0});
}

PyObject* writer_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  WriterState& state = unbox<WriterState>(self);
  ExclusiveUse use(state);
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
  std::optional<Result<std::uint32_t>> id;
  try {
    id.emplace(state.writer->add(*record, values));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!*id) return errors::to_py(std::move(*id).error());
  return PyLong_FromUnsignedLong(**id);
}

PyObject* writer_commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  WriterState& state = unbox<WriterState>(self);
  ExclusiveUse use(state);
  if (!use.held()) return nullptr;
  static const char* const keywords[] = {"root", nullptr};
  PyObject* root_obj = nullptr;
  if (!parse_args("commit", args, kwargs, keywords, 1, {&root_obj})) return nullptr;
  std::filesystem::path root;
  if (!to_path(root_obj, "commit", "root", root)) return nullptr;
  if (!state.writer) return already_committed();
  IndexWriter writer = std::move(*state.writer);
  state.writer.reset();
  // Running out of memory must not take the host process down: the commit
  // then fails like any other, and CURRENT still names the last generation.
  auto info = without_gil([&]() -> std::optional<Result<CommitInfo>> {
    try {
      return std::move(writer).commit(root);
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
  });
  if (!info) return PyErr_NoMemory();
  if (!*info) return errors::to_py(std::move(*info).error());
  return new_commit_info(std::move(**info));
}

Py_ssize_t writer_len(PyObject* self) {
  WriterState& state = unbox<WriterState>(self);
  SharedUse use(state);
  if (!use.held()) return -1;
  return state.writer ? static_cast<Py_ssize_t>(state.writer->size()) : 0;
}

PyMethodDef methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add)),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, record, embedding=None)\n--\n\n"
     "Add one chunk and return its id. `embedding` (float32, shape `(dim,)`)\n"
     "is required unless the index is keyword-only."},
    {"commit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_commit)),
     METH_VARARGS | METH_KEYWORDS,
     "commit($self, root)\n--\n\n"
     "Write the index under `root` as a new generation and make it live.\n"
     "Runs without holding the GIL."},
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

PyType_Spec type_spec = {
    "tessavine._core.IndexWriter",
    static_cast<int>(sizeof(Boxed<WriterState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* type_cache = nullptr;

}  // namespace

PyObject* index_writer_type() { return cached_type(type_cache, &type_spec); }

}  // namespace tessavine::py
