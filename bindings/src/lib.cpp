// Placeholder module until the bindings are written.
#include <Python.h>

static PyModuleDef native_module = {PyModuleDef_HEAD_INIT, "_native", "", -1, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&native_module); }
