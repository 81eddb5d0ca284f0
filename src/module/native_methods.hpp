// The functions of the extension module molvak._native. Each one is
// registered by one line in CMakeLists.txt,
//
//   molvak_native_function(NAME _fk BOUNDARY src/module/fk.cpp
//                          KERNELS src/kernels/fk/fk.cpp LANES src/kernels/fk/fk_lanes.cpp)
//
// and its boundary source defines its method-table entry:
//
//   namespace molvak::native {
//   PyMethodDef method_fk() { return MOLVAK_METHOD(_fk, fk_py, fk_docstring); }
//   }
//
// (the entry's name is "method" followed by the Python name).
#pragma once

#include "module/pyutil.hpp"

#define MOLVAK_METHOD(python_name, function, docstring)                                  \
    PyMethodDef {                                                                        \
        #python_name, ::molvak::entry<function>(), METH_VARARGS | METH_KEYWORDS, docstring \
    }
