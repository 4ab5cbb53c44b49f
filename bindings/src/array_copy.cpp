#include "array_copy.hpp"

#include <cstring>

#include "fatal.hpp"
#include "huge_pages.hpp"
#include "numpy_api.hpp"

namespace tallow::bindings {
namespace {

constexpr std::size_t row_axis = 0;
constexpr std::size_t column_axis = 1;

template <class Element>
RowPairs<Element> copy_pairs(const ArrayView& view) {
  const npy_intp rows = view.shape[row_axis];
  const npy_intp columns = view.shape[column_axis];
  if (rows == 0) {
    return RowPairs<Element>();
  }
  if (columns < 2) {
    return RowPairs<Element>::too_narrow(static_cast<std::size_t>(columns));
  }
  std::vector<typename RowPairs<Element>::Pair> pairs;
  // Written once, below, not zeroed first.
  tallow::reserve_in_huge_pages(pairs, static_cast<std::size_t>(rows));
  const npy_intp row_stride = view.strides[row_axis];
  const npy_intp column_stride = view.strides[column_axis];
  for (npy_intp r = 0; r < rows; ++r) {
    const npy_intp first = r * row_stride;
    pairs.push_back({read_element<Element>(view.data, first),
                     read_element<Element>(view.data, first + column_stride)});
  }
  return RowPairs<Element>(std::move(pairs));
}

// One block when the elements are adjacent, element by element otherwise.
template <class Element>
std::vector<Element> copy_values(const ArrayView& view) {
  const npy_intp count = view.shape[0];
  const npy_intp stride = view.strides[0];
  std::vector<Element> values(static_cast<std::size_t>(count));
  if (count == 0) {
    return values;
  }
  if (count < 2 || stride == static_cast<npy_intp>(sizeof(Element))) {
    std::memcpy(values.data(), view.data, values.size() * sizeof(Element));
    return values;
  }
  for (npy_intp i = 0; i < count; ++i) {
    values[static_cast<std::size_t>(i)] = read_element<Element>(view.data, i * stride);
  }
  return values;
}

}  // namespace

template <class Element>
std::vector<typename RowPairs<Element>::Pair> RowPairs<Element>::take() {
  if (narrow_width_) {
    tallow::index_out_of_bounds(/*len=*/*narrow_width_, /*index=*/*narrow_width_);
  }
  return std::move(pairs_);
}

template class RowPairs<std::uint32_t>;
template class RowPairs<double>;

RowPairs<std::uint32_t> copy_edges(PyObject* edges) {
  return copy_pairs<std::uint32_t>(view_of(edges));
}

RowPairs<double> copy_init(PyObject* init) { return copy_pairs<double>(view_of(init)); }

std::vector<double> copy_doubles(PyObject* values) { return copy_values<double>(view_of(values)); }

std::vector<std::uint8_t> copy_bytes(PyObject* values) {
  return copy_values<std::uint8_t>(view_of(values));
}

}  // namespace tallow::bindings
