// NumPy, reached without its headers.
//
// The module does not import NumPy at initialisation. The first array check of
// a call loads NumPy's C-API table from the `_ARRAY_API` capsule (as NumPy's own
// import_array() does) and keeps it for the life of the process; if that fails
// the call ends with a fatal internal error and the next call tries again.
//
// The few table slots and the public array-object layout used here are the
// same in NumPy 1.x and 2.x, so one build serves both.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "py_ref.hpp"

namespace tallow::bindings {

using npy_intp = Py_ssize_t;

// Element type numbers of NumPy's C API.
inline constexpr int npy_uint32 = 6;    // NPY_UINT
inline constexpr int npy_float64 = 12;  // NPY_DOUBLE
inline constexpr int npy_bool = 0;      // NPY_BOOL

// What the module reads of an array: where its elements are and how to step
// between them. Strides are in bytes and may be zero, negative, or not a
// multiple of the element size.
struct ArrayView {
  const char* data;
  int ndim;
  const npy_intp* shape;
  const npy_intp* strides;
};

// True when `object` is a NumPy array (or subclass) of `ndim` dimensions whose
// element type NumPy finds equivalent to `type_number`. Loads the table first.
bool is_array_of(PyObject* object, int ndim, int type_number);

// True when `object` is a NumPy bool scalar (numpy.bool_). Loads the table first.
bool is_numpy_bool(PyObject* object);

// The view of an object that passed is_array_of().
ArrayView view_of(PyObject* array) noexcept;

// The element at byte offset `offset` from `base`, read without assuming
// alignment (a strided view need not be aligned).
template <class T>
T read_element(const char* base, npy_intp offset) noexcept {
  T value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}

// A new zero-filled C-ordered float64 array of shape (rows, 2), or null with a
// Python error set. `data` receives its element buffer.
PyRef new_positions_array(npy_intp rows, double*& data);

}  // namespace tallow::bindings
