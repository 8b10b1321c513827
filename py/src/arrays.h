// NumPy arrays at the module boundary: argument conversion to typed views
// (borrowed in place where the layout allows, copied otherwise) and uint8
// result arrays that take over a core buffer without copying it. Every
// function returns false (or null) with a Python error set on failure.
#pragma once

#include "numpy_api.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessavine::py {

// The text of the TypeError for an array that must be read in place but is
// strided or misaligned.
inline constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

// Checks that `obj` is a NumPy array (or subclass) with `ndim` dimensions and
// an element type equivalent to `type_num` (native byte order). Otherwise a
// TypeError naming the argument. `out` is borrowed from `obj`.
bool to_array(PyObject* obj, const char* func, const char* name, int ndim, int type_num,
              PyArrayObject*& out);

// Float32 values of a 1-D array, in order. Read in place when contiguous and
// aligned, otherwise copied; the view lives as long as this object and the array.
class F32Values {
 public:
  std::span<const float> values() const { return values_; }

 private:
  friend bool f32_values(PyArrayObject* array, F32Values& out);
  std::span<const float> values_;
  std::vector<float> copy_;
};

// Fills `out` from a 1-D float32 array (already checked by to_array).
bool f32_values(PyArrayObject* array, F32Values& out);

// In-place views of a 1-D array that must be contiguous and aligned (an empty
// array always is); otherwise TypeError kNotContiguous.
bool f32_view(PyArrayObject* array, std::span<const float>& out);
bool u8_view(PyArrayObject* array, std::span<const std::uint8_t>& out);

// The elements of a 2-D float32 array as one row-major run of rows × cols
// floats: the array's own memory when it is C-contiguous and aligned, else a
// copy made row by row.
class F32Rows {
 public:
  std::span<const float> values() const { return values_; }
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }

 private:
  friend bool f32_rows(PyArrayObject* array, F32Rows& out);
  std::span<const float> values_;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<float> copy_;
};

// Fills `out` from a 2-D float32 array (already checked by to_array).
bool f32_rows(PyArrayObject* array, F32Rows& out);

// A writeable C-ordered uint8 array of the given shape over `bytes`, which must
// hold exactly the product of the shape. The buffer moves into a small holder
// object that becomes the array's base, so it is freed with the array.
PyObject* new_u8_array(std::vector<std::uint8_t> bytes, std::span<const npy_intp> shape);

}  // namespace tessavine::py
