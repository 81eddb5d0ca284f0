#include "transforms/phase_shift.hpp"

namespace molvak {
PyObject* phase_shift_py(PyObject*, PyObject*, PyObject*) {
    return set_error(PyExc_NotImplementedError, "_phase_shift is not built yet");
}
}  // namespace molvak
