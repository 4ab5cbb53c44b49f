#include "array_copy.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fatal.hpp"
#include "numpy_api.hpp"

namespace tallow::bindings {
namespace {

constexpr std::size_t row_axis = 0;
constexpr std::size_t column_axis = 1;

// Rows of a 2-D array as pairs of its first two columns. An array without rows
// gives no pairs whatever its width; otherwise the first missing column of the
// first row is the failed access.
template <class Element>
std::vector<std::array<Element, 2>> copy_pairs(const ArrayView& view) {
  const npy_intp rows = view.shape[row_axis];
  const npy_intp columns = view.shape[column_axis];
  std::vector<std::array<Element, 2>> pairs;
  if (rows == 0) {
    return pairs;
  }
  if (columns < 2) {
    const auto width = static_cast<std::size_t>(columns);
    tallow::index_out_of_bounds(/*len=*/width, /*index=*/width);
  }
  pairs.resize(static_cast<std::size_t>(rows));
  const npy_intp row_stride = view.strides[row_axis];
  const npy_intp column_stride = view.strides[column_axis];
  for (npy_intp r = 0; r < rows; ++r) {
    const npy_intp first = r * row_stride;
    pairs[static_cast<std::size_t>(r)] = {read_element<Element>(view.data, first),
                                          read_element<Element>(view.data, first + column_stride)};
  }
  return pairs;
}

}  // namespace

std::vector<tallow::EdgePair> copy_edges(PyObject* edges) {
  return copy_pairs<std::uint32_t>(view_of(edges));
}

std::vector<tallow::Point> copy_init(PyObject* init) { return copy_pairs<double>(view_of(init)); }

std::vector<double> copy_weights(PyObject* weights) {
  const ArrayView view = view_of(weights);
  const npy_intp count = view.shape[0];
  const npy_intp stride = view.strides[0];
  std::vector<double> values(static_cast<std::size_t>(count));
  if (count == 0) {
    return values;
  }
  if (count < 2 || stride == static_cast<npy_intp>(sizeof(double))) {
    std::memcpy(values.data(), view.data, values.size() * sizeof(double));
    return values;
  }
  for (npy_intp i = 0; i < count; ++i) {
    values[static_cast<std::size_t>(i)] = read_element<double>(view.data, i * stride);
  }
  return values;
}

}  // namespace tallow::bindings
