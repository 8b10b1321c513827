// The extension module tessavine._core: its definition, the exec step that
// fills it, and the free functions tokenize, quantize_binary and hamming.
#define TESSAVINE_NUMPY_IMPORT
#include "numpy_api.h"

#include <bit>
#include <cstring>

#include "arrays.h"
#include "call.h"
#include "chunking.h"
#include "errors.h"
#include "index/chunk_record.h"
#include "index/commit_info.h"
#include "index/hit.h"
#include "index/index_exists.h"
#include "index/index_reader.h"
#include "index/index_writer.h"
#include "formats/quant.h"
#include "text/tokenize.h"

namespace tessavine {
namespace {

constexpr const char* kVersion = "0.2.0";

PyObject* py_quantize_binary(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"vectors", nullptr};
  PyObject* vectors_obj = nullptr;
  if (!py::parse_args("quantize_binary", args, kwargs, keywords, 1, {&vectors_obj})) return nullptr;
  PyArrayObject* array = nullptr;
  if (!py::to_array(vectors_obj, "quantize_binary", "vectors", 2, NPY_FLOAT32, array)) return nullptr;
  py::F32Rows rows;
  if (!py::f32_rows(array, rows)) return nullptr;
  const std::size_t n = rows.rows();
  const std::size_t dim = rows.cols();
  if (dim != 0 && rows.values().size() != n * dim) {
    PyErr_SetString(PyExc_ValueError, "input must be convertible to a contiguous array");
    return nullptr;
  }
  const std::size_t row_bytes = code_bytes_for(dim);
  auto codes = py::call_without_gil([&] {
    std::vector<std::uint8_t> out(n * row_bytes);
    quantize_binary_rows(rows.values(), dim, out.data());
    return out;
  });
  if (!codes) return nullptr;
  const npy_intp shape[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(row_bytes)};
  return py::new_u8_array(std::move(*codes), shape);
}

PyMethodDef quantize_binary_def = py::method_def(
    "quantize_binary", py_quantize_binary,
    "quantize_binary(vectors)\n--\n\nQuantize a batch of float32 vectors, shape `(n, dim)`, to packed binary\n"
    "codes of shape `(n, ceil(dim / 8))`.");

// Differing bits of two equally long byte runs, eight bytes at a time.
std::uint64_t count_differing_bits(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  std::uint64_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= a.size(); i += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a.data() + i, 8);
    std::memcpy(&wb, b.data() + i, 8);
    count += static_cast<std::uint64_t>(std::popcount(wa ^ wb));
  }
  for (; i < a.size(); ++i) count += static_cast<std::uint64_t>(std::popcount(static_cast<unsigned>(a[i] ^ b[i])));
  return count;
}

PyObject* py_hamming(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"a", "b", nullptr};
  PyObject* a_obj = nullptr;
  PyObject* b_obj = nullptr;
  if (!py::parse_args("hamming", args, kwargs, keywords, 2, {&a_obj, &b_obj})) return nullptr;
  PyArrayObject* a_array = nullptr;
  PyArrayObject* b_array = nullptr;
  if (!py::to_array(a_obj, "hamming", "a", 1, NPY_UINT8, a_array) ||
      !py::to_array(b_obj, "hamming", "b", 1, NPY_UINT8, b_array))
    return nullptr;
  std::span<const std::uint8_t> a, b;
  if (!py::u8_view(a_array, a) || !py::u8_view(b_array, b)) return nullptr;
  if (a.size() != b.size()) {
    return PyErr_Format(PyExc_ValueError, "codes must have equal length, got %zu and %zu", a.size(), b.size());
  }
  return PyLong_FromUnsignedLongLong(count_differing_bits(a, b));
}

PyMethodDef hamming_def = py::method_def(
    "hamming", py_hamming, "hamming(a, b)\n--\n\nHamming distance between two packed binary codes of equal length.");

// Builds the result list directly from the core's terms.
class ListSink final : public TermSink {
 public:
  explicit ListSink(PyObject* list) : list_(list) {}
  void term(std::string_view t) override {
    if (failed_) return;
    py::Ref item(py::new_str(t));
    failed_ = !item || PyList_Append(list_, item.get()) < 0;
  }
  bool failed() const { return failed_; }

 private:
  PyObject* list_;
  bool failed_ = false;
};

PyObject* py_tokenize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"text", nullptr};
  PyObject* text_obj = nullptr;
  if (!py::parse_args("tokenize", args, kwargs, keywords, 1, {&text_obj})) return nullptr;
  std::string_view text;
  if (!py::to_utf8(text_obj, "tokenize", "text", text)) return nullptr;
  py::Ref list(PyList_New(0));
  if (!list) return nullptr;
  ListSink sink(list.get());
  if (!py::call([&] { tokenize(text, sink); }) || sink.failed()) return nullptr;
  return list.release();
}

PyMethodDef tokenize_def = py::method_def(
    "tokenize", py_tokenize,
    "tokenize(text)\n--\n\nSplit `text` into the terms BM25 indexes: lowercase, split on\n"
    "non-alphanumerics and at `camelCase` boundaries (plus the whole\n"
    "identifier), with stopwords and single letters dropped.");

// `type` is borrowed (a cached class object); null means its creation failed.
bool add_class(PyObject* module, const char* name, PyObject* type) {
  Py_XINCREF(type);
  return py::add_to_module(module, name, type);
}

bool add_function(PyObject* module, PyMethodDef* def) {
  py::Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return py::add_to_module(module, def->ml_name, PyCFunction_NewEx(def, nullptr, module_name.get()));
}

int init_numpy() {
  import_array1(-1);
  return 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "the exec step expects a module object");
    return -1;
  }
  if (init_numpy() < 0) return -1;
  if (!py::add_to_module(module, "__version__", PyUnicode_FromString(kVersion))) return -1;
  if (!py::add_to_module(module, "SCHEMA_VERSION", PyLong_FromUnsignedLong(kSchemaVersion))) return -1;
  const char* const modes[] = {"int8", "binary", "binary+int8", "ternary+int8"};
  if (!py::add_to_module(module, "VECTOR_MODES",
                         py::new_list(4, [&](std::size_t i) { return PyUnicode_FromString(modes[i]); })))
    return -1;

  // Functions, then classes, then exceptions, in the order of __all__.
  for (PyMethodDef* def :
       {&quantize_binary_def, &hamming_def, &tokenize_def, &py::chunk_text_def, &py::index_exists_def}) {
    if (!add_function(module, def)) return -1;
  }
  if (!add_class(module, "Chunk", py::chunk_type())) return -1;
  if (!add_class(module, "ChunkRecord", py::chunk_record_type())) return -1;
  if (!add_class(module, "Hit", py::hit_type())) return -1;
  if (!add_class(module, "CommitInfo", py::commit_info_type())) return -1;
  if (!add_class(module, "IndexWriter", py::index_writer_type())) return -1;
  if (!add_class(module, "IndexReader", py::index_reader_type())) return -1;
  if (!errors::register_classes(module)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The compiled extension module of tessavine.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessavine

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&tessavine::module_def); }
