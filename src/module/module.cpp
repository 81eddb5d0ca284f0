// The extension module "molvak", imported as _molvak.
#define MOLVAK_IMPORTS_NUMPY
#include "module/pyutil.hpp"

#include "fft/fft.hpp"
#include "module/docstrings.hpp"
#include "module/rfft.hpp"
#include "module/fdbf.hpp"
#include "module/phase_shift.hpp"
#include "module/radon.hpp"
#include "module/slantstack.hpp"

namespace {

using molvak::entry;

PyMethodDef methods[] = {
    {"_radon_transform", entry<molvak::radon_transform_py>(),
     METH_VARARGS | METH_KEYWORDS, molvak::docstring_radon_transform},
    {"_disp_slantstack", entry<molvak::disp_slantstack_py>(),
     METH_VARARGS | METH_KEYWORDS, molvak::docstring_disp_slantstack},
    {"_rfft", entry<molvak::rfft_py>(),
     METH_VARARGS | METH_KEYWORDS, molvak::docstring_rfft},
    {"_phase_shift", entry<molvak::phase_shift_py>(),
     METH_VARARGS | METH_KEYWORDS, molvak::docstring_phase_shift},
    {"_FDBF", entry<molvak::FDBF_py>(),
     METH_VARARGS | METH_KEYWORDS, molvak::FDBF_docstring},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "molvak",  // name
    nullptr,   // no module docstring
    -1,        // single-phase initialisation: the only state is PyArray_API
    methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__molvak(void) {
    PyObject* module = PyModule_Create2(&definition, 1013);
    if (!module) return nullptr;
    // NumPy's own import procedure: the module, its capsule, the ABI and
    // C-API feature versions and the byte order.
    // Planning takes FFTW's planner lock from the start, whoever else in
    // the process uses the library.
    molvak::fft::make_planning_thread_safe();
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
