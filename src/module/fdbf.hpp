#pragma once

#include "module/pyutil.hpp"

namespace molvak {
PyObject* FDBF_py(PyObject* self, PyObject* args, PyObject* kwargs);
}
