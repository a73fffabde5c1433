// zelk_mcf._tools: compiled helpers of the Python package that need speed.
//
// optimality_certificate(n, tail, head, lower, upper, cost, flow) runs the
// core's potentials pass with the interpreter lock released (taken back
// briefly to poll for Ctrl-C). Arrays are read through the buffer protocol:
// one-dimensional, C-contiguous, 8-byte signed integers. It returns
// (potentials, None) for an optimal flow, potentials being a bytearray of
// native int64 values when every one fits and a list of ints otherwise, or
// (None, [(edge, direction), ...]) with a negative residual cycle.
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the extension must be built against the 3.11 stable ABI"
#endif

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "certificate/optimality_certificate.hpp"
#include "checked_math.hpp"
#include "index_types.hpp"
#include "mcf_problem.hpp"
#include "python_ref.hpp"
#include "solve_context.hpp"

namespace {

using zelk::Int128;
using zelk::NodeIndex;

// A read-only view of an int64 buffer, released on scope exit.
class Int64View {
public:
    Int64View() = default;
    Int64View(const Int64View&) = delete;
    Int64View& operator=(const Int64View&) = delete;
    ~Int64View() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool acquire(PyObject* obj, const char* name) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a contiguous int64 buffer",
                         name);
            return false;
        }
        held_ = true;
        const char* f = view_.format != nullptr ? view_.format : "B";
        if (*f == '=' || *f == '@') ++f;
        const bool int64 =
            view_.itemsize == 8 && (std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0);
        if (view_.ndim != 1 || !int64) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected a one-dimensional int64 array",
                         name);
            return false;
        }
        return true;
    }

    std::span<const std::int64_t> values() const {
        return {static_cast<const std::int64_t*>(view_.buf),
                static_cast<std::size_t>(view_.len / 8)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

struct ReleasedLock {
    PyThreadState* state = nullptr;
};

// Ctrl-C check from inside a computation that runs without the lock.
bool poll_interrupt(void* data) {
    auto* lock = static_cast<ReleasedLock*>(data);
    PyEval_RestoreThread(lock->state);
    const bool interrupted = PyErr_CheckSignals() != 0;
    lock->state = PyEval_SaveThread();
    return interrupted;
}

PyObject* int128_to_long(Int128 v) {
    if (v >= std::numeric_limits<std::int64_t>::min() &&
        v <= std::numeric_limits<std::int64_t>::max()) {
        return PyLong_FromLongLong(static_cast<long long>(v));
    }
    Ref high(PyLong_FromLongLong(static_cast<long long>(v >> 64)));
    Ref low(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
    Ref shift(PyLong_FromLong(64));
    if (!high || !low || !shift) return nullptr;
    Ref shifted(PyNumber_Lshift(high.p, shift.p));
    if (!shifted) return nullptr;
    return PyNumber_Or(shifted.p, low.p);
}

PyObject* potentials_object(const std::vector<Int128>& potentials) {
    bool all_fit = true;
    for (Int128 p : potentials) {
        all_fit = all_fit && p >= std::numeric_limits<std::int64_t>::min() &&
                  p <= std::numeric_limits<std::int64_t>::max();
    }
    if (all_fit) {
        std::vector<std::int64_t> narrow(potentials.begin(), potentials.end());
        return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(narrow.data()),
                                             static_cast<Py_ssize_t>(narrow.size() * 8));
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(potentials.size())));
    if (!list) return nullptr;
    for (std::size_t v = 0; v < potentials.size(); ++v) {
        PyObject* item = int128_to_long(potentials[v]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.p, static_cast<Py_ssize_t>(v), item);
    }
    return list.release();
}

PyObject* cycle_object(const std::vector<zelk::McfCycleArc>& cycle) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(cycle.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < cycle.size(); ++k) {
        PyObject* item = Py_BuildValue("(Ii)", static_cast<unsigned>(cycle[k].edge),
                                       static_cast<int>(cycle[k].direction));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.p, static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

bool to_indices(std::span<const std::int64_t> values, Py_ssize_t n, std::vector<NodeIndex>& out,
                const char* name) {
    out.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] < 0 || values[i] >= n) {
            PyErr_Format(PyExc_ValueError, "%s[%zd] is outside the node range", name,
                         static_cast<Py_ssize_t>(i));
            return false;
        }
        out[i] = static_cast<std::uint32_t>(values[i]);
    }
    return true;
}

PyObject* optimality_certificate(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"n", "tail", "head", "lower", "upper", "cost", "flow", nullptr};
    Py_ssize_t n = 0;
    PyObject* objs[6] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nOOOOOO:optimality_certificate",
                                     const_cast<char**>(kwlist), &n, &objs[0], &objs[1], &objs[2],
                                     &objs[3], &objs[4], &objs[5])) {
        return nullptr;
    }
    if (n < 0 || static_cast<std::uint64_t>(n) > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "n must be between 0 and 2**32 - 1");
        return nullptr;
    }
    Int64View views[6];
    for (int k = 0; k < 6; ++k) {
        if (!views[k].acquire(objs[k], kwlist[k + 1])) return nullptr;
    }
    const std::size_t m = views[0].values().size();
    for (int k = 1; k < 6; ++k) {
        if (views[k].values().size() != m) {
            PyErr_SetString(PyExc_ValueError, "edge arrays must have identical length");
            return nullptr;
        }
    }
    std::vector<NodeIndex> tails, heads;
    if (!to_indices(views[0].values(), n, tails, "tail") ||
        !to_indices(views[1].values(), n, heads, "head")) {
        return nullptr;
    }
    auto copy = [](const Int64View& v) {
        return std::vector<std::int64_t>(v.values().begin(), v.values().end());
    };
    // Demands play no part in optimality; zeros keep the problem valid.
    auto problem = zelk::McfProblem::create(
        std::move(tails), std::move(heads), copy(views[2]), copy(views[3]), copy(views[4]),
        std::vector<std::int64_t>(static_cast<std::size_t>(n), 0));
    if (!problem) {
        PyErr_SetString(PyExc_ValueError, problem.error().message().c_str());
        return nullptr;
    }
    const std::span<const std::int64_t> flow = views[5].values();

    ReleasedLock lock;
    zelk::McfResult<zelk::McfOptimalityCertificate> cert;
    lock.state = PyEval_SaveThread();
    {
        const zelk::SolveContext ctx(nullptr, nullptr, poll_interrupt, &lock);
        cert = zelk::optimality_certificate(*problem, flow, ctx);
    }
    PyEval_RestoreThread(lock.state);

    if (!cert) {
        if (cert.error().is_interrupted()) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        }
        PyErr_SetString(PyExc_ValueError, cert.error().message().c_str());
        return nullptr;
    }
    if (cert->optimal()) {
        Ref pot(potentials_object(cert->potentials));
        if (!pot) return nullptr;
        return Py_BuildValue("(OO)", pot.p, Py_None);
    }
    Ref cycle(cycle_object(cert->negative_cycle));
    if (!cycle) return nullptr;
    return Py_BuildValue("(OO)", Py_None, cycle.p);
}

PyMethodDef METHODS[] = {
    {"optimality_certificate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimality_certificate)),
     METH_VARARGS | METH_KEYWORDS,
     "optimality_certificate(n, tail, head, lower, upper, cost, flow)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_tools",
    "Compiled helpers of the zelk_mcf package.",
    0,
    METHODS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tools() { return PyModule_Create(&MODULE); }
