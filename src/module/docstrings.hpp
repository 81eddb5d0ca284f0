#pragma once

namespace molvak {
extern const char docstring_radon_transform[];
extern const char docstring_disp_slantstack[];
extern const char docstring_rfft[];
extern const char docstring_phase_shift[];
extern const char FDBF_docstring[];
}  // namespace molvak
