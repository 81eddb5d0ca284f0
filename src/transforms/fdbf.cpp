#include "transforms/fdbf.hpp"

namespace molvak {
PyObject* FDBF_py(PyObject*, PyObject*, PyObject*) {
    return set_error(PyExc_NotImplementedError, "_FDBF is not built yet");
}
}  // namespace molvak
