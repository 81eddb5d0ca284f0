// The tau-p transform as the module's functions use it.
#pragma once

#include "module/pyutil.hpp"

namespace molvak {

// Checks shared by the tau-p transform and the slant-stack estimator, in the
// order they are reported: dimensions, empty intercept times or slownesses,
// the moveout law, and one offset per trace. `time_name` names the intercept
// time argument in messages. Returns false with an exception set.
bool check_radon_arguments(const PyRef& data, const PyRef& offsets, const PyRef& time,
                           const PyRef& slowness, int moveout_type, const char* time_name,
                           const char* slowness_name);

PyObject* radon_transform_py(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace molvak
