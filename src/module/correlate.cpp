// Correlation and stacking of windows of a continuous record with virtual
// sources: molvak._native._correlate_stack, the core of
// molvak.interferometry (which resolves the settings and passes them here).
#include <cstring>
#include <vector>

#include "correlate/correlate.hpp"
#include "correlate/pairs.hpp"
#include "module/native_methods.hpp"

namespace molvak {

namespace {

const char correlate_docstring[] =
    "_correlate_stack(block, sources, nfft, max_lag, taper=None, normalization='none', ram_half=0,\n"
    "                 whiten=None, whiten_half=0, stacking='linear', linear=None, phasor=None,\n"
    "                 tile=0)\n--\n\n"
    "The partial stack of a block of windows (W, NX, NT), float64 or float32 and finite (a 3-D\n"
    "array, or a sequence of W arrays (NX, NT), such as views into read buffers; float32\n"
    "windows are widened to float64 one row at a time, with the results of windows converted\n"
    "beforehand, bit for bit): every window of\n"
    "every channel demeaned, normalised in time ('onebit', or 'ram': divided by the running\n"
    "mean of |x| over 2 ram_half + 1 samples), multiplied by `taper` (NT), transformed with\n"
    "zero padding to nfft >= 2 NT - 1 samples and, given the band weights `whiten`\n"
    "(nfft // 2 + 1), divided by its amplitude (its running mean over 2 whiten_half + 1 bins)\n"
    "and weighted; then correlated with every channel of `sources` (S,),\n"
    "C_sr(tau) = sum_t u_s(t) u_r(t + tau) at the lags -max_lag..max_lag.\n"
    "`sources` may instead be pairs (P, 2) of channels (i, j): then C_ij for each pair, and\n"
    "the outputs are (P, 2 max_lag + 1); `tile` channels per block of pairs (0: chosen).\n"
    "Returns (linear, phasor): linear float64 (S, NX, 2 max_lag + 1), the sum of the\n"
    "correlations over the windows; phasor complex128 of the same shape for\n"
    "stacking='pws', the sum of z / |z| of each window's analytic signal z (0 where z = 0),\n"
    "else None. Given `linear` (and `phasor`), the sums are added to those arrays, which are\n"
    "returned. The interpreter lock is released while it runs.";

// An output array to add to: exactly the dtype and shape, C-contiguous,
// aligned and writeable.
bool check_output(PyObject* obj, const char* name, int type_num, const npy_intp* shape, int nd = 3) {
    if (!PyArray_Check(obj)) {
        set_errorf(PyExc_TypeError, "%s must be a NumPy array; got %s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    bool shaped = PyArray_NDIM(a) == nd;
    for (int d = 0; shaped && d < nd; ++d) shaped = PyArray_DIM(a, d) == shape[d];
    if (PyArray_TYPE(a) != type_num || !shaped) {
        const char* type = type_num == NPY_DOUBLE ? "float64" : "complex128";
        if (nd == 2)
            set_errorf(PyExc_ValueError, "%s must be a %s array of shape (%zd, %zd)", name, type,
                       static_cast<Py_ssize_t>(shape[0]), static_cast<Py_ssize_t>(shape[1]));
        else
            set_errorf(PyExc_ValueError, "%s must be a %s array of shape (%zd, %zd, %zd)", name, type,
                       static_cast<Py_ssize_t>(shape[0]), static_cast<Py_ssize_t>(shape[1]),
                       static_cast<Py_ssize_t>(shape[2]));
        return false;
    }
    if (!PyArray_ISCARRAY(a)) {
        set_errorf(PyExc_ValueError, "%s must be C-contiguous, aligned and writeable", name);
        return false;
    }
    return true;
}

// An optional float64 vector of `length` elements (None: absent).
bool optional_vector(PyObject* obj, const char* name, npy_intp length, const char* meaning, PyRef* out) {
    if (obj == nullptr || obj == Py_None) return true;
    *out = to_double_array(obj);
    if (!*out) return false;
    if (ndim(*out) != 1 || dim(*out, 0) != length) {
        set_errorf(PyExc_ValueError, "%s must be None or a vector of %zd values (%s)", name,
                   static_cast<Py_ssize_t>(length), meaning);
        return false;
    }
    return true;
}

PyObject* correlate_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"block",       "sources",  "nfft",   "max_lag", "taper",  "normalization",
                                     "ram_half",    "whiten",   "whiten_half", "stacking", "linear", "phasor",
                                     "tile",        nullptr};
    PyObject *block_obj, *sources_obj, *taper_obj = nullptr, *whiten_obj = nullptr;
    PyObject *linear_obj = nullptr, *phasor_obj = nullptr;
    Py_ssize_t nfft = 0, max_lag = 0, ram_half = 0, whiten_half = 0, tile = 0;
    const char* normalization = "none";
    const char* stacking = "linear";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnn|OsnOnsOOn", const_cast<char**>(keywords), &block_obj,
                                     &sources_obj, &nfft, &max_lag, &taper_obj, &normalization, &ram_half,
                                     &whiten_obj, &whiten_half, &stacking, &linear_obj, &phasor_obj, &tile))
        return nullptr;
    // The windows: a 3-D array, or a sequence of 2-D arrays (views into read
    // buffers are taken as they are when their samples are contiguous).
    // float32 windows (a float32 array, or a sequence of float32 arrays
    // only) are read as they are; anything else is taken as float64.
    std::vector<PyRef> held;
    npy_intp W = 0, NX = 0, NT = 0;
    bool single = false;
    if (PyArray_Check(block_obj)) {
        single = PyArray_TYPE(reinterpret_cast<PyArrayObject*>(block_obj)) == NPY_FLOAT;
    } else if (PySequence_Check(block_obj)) {
        PyRef items(PySequence_Fast(block_obj, "block must be an array or a sequence of windows"));
        if (!items) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        single = count > 0;
        for (Py_ssize_t w = 0; w < count && single; ++w) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), w);
            single = PyArray_Check(item) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(item)) == NPY_FLOAT;
        }
    }
    const int type = single ? NPY_FLOAT : NPY_DOUBLE;
    const npy_intp size = single ? static_cast<npy_intp>(sizeof(float)) : static_cast<npy_intp>(sizeof(double));
    if (PyArray_Check(block_obj) || !PySequence_Check(block_obj)) {
        // PyArray_FromAny steals the descriptor reference.
        PyRef block(PyArray_FromAny(block_obj, PyArray_DescrFromType(type), 0, 0, NPY_ARRAY_IN_ARRAY, nullptr));
        if (!block) return nullptr;
        if (ndim(block) != 3)
            return set_errorf(PyExc_ValueError,
                              "block must be a 3-D array (windows, channels, samples) or a sequence of 2-D "
                              "windows; got a %d-D array",
                              ndim(block));
        W = dim(block, 0);
        NX = dim(block, 1);
        NT = dim(block, 2);
        held.push_back(block);
    } else {
        PyRef items(PySequence_Fast(block_obj, "block must be an array or a sequence of windows"));
        if (!items) return nullptr;
        W = PySequence_Fast_GET_SIZE(items.get());
        for (npy_intp w = 0; w < W; ++w) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), w);
            // PyArray_FromAny steals the descriptor reference.
            PyRef a(PyArray_FromAny(item, PyArray_DescrFromType(type), 0, 0, NPY_ARRAY_ALIGNED, nullptr));
            if (!a) return nullptr;
            if (ndim(a) != 2)
                return set_errorf(PyExc_ValueError, "block[%zd] must be a 2-D window (channels, samples); got %d-D",
                                  static_cast<Py_ssize_t>(w), ndim(a));
            if (w == 0) {
                NX = dim(a, 0);
                NT = dim(a, 1);
            } else if (dim(a, 0) != NX || dim(a, 1) != NT) {
                return set_errorf(PyExc_ValueError, "block[%zd] has shape (%zd, %zd); block[0] has (%zd, %zd)",
                                  static_cast<Py_ssize_t>(w), static_cast<Py_ssize_t>(dim(a, 0)),
                                  static_cast<Py_ssize_t>(dim(a, 1)), static_cast<Py_ssize_t>(NX),
                                  static_cast<Py_ssize_t>(NT));
            }
            const npy_intp* st = PyArray_STRIDES(a.array());
            if ((NT > 1 && st[1] != size) || st[0] % size != 0) {
                a = PyRef(PyArray_NewCopy(a.array(), NPY_CORDER));
                if (!a) return nullptr;
            }
            held.push_back(a);
        }
    }
    if (NX < 1 || NT < 1) return set_error(PyExc_ValueError, "block must hold at least one channel and one sample");
    std::vector<const double*> window(static_cast<std::size_t>(W));
    std::vector<const float*> window32(single ? static_cast<std::size_t>(W) : 0);
    std::vector<std::ptrdiff_t> row_stride(static_cast<std::size_t>(W));
    for (npy_intp w = 0; w < W; ++w) {
        const bool whole = held.size() == 1 && ndim(held[0]) == 3;
        const char* base = static_cast<const char*>(PyArray_DATA(held[whole ? 0 : w].array()));
        if (whole) base += w * NX * NT * size;
        if (single)
            window32[w] = reinterpret_cast<const float*>(base);
        else
            window[w] = reinterpret_cast<const double*>(base);
        row_stride[w] = whole ? NT : NX > 1 ? PyArray_STRIDE(held[w].array(), 0) / size : NT;
    }
    // The sources: integer indices (an empty list is no source), or pairs (P, 2).
    PyRef indices(PyArray_FromAny(sources_obj, nullptr, 1, 2, NPY_ARRAY_IN_ARRAY, nullptr));
    if (!indices) return nullptr;
    const bool paired = ndim(indices) == 2;
    if (paired && dim(indices, 1) != 2)
        return set_errorf(PyExc_ValueError, "sources must be channel indices (S,) or pairs (P, 2); got shape (%zd, %zd)",
                          static_cast<Py_ssize_t>(dim(indices, 0)), static_cast<Py_ssize_t>(dim(indices, 1)));
    if (tile < 0) return set_errorf(PyExc_ValueError, "tile must not be negative; got %zd", tile);
    if (PyArray_SIZE(indices.array()) > 0 && !PyArray_ISINTEGER(indices.array()))
        return set_errorf(PyExc_TypeError, "sources must be integer channel indices; got dtype %s",
                          PyArray_DESCR(indices.array())->typeobj->tp_name);
    // PyArray_FromArray steals the descriptor reference.
    PyRef sources(PyArray_FromArray(indices.array(), PyArray_DescrFromType(NPY_INTP), NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!sources) return nullptr;
    const npy_intp S = dim(sources, 0);
    const auto* src = static_cast<const npy_intp*>(PyArray_DATA(sources.array()));
    for (npy_intp j = 0; j < PyArray_SIZE(sources.array()); ++j)
        if (src[j] < 0 || src[j] >= NX)
            return set_errorf(PyExc_ValueError, "sources[%zd] = %zd is not a channel of the block (0..%zd)",
                              static_cast<Py_ssize_t>(paired ? j / 2 : j), static_cast<Py_ssize_t>(src[j]),
                              static_cast<Py_ssize_t>(NX - 1));
    if (NT > (PY_SSIZE_T_MAX - 1) / 2 || nfft < 2 * NT - 1)
        return set_errorf(PyExc_ValueError, "nfft must be at least 2 NT - 1 = %zd (no wrap-around); got %zd",
                          static_cast<Py_ssize_t>(2 * NT - 1), nfft);
    if (max_lag < 0 || max_lag >= NT)
        return set_errorf(PyExc_ValueError, "max_lag must lie in 0..%zd (below the window's %zd samples); got %zd",
                          static_cast<Py_ssize_t>(NT - 1), static_cast<Py_ssize_t>(NT), max_lag);
    PyRef taper, whiten;
    if (!optional_vector(taper_obj, "taper", NT, "one weight per sample", &taper)) return nullptr;
    correlate::Normalization norm;
    if (std::strcmp(normalization, "none") == 0) {
        norm = correlate::Normalization::none;
    } else if (std::strcmp(normalization, "onebit") == 0) {
        norm = correlate::Normalization::onebit;
    } else if (std::strcmp(normalization, "ram") == 0) {
        norm = correlate::Normalization::ram;
    } else {
        return set_errorf(PyExc_ValueError, "normalization must be 'none', 'onebit' or 'ram'; got '%s'",
                          normalization);
    }
    if (norm == correlate::Normalization::ram ? ram_half < 1 : ram_half < 0)
        return set_errorf(PyExc_ValueError, "ram_half must be a positive number of samples for 'ram'; got %zd",
                          ram_half);
    const npy_intp bins = nfft / 2 + 1;
    if (!optional_vector(whiten_obj, "whiten", bins, "one weight per bin, nfft // 2 + 1", &whiten)) return nullptr;
    if (whiten_half < 0) return set_errorf(PyExc_ValueError, "whiten_half must not be negative; got %zd", whiten_half);
    bool pws;
    if (std::strcmp(stacking, "linear") == 0) {
        pws = false;
    } else if (std::strcmp(stacking, "pws") == 0) {
        pws = true;
    } else {
        return set_errorf(PyExc_ValueError, "stacking must be 'linear' or 'pws'; got '%s'", stacking);
    }

    const npy_intp shape3[3] = {S, NX, 2 * max_lag + 1};
    const npy_intp shape2[2] = {S, 2 * max_lag + 1};
    const npy_intp* shape = paired ? shape2 : shape3;
    const int nd = paired ? 2 : 3;
    PyRef linear, phasor;
    const bool given = linear_obj != nullptr && linear_obj != Py_None;
    const bool given_phasor = phasor_obj != nullptr && phasor_obj != Py_None;
    if (given) {
        if (!check_output(linear_obj, "linear", NPY_DOUBLE, shape, nd)) return nullptr;
        linear = PyRef::borrow(linear_obj);
        if (pws && !given_phasor)
            return set_error(PyExc_TypeError, "phasor must be given with linear for stacking='pws'");
    } else {
        if (given_phasor) return set_error(PyExc_TypeError, "phasor is given only with linear");
        linear = new_array(nd, shape, NPY_DOUBLE, "correlations");  // zeroed by the kernel
        if (!linear) return nullptr;
    }
    if (pws) {
        if (given) {
            if (!check_output(phasor_obj, "phasor", NPY_CDOUBLE, shape, nd)) return nullptr;
            phasor = PyRef::borrow(phasor_obj);
        } else {
            phasor = new_array(nd, shape, NPY_CDOUBLE, "phasors");  // zeroed by the kernel
            if (!phasor) return nullptr;
        }
    } else if (given_phasor) {
        return set_error(PyExc_TypeError, "phasor is given only for stacking='pws'");
    }

    static_assert(sizeof(npy_intp) == sizeof(std::ptrdiff_t), "source indices are read as ptrdiff_t");
    correlate::Problem p{};
    p.window = window.data();
    p.window32 = single ? window32.data() : nullptr;
    p.row_stride = row_stride.data();
    p.windows = static_cast<std::size_t>(W);
    p.channels = static_cast<std::size_t>(NX);
    p.samples = static_cast<std::size_t>(NT);
    p.sources = reinterpret_cast<const std::ptrdiff_t*>(src);
    p.nsources = static_cast<std::size_t>(S);
    p.nfft = static_cast<std::size_t>(nfft);
    p.max_lag = static_cast<std::size_t>(max_lag);
    p.taper = taper ? ddata(taper) : nullptr;
    p.normalization = norm;
    p.ram_half = static_cast<std::size_t>(ram_half);
    p.whiten = whiten ? ddata(whiten) : nullptr;
    p.whiten_half = static_cast<std::size_t>(whiten_half);
    p.pws = pws;
    p.fresh = !given;
    double* const phasor_data = pws ? static_cast<double*>(PyArray_DATA(phasor.array())) : nullptr;
    if (paired) {
        correlate::PairProblem pp{};
        pp.base = p;
        pp.base.sources = nullptr;
        pp.base.nsources = 0;
        pp.pairs = reinterpret_cast<const std::ptrdiff_t*>(src);
        pp.npairs = static_cast<std::size_t>(S);
        pp.tile = static_cast<std::size_t>(tile);
        correlate::PairWorkspace work(pp);
        GilRelease nogil;
        correlate::correlate_pairs(pp, work, ddata(linear), phasor_data);
    } else {
        correlate::Workspace work(p);
        GilRelease nogil;
        correlate::correlate_stack(p, work, ddata(linear), phasor_data);
    }
    if (!pws) return Py_BuildValue("NO", linear.release(), Py_None);
    return Py_BuildValue("NN", linear.release(), phasor.release());
}

}  // namespace

namespace native {
PyMethodDef method_correlate_stack() { return MOLVAK_METHOD(_correlate_stack, correlate_py, correlate_docstring); }
}  // namespace native

}  // namespace molvak
