#include "node_options.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "conversion.hpp"
#include "internal_error.hpp"
#include "numpy_api.hpp"

namespace tallow::bindings {
namespace {

enum Option : std::size_t {
  mass_option,
  size_option,
  fixed_option,
  check_finite_option,
  tol_option,
  count,
};

// limits.MAX_NODE_MASS, the bound layout() puts on every node's mass.
constexpr double largest_mass = 1e10;

constexpr std::array<const char*, Option::count> option_names = {"mass", "size", "fixed",
                                                                 "check_finite", "tol"};

[[noreturn]] void throw_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw_pending_error();
}

void check_length(const char* name, std::size_t length, std::uint64_t n_nodes) {
  if (length != n_nodes) {
    throw_value_error(std::string("argument '") + name + "': expected one value per node (" +
                      std::to_string(n_nodes) + "), got " + std::to_string(length));
  }
}

// The first value that `valid` rejects, named with its node, as a ValueError.
template <class Valid>
void check_values(const char* name, const std::vector<double>& values, Valid valid,
                  const char* rule) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (valid(values[i])) {
      continue;
    }
    PyRef value = PyRef::steal(PyFloat_FromDouble(values[i]));
    if (value) {
      PyErr_Format(PyExc_ValueError, "argument '%s': %s; node %zu has %R", name, rule, i,
                   value.get());
    }
    throw_pending_error();
  }
}

std::optional<std::vector<double>> to_node_doubles(PyObject* value, const char* name,
                                                   std::uint64_t n_nodes) {
  if (value == nullptr || value == Py_None) {
    return std::nullopt;
  }
  check_array(value, name, 1, npy_float64);
  std::vector<double> values = copy_doubles(value);
  check_length(name, values.size(), n_nodes);
  return values;
}

std::optional<std::vector<std::uint8_t>> to_node_flags(PyObject* value, const char* name,
                                                       std::uint64_t n_nodes) {
  if (value == nullptr || value == Py_None) {
    return std::nullopt;
  }
  check_array(value, name, 1, npy_bool);
  std::vector<std::uint8_t> flags = copy_bytes(value);
  check_length(name, flags.size(), n_nodes);
  return flags;
}

// A bool or a NumPy bool (what comparisons of arrays give); not any object
// with a truth value, so that a misplaced argument is still an error.
bool to_flag(PyObject* value, const char* name) {
  if (value == nullptr) {
    return false;
  }
  if (PyBool_Check(value)) {
    return value == Py_True;
  }
  if (!is_numpy_bool(value)) {
    set_cannot_convert(value, "PyBool");
    throw_argument_error(name);
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    throw_pending_error();
  }
  return truth == 1;
}

// The interpreter's float conversion; a tolerance must be a number >= 0.
double to_tolerance(PyObject* value, const char* name) {
  if (value == nullptr) {
    return 0.0;
  }
  const double tolerance = PyFloat_AsDouble(value);
  if (tolerance == -1.0 && PyErr_Occurred()) {
    throw_argument_error(name);
  }
  if (!(tolerance >= 0.0)) {
    throw_value_error(std::string("argument '") + name + "': must be a number >= 0, not " +
                      std::to_string(tolerance));
  }
  return tolerance;
}

}  // namespace

const std::span<const char* const> node_option_names = option_names;

NodeOptions convert_node_options(BoundArguments& bound, std::size_t first, std::uint64_t n_nodes) {
  const auto option = [&](Option which) { return bound[first + which].get(); };
  NodeOptions options;
  options.mass = to_node_doubles(option(mass_option), option_names[mass_option], n_nodes);
  if (options.mass) {
    // Stored as float32: a mass must stay a positive float32 there, and no
    // larger than layout()'s bound, past which the repulsion of two such
    // nodes (scalingRatio * m_i * m_j / d) overflows float32 (all positions
    // NaN from masses of 1e15 on).
    constexpr double smallest = std::numeric_limits<float>::min();
    check_values(
        option_names[mass_option], *options.mass,
        [](double m) { return std::isnan(m) || (m >= smallest && m <= largest_mass); },
        "every mass must be a number from 1.2e-38 to 1e10, or NaN for the default");
  }
  options.size = to_node_doubles(option(size_option), option_names[size_option], n_nodes);
  if (options.size) {
    constexpr double largest = std::numeric_limits<float>::max();
    check_values(
        option_names[size_option], *options.size,
        [](double s) { return std::isnan(s) || (s >= 0.0 && s <= largest); },
        "every size must be a number from 0 to 3.4e38, or NaN for the default");
  }
  options.fixed = to_node_flags(option(fixed_option), option_names[fixed_option], n_nodes);
  options.check_finite =
      to_flag(option(check_finite_option), option_names[check_finite_option]);
  options.tol = to_tolerance(option(tol_option), option_names[tol_option]);
  return options;
}

}  // namespace tallow::bindings
