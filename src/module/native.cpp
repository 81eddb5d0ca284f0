// The extension module molvak._native: the package's native functions beyond
// the five of _molvak, registered in CMakeLists.txt (native_methods.hpp).
#define MOLVAK_IMPORTS_NUMPY
#include "module/native_methods.hpp"

#include "fft/fft.hpp"
#include "sweep/sweep.hpp"

namespace molvak::native {

// The entries, declared and listed from the registry CMake writes.
#define MOLVAK_NATIVE_METHOD(name) PyMethodDef method##name();
#include "native_methods.inc"
#undef MOLVAK_NATIVE_METHOD

namespace {

PyMethodDef methods[] = {
#define MOLVAK_NATIVE_METHOD(name) method##name(),
#include "native_methods.inc"
#undef MOLVAK_NATIVE_METHOD
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "molvak._native",
    "Native estimators of molvak (internal: use the functions of the molvak package).",
    -1,  // single-phase initialisation: the only state is PyArray_API
    methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace molvak::native

PyMODINIT_FUNC PyInit__native(void) {
    PyObject* module = PyModule_Create2(&molvak::native::definition, PYTHON_API_VERSION);
    if (!module) return nullptr;
    // the bins the slant-stack sweep forms per pass over a trace: the
    // package splits its work into whole passes
    if (PyModule_AddIntConstant(module, "SLANT_BINS", static_cast<long>(molvak::sweep::kSlantBins)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    molvak::fft::make_planning_thread_safe();
    if (_import_array() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
