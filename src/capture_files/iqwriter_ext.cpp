// The iqwriter extension module (placeholder while the binding is written).
#include "core/sx_pyframe.h"
#include "capture_files/iqwriter_core.h"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "iqwriter", "Capture writer.", -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

PyMODINIT_FUNC PyInit_iqwriter(void) { return sx::py::make_module(&module_def, {}); }
