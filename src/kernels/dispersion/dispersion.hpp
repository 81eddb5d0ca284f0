// Dispersion curves of surface waves in a stack of elastic layers over a
// half-space: the phase (or group) velocity of one Rayleigh or Love mode at
// each of a set of frequencies, for one model or many. Plain C++.
//
// The dispersion function. Rayleigh waves: the P-SV motion-stress vector
// (u_x, u_z, tau_zx, tau_zz) obeys df/dz = A f (Aki & Richards 2002, eq.
// 7.28). The two solutions that decay into the half-space span a plane;
// carried up to the surface, the plane holds a free-surface solution when the
// 2 x 2 minor of its traction rows vanishes. The plane is carried as the six
// 2 x 2 minors of its basis (Dunkin 1965: the second compound of the layer
// matrices propagates them), of which one is the negative of another, so five
// are carried. The layer's compound matrix is written in closed form from
// C = cosh(nu_a kh), S = sinh(nu_a kh) / nu_a (the same for nu_b), with
// nu_a^2 = 1 - c^2 / Vp^2 and nu_b^2 = 1 - c^2 / Vs^2 (vertical wavenumbers
// over k); cosh^2 - nu^2 sinh^2 = 1 has removed every term that grows faster
// than exp((nu_a + nu_b) kh), and that factor (cosh nu_a kh cosh nu_b kh for
// evanescent waves, 1 for propagating ones) is divided out of every layer, so
// the function neither overflows nor loses its sign. The minors of each layer
// are scaled by that layer's shear modulus (continuity across an interface is
// a rescaling by the ratio of moduli). Love waves: the SH motion-stress vector
// (u_y, tau_zy) and the Haskell-Thomson layer matrix, normalised the same way.
//
// Roots. Frequencies are taken in ascending order. Below a velocity c_min
// (0.95 of the lowest Rayleigh velocity of any layer taken as a half-space,
// or just below the lowest Vs for Love waves) the function has no root, and
// its sign there, s0, gives the number of roots below any c by parity: mode
// k is the (k+1)-th root from below, so below it the function has the sign
// s0 (-1)^k and above it the opposite. Each frequency's root is predicted by
// extrapolation of the last three roots, bracketed by steps that double,
// directed by that parity (so the bracket is never that of a neighbouring
// mode), and refined with Brent's method (Brent 1973) to 1e-12 relative.
// At every other tracked frequency the roots below the root are counted (a
// scan from c_min to the lower end of Brent's final bracket: the first
// bracket may hold three roots); a count other than k means the tracking
// followed another mode's branch (a mode may drop past its neighbours at an avoided
// crossing), and that frequency and the one before are solved again by scans.
// Where there is no previous root, the frequency is more than 1.5 times the
// previous one, the bracket leaves [c_min, c_max), or the root lies further
// from its prediction than a tenth of it plus the predicted move, a scan of
// the whole range counts the sign changes and takes the (k+1)-th. Scan points
// are spaced evenly in the layers' vertical phase (16 per expected mode, 10
// for the counts) plus 24 (8) over the range; a pair of roots between two
// points, which leaves no sign change, shows as a dip of |F| there, and F at
// the vertex of the parabola through the dip counts it. Fewer than k+1 roots
// below c_max (0.999999999 Vs of the half-space: faster modes leak) means the
// mode does not exist there, NaN.
//
// Several models are solved together: at each frequency their brackets,
// scans and Brent steps advance in step, every model following its own
// values, and their functions are evaluated in the lanes of the vector
// instruction set (dispersion_lanes.cpp). One model's frequencies are shared
// among the lanes in runs, each tracked from a scan at its first frequency.
//
// Group velocity by implicit differentiation of F(c, omega) = 0: dc/domega =
// -F_omega / F_c, with both partial derivatives as five-point central
// differences of relative step 1e-4, and U = c / (1 - (omega / c) dc/domega).
#pragma once

#include <cstddef>

#include "simd/isa.hpp"

namespace molvak::dispersion {

enum class Wave { rayleigh, love };

// M models of L layers (the last the half-space), C-contiguous rows:
// thickness (M, L - 1) in m, vs, vp, density (M, L) in m/s and kg/m^3. The
// models are taken as valid (positive, finite, Vp > 2 Vs / sqrt(3)).
struct Models {
    const double* thickness;
    const double* vs;
    const double* vp;
    const double* density;
    std::size_t models;
    std::size_t layers;
};

struct Request {
    const double* frequency;  // F positive, finite frequencies in Hz, any order
    std::size_t frequencies;
    std::size_t mode;         // 0: fundamental
    Wave wave;
    bool group;               // group velocity instead of phase velocity
    std::size_t* evaluations = nullptr;  // optional (M,): dispersion-function evaluations per model
};

// The velocity of each model at each frequency, out (M, F), NaN where the
// mode does not exist. `workers` threads share the models; every model's
// result is the same for any number of workers. Throws AllocFailure.
// Several models are solved together in the lanes of `isa` (W at a time).
void curves(const Models& models, const Request& request, double* out, std::size_t workers,
            simd::Isa isa = simd::Isa::best);

// The normalised dispersion function of model `m` at phase velocity c and
// angular frequency omega (c below the half-space's Vs): its sign and its
// roots are those of the free-surface condition. For tests.
double secular(const Models& models, std::size_t m, Wave wave, double c, double omega);

// The lower end c_min of the root search for model `m` (see above).
double lowest_velocity(const Models& models, std::size_t m, Wave wave);

}  // namespace molvak::dispersion
