#include "arrays.h"

#include <cstring>
#include <string>

#include "boxed.h"
#include "call.h"

namespace tessavine::py {
namespace {

// str(dtype), e.g. "float64"; a placeholder when even that fails.
std::string dtype_name(PyArray_Descr* descr) {
  Ref text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "unknown";
  }
  return utf8;
}

void array_type_error(PyObject* obj, const char* func, const char* name, int ndim, int type_num) {
  PyArray_Descr* want = PyArray_DescrFromType(type_num);
  const std::string expected = "a " + std::to_string(ndim) + "-dimensional " +
                               (want != nullptr ? dtype_name(want) : "unknown") + " numpy.ndarray";
  if (want == nullptr) PyErr_Clear();
  Py_XDECREF(reinterpret_cast<PyObject*>(want));
  if (!PyArray_Check(obj)) {
    argument_type_error(func, name, expected.c_str(), obj);
    return;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not a %d-dimensional %s array", func, name,
               expected.c_str(), PyArray_NDIM(array), dtype_name(PyArray_DESCR(array)).c_str());
}

bool contiguous_and_aligned(PyArrayObject* array) {
  return (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) && PyArray_ISALIGNED(array);
}

// Allocation sized by the caller's array: a broadcast view can claim far more
// elements than exist, so a failed allocation is a MemoryError, not a crash.
template <class T>
bool allocate(std::vector<T>& buffer, std::size_t n) {
  return call([&] { buffer.resize(n); }).has_value();
}

// Copies `count` floats spaced `stride` bytes apart; memcpy because a strided
// view may be misaligned.
void gather_f32(const char* src, npy_intp stride, std::size_t count, float* dst) {
  if (stride == static_cast<npy_intp>(sizeof(float))) {
    std::memcpy(dst, src, count * sizeof(float));
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(dst + i, src + static_cast<npy_intp>(i) * stride, sizeof(float));
  }
}

using Bytes = std::vector<std::uint8_t>;

PyType_Slot byte_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<Bytes>)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory of an array returned by tessavine.")},
    {0, nullptr},
};

// The base object of result arrays: owns the bytes the array points into.
BoxedClass<Bytes> byte_buffer_class("tessavine._core._ByteBuffer", Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                    byte_buffer_slots);

}  // namespace

bool to_array(PyObject* obj, const char* func, const char* name, int ndim, int type_num,
              PyArrayObject*& out) {
  if (!PyArray_Check(obj)) {
    array_type_error(obj, func, name, ndim, type_num);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* want = PyArray_DescrFromType(type_num);
  if (want == nullptr) return false;
  const bool same_type = PyArray_NDIM(array) == ndim && PyArray_EquivTypes(PyArray_DESCR(array), want);
  Py_DECREF(reinterpret_cast<PyObject*>(want));
  if (!same_type) {
    array_type_error(obj, func, name, ndim, type_num);
    return false;
  }
  out = array;
  return true;
}

bool f32_values(PyArrayObject* array, F32Values& out) {
  const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  out.copy_.clear();
  if (n == 0) {
    out.values_ = {};
    return true;
  }
  if (contiguous_and_aligned(array)) {
    out.values_ = {static_cast<const float*>(PyArray_DATA(array)), n};
    return true;
  }
  if (!allocate(out.copy_, n)) return false;
  gather_f32(PyArray_BYTES(array), PyArray_STRIDE(array, 0), n, out.copy_.data());
  out.values_ = out.copy_;
  return true;
}

// A 1-D array's elements in place: empty arrays always, others only when
// contiguous and aligned.
template <class T>
bool contiguous_view(PyArrayObject* array, std::span<const T>& out) {
  const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  if (n == 0) {
    out = {};
    return true;
  }
  if (!contiguous_and_aligned(array)) {
    PyErr_SetString(PyExc_TypeError, kNotContiguous);
    return false;
  }
  out = {static_cast<const T*>(PyArray_DATA(array)), n};
  return true;
}

bool f32_view(PyArrayObject* array, std::span<const float>& out) { return contiguous_view(array, out); }

bool u8_view(PyArrayObject* array, std::span<const std::uint8_t>& out) {
  return contiguous_view(array, out);
}

bool f32_rows(PyArrayObject* array, F32Rows& out) {
  const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const auto cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  out.rows_ = rows;
  out.cols_ = cols;
  out.copy_.clear();
  // NumPy bounds rows × cols by the array's own size checks, so no overflow.
  const std::size_t total = rows * cols;
  if (total == 0) {
    out.values_ = {};
    return true;
  }
  if (PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array)) {
    out.values_ = {static_cast<const float*>(PyArray_DATA(array)), total};
    return true;
  }
  if (!allocate(out.copy_, total)) return false;
  const char* base = PyArray_BYTES(array);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  for (std::size_t r = 0; r < rows; ++r) {
    gather_f32(base + static_cast<npy_intp>(r) * row_stride, col_stride, cols, out.copy_.data() + r * cols);
  }
  out.values_ = out.copy_;
  return true;
}

PyObject* new_u8_array(std::vector<std::uint8_t> bytes, std::span<const npy_intp> shape) {
  // An empty vector may have no data pointer, and NumPy would then allocate
  // memory of its own instead of using the holder's.
  if (bytes.data() == nullptr && !call([&] { bytes.reserve(1); })) return nullptr;
  std::uint8_t* data = bytes.data();  // moving the vector keeps its buffer
  Ref holder(byte_buffer_class.make(std::move(bytes)));
  if (!holder) return nullptr;
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_UINT8);
  if (descr == nullptr) return nullptr;
  // Steals descr.
  Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(shape.size()),
                                 const_cast<npy_intp*>(shape.data()), nullptr, data, NPY_ARRAY_CARRAY,
                                 nullptr));
  if (!array) return nullptr;
  // Steals the holder, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace tessavine::py
