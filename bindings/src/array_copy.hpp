// Copies of the array arguments into buffers owned by the call.
//
// Each array is copied the moment it passes its check, before any Python code
// (an __index__ or __float__ hook of a later argument) can run and resize,
// reshape or re-view it: the copy reads exactly the array that was checked.
// A copy that fails (a row shorter than two columns) keeps its failure and
// raises it only when the call reaches that argument's copy step, so the order
// of errors stays that of the arguments. Every element is read at its own
// address in logical row-major order, whatever the strides (negative, zero,
// unaligned); nothing is written to the arrays. Cost: one pass over each.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "matrices.hpp"

namespace tallow::bindings {

// The rows of a 2-D array as pairs of its first two columns, or the deferred
// failure of an array whose rows have fewer than two columns.
template <class Element>
class RowPairs {
 public:
  using Pair = std::array<Element, 2>;

  RowPairs() = default;
  explicit RowPairs(std::vector<Pair> pairs) : pairs_(std::move(pairs)) {}
  static RowPairs too_narrow(std::size_t width) {
    RowPairs copy;
    copy.narrow_width_ = width;
    return copy;
  }

  // The pairs, or the fatal index error of the first missing column.
  std::vector<Pair> take();

  // For checks made before take(): the pairs, and the number of columns of
  // an array whose rows are too narrow to give any (nothing otherwise).
  const std::vector<Pair>& pairs() const { return pairs_; }
  std::optional<std::size_t> narrow_width() const { return narrow_width_; }

 private:
  std::vector<Pair> pairs_;
  std::optional<std::size_t> narrow_width_;
};

// Columns beyond the second are ignored; an array without rows gives no pairs
// whatever its width.
RowPairs<std::uint32_t> copy_edges(PyObject* edges);
RowPairs<double> copy_init(PyObject* init);

// The values of a 1-D array of 8-byte or 1-byte elements, in index order.
std::vector<double> copy_doubles(PyObject* values);
std::vector<std::uint8_t> copy_bytes(PyObject* values);

}  // namespace tallow::bindings
