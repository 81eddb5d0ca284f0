#include "common/complex.hpp"

#define MOLVAK_EXPORT __attribute__((visibility("default")))

extern "C" {

MOLVAK_EXPORT molvak_cdouble npy_cmulcc(molvak_cdouble a, molvak_cdouble b) { return molvak::cx::mulcc(a, b); }
MOLVAK_EXPORT molvak_cdouble npy_cmulcr(molvak_cdouble a, double r) { return molvak::cx::mulcr(a, r); }
MOLVAK_EXPORT molvak_cdouble npy_cadd(molvak_cdouble a, molvak_cdouble b) { return molvak::cx::add(a, b); }
MOLVAK_EXPORT molvak_cdouble npy_cdivcr(molvak_cdouble a, double r) { return molvak::cx::divcr(a, r); }
MOLVAK_EXPORT molvak_cdouble npy_cexp(molvak_cdouble z) { return molvak::cx::exp(z); }
MOLVAK_EXPORT double npy_cabs(molvak_cdouble z) { return molvak::cx::abs(z); }
MOLVAK_EXPORT molvak_cdouble npy_cconj(molvak_cdouble z) { return molvak::cx::conj(z); }
MOLVAK_EXPORT double npy_carg(molvak_cdouble z) { return molvak::cx::arg(z); }

}
