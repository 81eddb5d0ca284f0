#pragma once

#include "module/pyutil.hpp"

namespace molvak {
PyObject* phase_shift_py(PyObject* self, PyObject* args, PyObject* kwargs);
}
