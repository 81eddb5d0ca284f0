// The functions of the extension module molvak._native. A boundary source
// in src/module defines each one's method-table entry,
//
//   namespace molvak::native {
//   PyMethodDef method_fk() { return MOLVAK_METHOD(_fk, fk_py, fk_docstring); }
//   }
//
// (the entry's name is "method" followed by the Python name, written on one
// line): CMakeLists.txt finds these lines and lists the functions in the
// module's table, and compiles every source of src/kernels/<name>/.
#pragma once

#include "module/pyutil.hpp"

#define MOLVAK_METHOD(python_name, function, docstring)                                  \
    PyMethodDef {                                                                        \
        #python_name, ::molvak::entry<function>(), METH_VARARGS | METH_KEYWORDS, docstring \
    }
