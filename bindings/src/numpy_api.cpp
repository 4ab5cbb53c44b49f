#include "numpy_api.hpp"

#include <string>

#include "fatal.hpp"
#include "internal_error.hpp"

namespace tallow::bindings {
namespace {

// Slots of NumPy's C-API table (numpy/__multiarray_api.h), unchanged from 1.x to 2.x.
constexpr std::size_t array_type_slot = 2;        // PyArray_Type
constexpr std::size_t bool_scalar_type_slot = 8;  // PyBoolArrType_Type (numpy.bool_)
constexpr std::size_t descr_from_type_slot = 45;  // PyArray_DescrFromType
constexpr std::size_t equiv_types_slot = 182;     // PyArray_EquivTypes
constexpr std::size_t zeros_slot = 183;           // PyArray_Zeros

using DescrFromType = PyObject* (*)(int type_number);
using EquivTypes = unsigned char (*)(PyObject* first, PyObject* second);
using Zeros = PyObject* (*)(int ndim, const npy_intp* shape, PyObject* descr, int fortran);

// The public head of NumPy's array object, identical in NumPy 1.x and 2.x.
struct ArrayObject {
  PyObject ob_base;
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

// Set once the capsule has been read; the table lives as long as NumPy, which
// is never unloaded. Written only with the interpreter lock held.
void** api_table = nullptr;

// "Type: text" of the pending exception, which is cleared.
std::string describe_pending_error() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  const PyRef type = PyRef::steal(raw_type);
  const PyRef value = PyRef::steal(raw_value);
  const PyRef traceback = PyRef::steal(raw_traceback);
  PyRef text = PyRef::steal(
      type && value ? PyUnicode_FromFormat("%s: %S", PyExceptionClass_Name(type.get()), value.get())
                    : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "no description available";
  }
  return utf8;
}

[[noreturn]] void capsule_failure(const std::string& reason) {
  tallow::fatal("Failed to access NumPy array API capsule: " + reason);
}

// The major version at the start of numpy.__version__ ("1.26.4" -> 1).
long numpy_major_version() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    capsule_failure("importing numpy failed (" + describe_pending_error() + ")");
  }
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  numpy = PyRef();
  if (!version) {
    capsule_failure("reading numpy.__version__ failed (" + describe_pending_error() + ")");
  }
  const char* text =
      PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8AndSize(version.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    capsule_failure("numpy.__version__ is not a string");
  }
  long major = 0;
  const char* digit = text;
  for (; *digit >= '0' && *digit <= '9' && major < 1000; ++digit) {
    major = major * 10 + (*digit - '0');
  }
  if (digit == text) {
    capsule_failure("numpy.__version__ '" + std::string(text) +
                    "' does not start with a major version number");
  }
  return major;
}

void** load_api_table() {
  // NumPy 2 moved the core package to numpy._core; numpy.core remains only as
  // a shim that warns, so each generation is asked under its own name.
  const char* const module_name =
      numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name));
  if (!multiarray) {
    capsule_failure(std::string("importing ") + module_name + " failed (" +
                    describe_pending_error() + ")");
  }
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  multiarray = PyRef();
  if (!capsule) {
    capsule_failure(std::string("reading ") + module_name + "._ARRAY_API failed (" +
                    describe_pending_error() + ")");
  }
  if (!PyCapsule_CheckExact(capsule.get())) {
    capsule_failure(std::string(module_name) + "._ARRAY_API is not a capsule");
  }
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) {
    capsule_failure("reading the capsule's pointer failed (" + describe_pending_error() + ")");
  }
  return static_cast<void**>(table);
}

void** api() {
  if (api_table == nullptr) {
    api_table = load_api_table();
  }
  return api_table;
}

template <class Function>
Function api_function(std::size_t slot) {
  return reinterpret_cast<Function>(api()[slot]);
}

const ArrayObject* as_array(PyObject* array) noexcept {
  return reinterpret_cast<const ArrayObject*>(array);
}

}  // namespace

bool is_array_of(PyObject* object, int ndim, int type_number) {
  auto* const array_type = static_cast<PyTypeObject*>(api()[array_type_slot]);
  if (!PyObject_TypeCheck(object, array_type) || as_array(object)->nd != ndim) {
    return false;
  }
  PyRef wanted = PyRef::steal(api_function<DescrFromType>(descr_from_type_slot)(type_number));
  if (!wanted) {
    throw_pending_error();
  }
  return api_function<EquivTypes>(equiv_types_slot)(as_array(object)->descr, wanted.get()) != 0;
}

bool is_numpy_bool(PyObject* object) {
  auto* const bool_type = static_cast<PyTypeObject*>(api()[bool_scalar_type_slot]);
  return PyObject_TypeCheck(object, bool_type) != 0;
}

ArrayView view_of(PyObject* array) noexcept {
  const ArrayObject* fields = as_array(array);
  return ArrayView{fields->data, fields->nd, fields->dimensions, fields->strides};
}

PyRef new_positions_array(npy_intp rows, double*& data) {
  const npy_intp shape[2] = {rows, 2};
  // PyArray_Zeros steals the descriptor, also when it fails.
  PyObject* descr = api_function<DescrFromType>(descr_from_type_slot)(npy_float64);
  if (descr == nullptr) {
    return PyRef();
  }
  PyRef result = PyRef::steal(api_function<Zeros>(zeros_slot)(2, shape, descr, /*fortran=*/0));
  data = result ? reinterpret_cast<double*>(as_array(result.get())->data) : nullptr;
  return result;
}

}  // namespace tallow::bindings
