#include "module/docstrings.hpp"

namespace molvak {

const char docstring_radon_transform[] = R"(Perform the Tau-P (alternatively slant-stack or linear radon) transform.

The data are integrated over offset, with the trapezoid rule, along straight
lines whose slope is the slowness p and whose intercept is every time tau of
the time axis: each trace is read, by linear interpolation between its
samples, at the arrival time x * p + tau of its offset x. Parabolic
(x**2 * p + tau) and hyperbolic (sqrt((x * p)**2 + tau**2)) moveouts are
available through `moveout_type`.

Parameters
----------
data : NDArray[Shape["NX,NT"], Float]
    The gather: one row of NT time samples per trace.
offsets : NDArray[Shape["NX"], Float]
    Offset of each trace from the source.
slowness : NDArray[Shape["NP"], Float]
    The slowness values p (time per offset unit; per squared offset unit for
    the parabolic moveout).
dt : float
    Sampling interval of the gather.
t0 : float
    Time of the first sample of every trace.
t_eval : NDArray[Shape["NT"], Float], optional
    The time axis: the intercept times tau at which the transform is
    evaluated. By default the gather's own sample times t0 + k * dt.
moveout_type : int, optional
    0 linear (default), 1 parabolic, 2 hyperbolic moveout.

Returns
-------
transform : NDArray[Shape["NT,NP"], Float]
    The tau-p panel: one row per intercept time, one column per slowness.
)";

const char docstring_disp_slantstack[] = R"(Calculate the dispersion spectrum by performing the slant-stack based spectral estimator.

The gather is first taken to the intercept time - phase velocity domain by a
tau-p transform with linear moveout at the slownesses 1 / c of the phase
velocities, evaluated at the gather's own sample times; a Fourier transform
over the intercept-time axis then gives the dispersion spectrum.

References
----------
McMechan, G. A., & Yedlin, M. J. (1981). Analysis of dispersive waves by wave
field transformation. Geophysics, 46(6), 869-874.

Parameters
----------
data : NDArray[Shape["NX,NT"], Float]
    The gather: one row of NT time samples per trace.
offsets : NDArray[Shape["NX"], Float]
    Offset of each trace from the source.
time : NDArray[Shape["NT"], Float]
    The sample times of the gather; time[0] is the time of the first sample.
phase_vels : NDArray[Shape["NC"], Float]
    The trial phase velocities, in offset units per time unit.
dt : float
    Sampling interval of the gather.
f_range : list of two floats, optional
    None, or a list of a minimum and a maximum frequency; either may be None
    for an open limit. By default the whole band from 0 to the Nyquist
    frequency.
n : int, optional
    Length of the Fourier transform. Below the number of time samples it is
    raised to it; above it the time axis is padded with zeros, which
    interpolates the frequency axis without adding information.

Returns
-------
f : NDArray[Shape["NF"], Float]
    The frequencies of the band.
disp_spec : NDArray[Shape["NF,NC"], Complex]
    The dispersion spectrum: one row per frequency, one column per phase
    velocity.
)";

const char docstring_rfft[] = "Apply a FFT to an arbitrary size real-valued array over a specified axis";

const char docstring_phase_shift[] = R"(Apply the phase shift transform spectral estimator.

The frequency-domain data are normalised to unit modulus to remove amplitude
effects such as attenuation and geometric spreading, then integrated over
offset against the phase shift e^{i k x}, k = omega / c:

    V(omega, k) = int e^{i k x} U(x,omega)/|U(x,omega)| dx

Setting an upper frequency limit with `f_range` is recommended: the default
upper limit, the Nyquist frequency, evaluates many frequencies that carry
little signal.

References
----------
Park, C. B., Miller, R. D., & Xia, J. (1998). Imaging dispersion curves of
surface waves on multi-channel record. SEG Technical Program Expanded
Abstracts, 1377-1380.

Parameters
----------
data : NDArray[Shape["NX,NT"], Float]
    The gather: one row of NT time samples per trace.
offset : NDArray[Shape["NX"], Float]
    Offset of each trace from the source.
phase_vels : NDArray[Shape["NC"], Float]
    The trial phase velocities, in offset units per time unit.
dt : float
    Sampling interval of the gather.
f_range : list of two floats, optional
    None, or a list of a minimum and a maximum frequency; either may be None
    for an open limit. By default the whole band from 0 to the Nyquist
    frequency.
n : int, optional
    Length of the Fourier transform. Below the number of time samples it is
    raised to it; above it the time axis is padded with zeros, which
    interpolates the frequency axis without adding information.

Returns
-------
f : NDArray[Shape["NF"], Float]
    The frequencies of the band.
disp_spec : NDArray[Shape["NF,NC"], Complex]
    The dispersion spectrum: one row per frequency, one column per phase
    velocity.
)";

const char FDBF_docstring[] = R"(Apply Frequency-Domain Beamforming at the specified phase velocities and frequency range.

For every frequency the cross-spectral matrix of the traces is formed
(optionally weighted by the offsets) and steered with a vector of unit
phasors for every phase velocity; the beam power is the spectrum's value.
Plane-wave steering vectors, exp(-i 2 pi f x / c), or cylindrical-wave
steering vectors, the phase of the Hankel function H0(2 pi f x / c), can be
used.

References
----------
Zywicki, D. J. (1999). Advanced signal processing methods applied to
engineering analysis of seismic surface waves. PhD thesis, Georgia Institute
of Technology.

Parameters
----------
data : NDArray[Shape["NX,NT"], Float]
    The gather: one row of NT time samples per trace.
offsets : NDArray[Shape["NX"], Float]
    Offset of each trace from the source.
phase_vels : NDArray[Shape["NC"], Float]
    The trial phase velocities, in offset units per time unit.
dt : float
    Sampling interval of the gather.
f_range : list of two floats, optional
    None, or a list of a minimum and a maximum frequency; either may be None
    for an open limit. By default the whole band from 0 to the Nyquist
    frequency.
steering_method : str, optional
    "plane" or "cylindrical" (the default) steering vectors.
weighting : str, optional
    "none", or "sqrt" (the default): each trace weighted by its offset.
n : int, optional
    Length of the Fourier transform. Below the number of time samples it is
    raised to it; above it the time axis is padded with zeros, which
    interpolates the frequency axis without adding information.

Returns
-------
f : NDArray[Shape["NF"], Float]
    The frequencies of the band.
fdbf_transform : NDArray[Shape["NF,NC"], Complex]
    The beamforming spectrum: one row per frequency, one column per phase
    velocity.
)";

}  // namespace molvak
