// zelk_mcf._core: the thin CPython layer over the solver core.
//
// Converts NumPy int64 edge arrays into an McfProblem and keyword values into
// McfOptions, calls the driver with a SolveContext whose sink writes to
// sys.stderr and whose cancellation check polls for Ctrl-C, and turns results
// and errors into Python objects. All NumPy calls live in this one file.
//
// The interpreter lock is released while the core computes, so threads can
// solve independent instances in parallel; it is taken back briefly for each
// diagnostic line and interrupt check. No C++ exception crosses into Python:
// every entry turns one into MemoryError or RuntimeError.
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the extension must be built against the 3.11 stable ABI"
#endif

#include <numpy/arrayobject.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "index_types.hpp"
#include "ipm/ipm_entry.hpp"
#include "mcf_driver.hpp"
#include "mcf_options.hpp"
#include "mcf_problem.hpp"
#include "python_ref.hpp"
#include "solve_context.hpp"

namespace {

using zelk::McfError;
using zelk::McfOptionInputs;
using zelk::McfOptions;
using zelk::McfProblem;
using zelk::McfSolution;
using zelk::NodeIndex;
using zelk::SolveContext;
using zelk::SolverMode;

constexpr const char* VERSION = "0.2.0";

// ---- solve context -------------------------------------------------------

// Releases the interpreter lock for its lifetime (also when an exception
// unwinds through it) and lends it back for the context's callbacks, which
// run on the solving thread only.
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    template <class F>
    auto with_lock(F&& f) {
        PyEval_RestoreThread(state_);
        struct Resave {
            PyThreadState*& state;
            ~Resave() { state = PyEval_SaveThread(); }
        } resave{state_};
        return f();
    }

    // Interrupts are polled at most this often: taking the lock back is cheap
    // but not free, and the core asks once per augmentation or iteration.
    std::chrono::steady_clock::time_point next_poll{};

private:
    PyThreadState* state_;
};

void stderr_sink(void* data, std::string_view line) {
    const std::string text(line);
    static_cast<ReleasedLock*>(data)->with_lock([&] { PySys_FormatStderr("%s\n", text.c_str()); });
}

bool poll_interrupt(void* data) {
    auto* lock = static_cast<ReleasedLock*>(data);
    const auto now = std::chrono::steady_clock::now();
    if (now < lock->next_poll) return false;
    lock->next_poll = now + std::chrono::milliseconds(5);
    return lock->with_lock([] { return PyErr_CheckSignals() != 0; });
}

SolveContext python_context(ReleasedLock& lock) {
    return SolveContext(stderr_sink, &lock, poll_interrupt, &lock);
}

// Runs `solve` (which calls into the core) without the interpreter lock.
template <class F>
auto without_lock(F&& solve) {
    ReleasedLock lock;
    return solve(python_context(lock));
}

// The exception barrier of every entry: a C++ exception escaping the core
// becomes a Python exception and the module stays usable.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
    }
    return nullptr;
}

// Sets the Python exception for a solver error; always returns nullptr.
PyObject* raise_solver_error(const McfError& error) {
    if (error.is_interrupted()) {
        // PyErr_CheckSignals has already set the handler's exception.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    PyErr_SetString(PyExc_RuntimeError, error.to_string().c_str());
    return nullptr;
}

// ---- arrays --------------------------------------------------------------

// The type's name, qualified by its module unless it is a builtin
// ("float", "numpy.float64").
std::string describe_object(PyObject* obj) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref type_name(PyObject_GetAttrString(type, "__qualname__"));
    Ref module(PyObject_GetAttrString(type, "__module__"));
    const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.p, nullptr) : nullptr;
    const char* mod =
        module && PyUnicode_Check(module.p) ? PyUnicode_AsUTF8AndSize(module.p, nullptr) : nullptr;
    PyErr_Clear();
    if (name == nullptr) return "object";
    if (mod == nullptr || std::string_view(mod) == "builtins") return name;
    return std::string(mod) + "." + name;
}

std::string describe_dtype(PyObject* array) {
    Ref dtype(PyObject_GetAttrString(array, "dtype"));
    Ref text(dtype ? PyObject_Str(dtype.p) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.p, nullptr) : nullptr;
    PyErr_Clear();
    return s ? s : "unknown dtype";
}

// Argument conversion: a one-dimensional native-endian int64 ndarray.
bool check_int64_array(const char* fn, PyObject* obj, const char* name) {
    std::string got;
    if (!PyArray_Check(obj)) {
        got = describe_object(obj);
    } else {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(arr) != 1) {
            got = std::to_string(PyArray_NDIM(arr)) + "-dimensional array";
        } else if (!PyArray_EquivTypenums(PyArray_TYPE(arr), NPY_INT64) ||
                   !PyArray_ISNOTSWAPPED(arr)) {
            got = describe_dtype(obj);
        } else {
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s': expected a one-dimensional int64 numpy.ndarray, got %s", fn,
                 name, got.c_str());
    return false;
}

bool require_contiguous(PyObject* obj) {
    if (PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(obj))) return true;
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
}

std::size_t array_len(PyObject* obj) {
    return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 0));
}

const std::int64_t* array_data(PyObject* obj) {
    return static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(obj)));
}

std::vector<std::int64_t> copy_array(PyObject* obj) {
    const std::int64_t* data = array_data(obj);
    return std::vector<std::int64_t>(data, data + array_len(obj));
}

PyObject* new_int64_array(const std::vector<std::int64_t>& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* out = PyArray_SimpleNew(1, dims, NPY_INT64);
    if (out == nullptr) return nullptr;
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), values.data(),
                    values.size() * sizeof(std::int64_t));
    }
    return out;
}

// ---- scalar arguments --------------------------------------------------

bool is_given(PyObject* o) { return o != nullptr && o != Py_None; }

bool read_text(const char* fn, PyObject* o, const char* name, std::optional<std::string>& out) {
    if (!is_given(o)) return true;
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %s", fn, name,
                     describe_object(o).c_str());
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &size);
    if (text == nullptr) return false;
    out = std::string(text, static_cast<std::size_t>(size));
    return true;
}

// Any object with __index__ (Python and NumPy integers, bools), no floats.
template <class T>
bool read_unsigned(const char* fn, PyObject* o, const char* name, std::optional<T>& out) {
    if (!is_given(o)) return true;
    Ref index(PyIndex_Check(o) ? PyNumber_Index(o) : nullptr);
    if (!index) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %s", fn, name,
                     describe_object(o).c_str());
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.p);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError,
                     "%s() argument '%s' must be a non-negative integer that fits in 64 bits", fn,
                     name);
        return false;
    }
    if constexpr (sizeof(T) < sizeof(unsigned long long)) {
        if (value > static_cast<unsigned long long>(static_cast<T>(-1))) {
            PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is too large", fn, name);
            return false;
        }
    }
    out = static_cast<T>(value);
    return true;
}

bool read_double(const char* fn, PyObject* o, const char* name, std::optional<double>& out) {
    if (!is_given(o)) return true;
    const double value = PyFloat_AsDouble(o);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %s", fn, name,
                     describe_object(o).c_str());
        return false;
    }
    out = value;
    return true;
}

// Python bools and NumPy bools; nothing else (no truthiness of arbitrary objects).
bool read_bool(const char* fn, PyObject* o, const char* name, std::optional<bool>& out) {
    if (!is_given(o)) return true;
    if (PyBool_Check(o)) {
        out = (o == Py_True);
        return true;
    }
    if (PyArray_IsScalar(o, Bool)) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %s", fn, name,
                 describe_object(o).c_str());
    return false;
}

// ---- problem -------------------------------------------------------------

struct ProblemArgs {
    PyObject* n = nullptr;
    PyObject* tail = nullptr;
    PyObject* head = nullptr;
    PyObject* lower = nullptr;
    PyObject* upper = nullptr;
    PyObject* cost = nullptr;
    PyObject* demand = nullptr;
};

// Validates and copies the seven problem arguments; nullopt with a Python
// exception set on failure. The caller's arrays are only read.
std::optional<McfProblem> build_problem(const char* fn, const ProblemArgs& a) {
    std::optional<std::size_t> node_count;
    if (!read_unsigned(fn, a.n, "n", node_count)) return std::nullopt;
    const std::size_t n = *node_count;
    const char* names[] = {"tail", "head", "lower", "upper", "cost", "demand"};
    PyObject* arrays[] = {a.tail, a.head, a.lower, a.upper, a.cost, a.demand};
    for (int k = 0; k < 6; ++k) {
        if (!check_int64_array(fn, arrays[k], names[k])) return std::nullopt;
    }
    if (!require_contiguous(a.tail) || !require_contiguous(a.head)) return std::nullopt;
    const std::size_t m = array_len(a.tail);
    if (array_len(a.head) != m) {
        PyErr_SetString(PyExc_ValueError, "tail and head arrays must match length");
        return std::nullopt;
    }
    std::vector<NodeIndex> tails, heads;
    {
        // Per edge: the tail index, then the head index.
        const std::int64_t* t = array_data(a.tail);
        const std::int64_t* h = array_data(a.head);
        tails.resize(m);
        heads.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            if (static_cast<std::uint64_t>(t[i]) > UINT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "tail index out of range");
                return std::nullopt;
            }
            if (static_cast<std::uint64_t>(h[i]) > UINT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "head index out of range");
                return std::nullopt;
            }
            tails[i] = static_cast<std::uint32_t>(t[i]);
            heads[i] = static_cast<std::uint32_t>(h[i]);
        }
    }
    for (PyObject* arr : {a.lower, a.upper, a.cost}) {
        if (!require_contiguous(arr)) return std::nullopt;
    }
    if (array_len(a.lower) != m || array_len(a.upper) != m || array_len(a.cost) != m) {
        PyErr_SetString(PyExc_ValueError, "edge attribute arrays must match tail/head length");
        return std::nullopt;
    }
    if (!require_contiguous(a.demand)) return std::nullopt;
    if (array_len(a.demand) != n) {
        PyErr_SetString(PyExc_ValueError, "demand length does not match n");
        return std::nullopt;
    }
    auto problem =
        McfProblem::create(std::move(tails), std::move(heads), copy_array(a.lower),
                           copy_array(a.upper), copy_array(a.cost), copy_array(a.demand));
    if (!problem) {
        PyErr_SetString(PyExc_ValueError, problem.error().to_string().c_str());
        return std::nullopt;
    }
    return std::move(*problem);
}

// ---- keyword options -----------------------------------------------------

// Keyword objects in keyword order; nullptr = not passed.
struct OptionArgs {
#define ZELK_OPTION_SLOT(name, input, stored, initial) PyObject* name = nullptr;
    ZELK_OPTION_KEYWORDS(ZELK_OPTION_SLOT)
#undef ZELK_OPTION_SLOT
};

// The reader of one keyword, chosen by the type the keyword takes.
template <class T>
bool read_keyword(const char* fn, PyObject* o, const char* name, std::optional<T>& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        return read_text(fn, o, name, out);
    } else if constexpr (std::is_same_v<T, bool>) {
        return read_bool(fn, o, name, out);
    } else if constexpr (std::is_same_v<T, double>) {
        return read_double(fn, o, name, out);
    } else {
        return read_unsigned(fn, o, name, out);
    }
}

std::optional<McfOptions> build_options(const char* fn, const OptionArgs& a) {
    McfOptionInputs in;
#define ZELK_READ_OPTION(name, input, stored, initial) \
    if (!read_keyword(fn, a.name, #name, in.name)) return std::nullopt;
    ZELK_OPTION_KEYWORDS(ZELK_READ_OPTION)
#undef ZELK_READ_OPTION
    auto options = zelk::build_options(in);
    if (!options) {
        PyErr_SetString(PyExc_ValueError, options.error().message.c_str());
        return std::nullopt;
    }
    return std::move(*options);
}

// ---- statistics ----------------------------------------------------------

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* optional_float(const std::optional<double>& v) {
    if (v) return PyFloat_FromDouble(*v);
    Py_RETURN_NONE;
}

template <class T>
PyObject* optional_int(const std::optional<T>& v) {
    if (!v) Py_RETURN_NONE;
    if constexpr (std::is_signed_v<T>) return PyLong_FromLongLong(*v);
    return PyLong_FromUnsignedLongLong(*v);
}

PyObject* py_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }

PyObject* py_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// "termination_reason": which stop rule ended the interior-point run.
std::string_view termination_reason(SolverMode mode, const zelk::IpmSummary& s) {
    if (s.terminated_by_gap) return "gap_threshold";
    if (s.terminated_by_max_iters) return "max_iterations";
    if (mode == SolverMode::ClassicFallback) return "non_convergence_fallback";
    return "other";
}

// The statistics dict: four keys for the classic paths, 28 with a summary.
// A failed insertion discards the partly filled dict.
PyObject* stats_to_dict(SolverMode mode, const std::optional<zelk::IpmSummary>& summary) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.p;
    bool ok = set_item(d, "solver_mode", py_str(zelk::solver_mode_name(mode)));
    if (!summary) {
        ok = ok && set_item(d, "termination", py_str("classic")) &&
             set_item(d, "iterations", PyLong_FromLong(0)) &&
             set_item(d, "final_gap", PyFloat_FromDouble(0.0));
        return ok ? dict.release() : nullptr;
    }
    const zelk::IpmSummary& s = *summary;
    ok = ok && set_item(d, "termination", py_str(zelk::ipm_termination_name(s.termination))) &&
         set_item(d, "iterations", PyLong_FromUnsignedLongLong(s.iterations)) &&
         set_item(d, "final_gap", PyFloat_FromDouble(s.final_gap)) &&
         set_item(d, "cycle_scoring_ms", PyFloat_FromDouble(s.cycle_scoring_ms)) &&
         set_item(d, "barrier_compute_ms", PyFloat_FromDouble(s.barrier_compute_ms)) &&
         set_item(d, "spanner_update_ms", PyFloat_FromDouble(s.spanner_update_ms)) &&
         set_item(d, "last_duality_gap_proxy", optional_float(s.last_duality_gap_proxy)) &&
         set_item(d, "termination_gap_threshold", optional_float(s.termination_gap_threshold)) &&
         set_item(d, "terminated_by_gap", py_bool(s.terminated_by_gap)) &&
         set_item(d, "terminated_by_max_iters", py_bool(s.terminated_by_max_iters)) &&
         set_item(d, "final_gap_estimate", optional_float(s.final_gap_estimate)) &&
         set_item(d, "gap_exponent_used", PyFloat_FromDouble(s.gap_exponent_used)) &&
         set_item(d, "gap_tolerance_used", optional_float(s.gap_tolerance_used)) &&
         set_item(d, "final_gap_proxy", optional_float(s.final_gap_estimate)) &&
         set_item(d, "termination_reason", py_str(termination_reason(mode, s))) &&
         set_item(d, "rounding_performed", py_bool(s.rounding_performed)) &&
         set_item(d, "rounding_success", py_bool(s.rounding_success)) &&
         set_item(d, "final_integer_cost", optional_int(s.final_integer_cost)) &&
         set_item(d, "post_rounding_gap", optional_float(s.post_rounding_gap)) &&
         set_item(d, "cycles_canceled", PyLong_FromSize_t(s.cycles_canceled)) &&
         set_item(d, "rounding_adjustment_cost", optional_int(s.rounding_adjustment_cost)) &&
         set_item(d, "is_exact_optimal", py_bool(s.is_exact_optimal)) &&
         set_item(d, "deterministic_mode_used", py_bool(s.deterministic_mode_used)) &&
         set_item(d, "seed_used", optional_int(s.seed_used)) &&
         set_item(d, "numerical_clamping_occurred", py_bool(s.numerical_clamping_occurred)) &&
         set_item(d, "max_barrier_value", PyFloat_FromDouble(s.max_barrier_value)) &&
         set_item(d, "min_residual_seen", PyFloat_FromDouble(s.min_residual_seen));
    return ok ? dict.release() : nullptr;
}

// ---- entry points --------------------------------------------------------

#define ZELK_OPTION_NAME(name, input, stored, initial) #name,
constexpr const char* OPTION_KEYWORDS[] = {ZELK_OPTION_KEYWORDS(ZELK_OPTION_NAME)};
#undef ZELK_OPTION_NAME
#define ZELK_OPTION_MEMBER(name, input, stored, initial) &OptionArgs::name,
constexpr PyObject* OptionArgs::* OPTION_SLOTS[] = {ZELK_OPTION_KEYWORDS(ZELK_OPTION_MEMBER)};
#undef ZELK_OPTION_MEMBER
constexpr std::size_t OPTION_COUNT = zelk::OPTION_KEYWORD_COUNT;
// The parser below passes exactly this many keyword slots.
static_assert(OPTION_COUNT == 24);

enum class Entry { WithOptions, WithScaling, RunIpm };

const char* entry_name(Entry entry) {
    switch (entry) {
        case Entry::WithOptions: return "min_cost_flow_edges_with_options";
        case Entry::WithScaling: return "min_cost_flow_edges_with_scaling";
        case Entry::RunIpm: return "run_ipm_edges";
    }
    return "";
}

// Whether an entry takes a keyword: the scaling entry has no use_ipm and
// no use_scaling (it always scales).
bool accepts(Entry entry, std::string_view keyword) {
    return entry != Entry::WithScaling || (keyword != "use_ipm" && keyword != "use_scaling");
}

// Parses the seven problem arguments and the keyword-only options of one
// option-taking entry.
bool parse_option_entry(PyObject* args, PyObject* kwargs, Entry entry, ProblemArgs& p,
                        OptionArgs& o) {
    std::vector<const char*> kwlist = {"n", "tail", "head", "lower", "upper", "cost", "demand"};
    std::vector<PyObject * OptionArgs::*> used;
    for (std::size_t k = 0; k < OPTION_COUNT; ++k) {
        if (!accepts(entry, OPTION_KEYWORDS[k])) continue;
        kwlist.push_back(OPTION_KEYWORDS[k]);
        used.push_back(OPTION_SLOTS[k]);
    }
    kwlist.push_back(nullptr);
    PyObject* v[OPTION_COUNT] = {};
    // The name after ':' makes the interpreter's own argument errors name
    // the function.
    const std::string format =
        "OOOOOOO|$" + std::string(used.size(), 'O') + ":" + entry_name(entry);
    const int rc = PyArg_ParseTupleAndKeywords(
        args, kwargs, format.c_str(), const_cast<char**>(kwlist.data()), &p.n, &p.tail, &p.head,
        &p.lower, &p.upper, &p.cost, &p.demand, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
        &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13], &v[14], &v[15], &v[16], &v[17], &v[18],
        &v[19], &v[20], &v[21], &v[22], &v[23]);
    if (!rc) return false;
    for (std::size_t k = 0; k < used.size(); ++k) o.*used[k] = v[k];
    return true;
}

// "name(n, tail, head, lower, upper, cost, demand, *, kw=None, ...)\n--\n\n",
// from which the interpreter derives __text_signature__ and an empty __doc__.
std::string option_signature(Entry entry) {
    std::string text =
        std::string(entry_name(entry)) + "(n, tail, head, lower, upper, cost, demand, *";
    for (const char* keyword : OPTION_KEYWORDS) {
        if (accepts(entry, keyword)) text += std::string(", ") + keyword + "=None";
    }
    return text + ")\n--\n\n";
}

const std::string WITH_OPTIONS_DOC = option_signature(Entry::WithOptions);
const std::string WITH_SCALING_DOC = option_signature(Entry::WithScaling);
const std::string RUN_IPM_DOC = option_signature(Entry::RunIpm);

PyObject* min_cost_flow_edges(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"n",     "tail", "head",   "lower",
                                   "upper", "cost", "demand", nullptr};
    return guarded([&]() -> PyObject* {
        ProblemArgs p;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:min_cost_flow_edges",
                                         const_cast<char**>(kwlist), &p.n, &p.tail, &p.head,
                                         &p.lower, &p.upper, &p.cost, &p.demand)) {
            return nullptr;
        }
        auto problem = build_problem("min_cost_flow_edges", p);
        if (!problem) return nullptr;
        const McfOptions options = *zelk::build_options({});
        auto solution = without_lock([&](const SolveContext& ctx) {
            return zelk::min_cost_flow_exact(*problem, options, ctx);
        });
        if (!solution) return raise_solver_error(solution.error());
        return new_int64_array(solution->flow);
    });
}

PyObject* solve_with_keywords(PyObject* args, PyObject* kwargs, Entry entry) {
    return guarded([&]() -> PyObject* {
        ProblemArgs p;
        OptionArgs o;
        if (!parse_option_entry(args, kwargs, entry, p, o)) return nullptr;
        auto problem = build_problem(entry_name(entry), p);
        if (!problem) return nullptr;
        auto options = build_options(entry_name(entry), o);
        if (!options) return nullptr;
        if (entry == Entry::WithScaling) {
            options->use_ipm.reset();
            options->use_scaling = true;
        }
        auto solution = without_lock([&](const SolveContext& ctx) {
            return zelk::min_cost_flow_exact(*problem, *options, ctx);
        });
        if (!solution) return raise_solver_error(solution.error());
        Ref flow(new_int64_array(solution->flow));
        if (!flow) return nullptr;
        Ref stats(stats_to_dict(solution->solver_mode, solution->ipm_summary));
        if (!stats) return nullptr;
        return PyTuple_Pack(2, flow.p, stats.p);
    });
}

PyObject* min_cost_flow_edges_with_options(PyObject*, PyObject* args, PyObject* kwargs) {
    return solve_with_keywords(args, kwargs, Entry::WithOptions);
}

PyObject* min_cost_flow_edges_with_scaling(PyObject*, PyObject* args, PyObject* kwargs) {
    return solve_with_keywords(args, kwargs, Entry::WithScaling);
}

PyObject* new_float64_array(const std::vector<double>& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* out = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
    if (out == nullptr) return nullptr;
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), values.data(),
                    values.size() * sizeof(double));
    }
    return out;
}

// The fractional interior-point flow itself: no rounding, no fallback, and
// the worker pool is left as it is.
PyObject* run_ipm_edges(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ProblemArgs p;
        OptionArgs o;
        if (!parse_option_entry(args, kwargs, Entry::RunIpm, p, o)) return nullptr;
        auto problem = build_problem(entry_name(Entry::RunIpm), p);
        if (!problem) return nullptr;
        auto options = build_options(entry_name(Entry::RunIpm), o);
        if (!options) return nullptr;
        auto result = without_lock(
            [&](const SolveContext& ctx) { return zelk::run_ipm(*problem, *options, ctx); });
        if (!result) return raise_solver_error(result.error());
        const auto summary = zelk::IpmSummary::from_ipm(*result, result->termination, *options);
        Ref flow(new_float64_array(result->flow));
        if (!flow) return nullptr;
        Ref stats(stats_to_dict(SolverMode::Ipm, summary));
        if (!stats) return nullptr;
        return PyTuple_Pack(2, flow.p, stats.p);
    });
}

PyMethodDef METHODS[] = {
    {"min_cost_flow_edges",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(min_cost_flow_edges)),
     METH_VARARGS | METH_KEYWORDS,
     "min_cost_flow_edges(n, tail, head, lower, upper, cost, demand)\n--\n\n"},
    {"min_cost_flow_edges_with_options",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(min_cost_flow_edges_with_options)),
     METH_VARARGS | METH_KEYWORDS, WITH_OPTIONS_DOC.c_str()},
    {"min_cost_flow_edges_with_scaling",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(min_cost_flow_edges_with_scaling)),
     METH_VARARGS | METH_KEYWORDS, WITH_SCALING_DOC.c_str()},
    {"run_ipm_edges", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_ipm_edges)),
     METH_VARARGS | METH_KEYWORDS, RUN_IPM_DOC.c_str()},
    {nullptr, nullptr, 0, nullptr},
};

int add_attribute(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc;
}

// Fills the attributes: __version__, the four functions, __doc__, __all__.
int exec_module(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (add_attribute(module, "__version__", PyUnicode_FromString(VERSION)) < 0) return -1;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def = METHODS; def->ml_name != nullptr; ++def) {
        if (add_attribute(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.p)) <
            0) {
            return -1;
        }
    }
    if (add_attribute(module, "__doc__",
                      PyUnicode_FromString("Core bindings of the zelk_mcf package: exact "
                                           "minimum-cost flow on NumPy edge arrays.")) < 0) {
        return -1;
    }
    Ref all(Py_BuildValue("[sssss]", "min_cost_flow_edges", "min_cost_flow_edges_with_options",
                          "min_cost_flow_edges_with_scaling", "run_ipm_edges", "__version__"));
    return add_attribute(module, "__all__", all.release());
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&MODULE); }
