#pragma once

#include "module/pyutil.hpp"

namespace molvak {
PyObject* disp_slantstack_py(PyObject* self, PyObject* args, PyObject* kwargs);
}
