"""The module surface: attributes, signatures, argument conversion, messages."""

import inspect

import numpy as np
import pytest
import zelk_mcf
from conftest import i64
from zelk_mcf import _core

FUNCTIONS = [
    "min_cost_flow_edges",
    "min_cost_flow_edges_with_options",
    "min_cost_flow_edges_with_scaling",
    "run_ipm_edges",
]
OPTION_KEYWORDS = [
    "strategy",
    "oracle_mode",
    "rebuild_every",
    "max_iters",
    "gap_exponent",
    "gap_tolerance",
    "tolerance",
    "numerical_clamp_log",
    "residual_min",
    "barrier_alpha_min",
    "barrier_alpha_max",
    "barrier_clamp_max",
    "gradient_clamp_max",
    "log_numerical_clamping",
    "seed",
    "deterministic_seed",
    "threads",
    "alpha",
    "use_ipm",
    "use_scaling",
    "force_cost_scaling",
    "disable_capacity_scaling",
    "approx_factor",
    "deterministic",
]
PROBLEM_ARGS = ["n", "tail", "head", "lower", "upper", "cost", "demand"]


def test_attributes_in_order():
    assert _core.__file__.endswith("_core.abi3.so")  # the stable-ABI build
    names = [k for k in vars(_core) if not k.startswith("__") or k in ("__version__", "__all__")]
    assert names == ["__version__", *FUNCTIONS, "__all__"]
    assert _core.__version__ == zelk_mcf.__version__ == "0.2.0"
    assert _core.__all__ == [*FUNCTIONS, "__version__"]
    assert "zelk_mcf" in _core.__doc__ and "\n" not in _core.__doc__.strip()
    for name in FUNCTIONS:
        assert getattr(zelk_mcf, name) is getattr(_core, name)


def test_text_signatures():
    plain = _core.min_cost_flow_edges
    assert plain.__text_signature__ == "(n, tail, head, lower, upper, cost, demand)"
    assert not plain.__doc__
    for name in FUNCTIONS[1:]:
        sig = inspect.signature(getattr(_core, name))
        params = list(sig.parameters.values())
        expected = list(OPTION_KEYWORDS)
        if name == "min_cost_flow_edges_with_scaling":
            expected.remove("use_ipm")
            expected.remove("use_scaling")
        assert [p.name for p in params] == PROBLEM_ARGS + expected
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params[:7])
        assert all(p.kind is p.KEYWORD_ONLY and p.default is None for p in params[7:])


def test_result_is_a_fresh_int64_array(small_instance):
    assert _core.min_cost_flow_edges(**small_instance).tolist() == [0, 2, 2]
    flow = _core.min_cost_flow_edges(*small_instance.values())
    assert flow.dtype == np.int64 and flow.ndim == 1 and flow.flags.owndata
    assert flow.flags.c_contiguous and flow.flags.writeable
    e = i64([])
    assert _core.min_cost_flow_edges(0, e, e, e, e, e, e).shape == (0,)


@pytest.mark.parametrize("position, name", list(enumerate(PROBLEM_ARGS))[1:])
@pytest.mark.parametrize(
    "bad, got",
    [
        (np.zeros(3, dtype=np.int32), "int32"),
        (np.zeros(3, dtype=np.float64), "float64"),
        (np.zeros(3, dtype=np.uint64), "uint64"),
        (np.zeros(3, dtype=">i8"), ">i8"),
        (np.zeros((3, 1), dtype=np.int64), "2-dimensional array"),
        ([0, 0, 0], "list"),
        (None, "NoneType"),
    ],
)
def test_wrong_array_types_are_rejected_not_converted(small_instance, position, name, bad, got):
    args = list(small_instance.values())
    args[position] = bad
    with pytest.raises(TypeError) as err:
        _core.min_cost_flow_edges(*args)
    assert str(err.value) == (
        f"min_cost_flow_edges() argument '{name}': expected a one-dimensional int64 "
        f"numpy.ndarray, got {got}"
    )


def test_equivalent_dtypes_and_read_only_inputs_are_accepted(small_instance):
    args = dict(small_instance)
    args["cost"] = args["cost"].astype(np.longlong)
    for key in ("tail", "head", "lower", "upper", "demand"):
        args[key] = args[key].copy()
        args[key].flags.writeable = False
    before = {k: v.copy() for k, v in args.items() if k != "n"}
    assert _core.min_cost_flow_edges(**args).tolist() == [0, 2, 2]
    for k, v in before.items():
        np.testing.assert_array_equal(args[k], v)


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2.0, TypeError), ("3", TypeError)])
def test_node_count_conversion(small_instance, bad, exc):
    with pytest.raises(exc):
        _core.min_cost_flow_edges(**{**small_instance, "n": bad})


@pytest.mark.parametrize("name", ["tail", "head", "lower", "upper", "cost", "demand"])
@pytest.mark.parametrize(
    "view",
    [lambda a: np.repeat(a, 2)[::2], lambda a: a[::-1].copy()[::-1]],
    ids=["every-second", "reversed"],
)
def test_non_contiguous_arrays(small_instance, name, view):
    strided = view(small_instance[name])
    np.testing.assert_array_equal(strided, small_instance[name])
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        _core.min_cost_flow_edges(**{**small_instance, name: strided})
    # A fresh copy of the same values is fine.
    _core.min_cost_flow_edges(**{**small_instance, name: strided.copy()})


def test_build_problem_checks_in_order():
    e3 = i64([0, 0, 0])
    ok = dict(
        n=3,
        tail=i64([0, 1, 2]),
        head=i64([1, 2, 0]),
        lower=e3,
        upper=i64([1, 1, 1]),
        cost=e3,
        demand=e3,
    )

    def message(**changes):
        with pytest.raises(ValueError) as err:
            _core.min_cost_flow_edges(**{**ok, **changes})
        return str(err.value)

    # tail/head lengths beat a wrong attribute length.
    assert message(head=i64([1, 2]), lower=i64([0])) == "tail and head arrays must match length"
    assert message(tail=i64([0, -1, 2])) == "tail index out of range"
    assert message(head=i64([1, 2, 2**32])) == "head index out of range"
    # Per edge: the tail of edge 0 is checked before the head of edge 0.
    assert message(tail=i64([-1, 0, 0]), head=i64([-1, 0, 0])) == "tail index out of range"
    assert message(tail=i64([0, 0, 0]), head=i64([-5, 0, 0])) == "head index out of range"
    assert message(cost=i64([0, 0])) == "edge attribute arrays must match tail/head length"
    assert message(demand=i64([0, 0])) == "demand length does not match n"
    assert message(tail=i64([4294967295, 0, 0])) == (
        'InvalidInput("edge endpoint outside node range")'
    )
    assert message(demand=i64([1, 0, 0])) == 'InvalidInput("demands must sum to zero")'
    assert message(lower=i64([2, 0, 0])) == 'InvalidInput("lower bound exceeds upper bound")'


HI = np.iinfo(np.int64).max


@pytest.mark.parametrize(
    "lower, upper, demand, message",
    [
        ([0], [1], [-2, 2], "Infeasible"),
        ([-HI - 1], [HI], [0, 0], 'InvalidInput("negative residual capacity")'),
    ],
)
def test_solver_errors_raise_runtime_error_in_text_form(lower, upper, demand, message):
    with pytest.raises(RuntimeError) as err:
        _core.min_cost_flow_edges(
            2, i64([0]), i64([1]), i64(lower), i64(upper), i64([1]), i64(demand)
        )
    assert str(err.value) == message


def test_option_entries_on_the_classic_route(small_instance):
    flow, stats = _core.min_cost_flow_edges_with_options(**small_instance)
    assert flow.tolist() == [0, 2, 2]
    assert stats == {
        "solver_mode": "classic",
        "termination": "classic",
        "iterations": 0,
        "final_gap": 0.0,
    }
    assert list(stats) == ["solver_mode", "termination", "iterations", "final_gap"]
    flow, stats = _core.min_cost_flow_edges_with_scaling(
        **small_instance, deterministic=False, threads=4
    )
    assert flow.tolist() == [0, 2, 2] and stats["solver_mode"] == "classic"


def test_scaling_entry_has_no_ipm_switches(small_instance):
    for keyword in ("use_ipm", "use_scaling"):
        with pytest.raises(TypeError, match=keyword):
            _core.min_cost_flow_edges_with_scaling(**small_instance, **{keyword: True})


def test_option_errors_come_after_problem_errors(small_instance):
    with pytest.raises(ValueError, match="^gap_exponent must be positive$"):
        _core.min_cost_flow_edges_with_options(**small_instance, gap_exponent=0.0, strategy="bogus")
    with pytest.raises(ValueError, match="^demand length does not match n$"):
        _core.min_cost_flow_edges_with_options(**{**small_instance, "n": 4}, gap_exponent=0.0)


@pytest.mark.parametrize(
    "keyword, value",
    [
        ("strategy", 3),
        ("max_iters", 1.5),
        ("threads", "2"),
        ("tolerance", "x"),
        ("deterministic", 1),
        ("use_ipm", 0),
        ("gap_tolerance", [1.0]),
    ],
)
def test_keyword_types(small_instance, keyword, value):
    with pytest.raises(TypeError, match=keyword):
        _core.min_cost_flow_edges_with_options(**small_instance, **{keyword: value})


def test_keyword_values_accepted(small_instance):
    import fractions

    flow, _ = _core.min_cost_flow_edges_with_options(
        **small_instance,
        strategy="Full-Dynamic",
        oracle_mode="HYBRID",
        rebuild_every=0,
        max_iters=0,
        tolerance=fractions.Fraction(1, 3),
        seed=2**64 - 1,
        alpha=None,
        approx_factor=0.0,
        deterministic=True,
        use_ipm=False,
    )
    assert flow.tolist() == [0, 2, 2]
    with pytest.raises(OverflowError, match="rebuild_every"):
        _core.min_cost_flow_edges_with_options(**small_instance, rebuild_every=-1)


def test_type_stub_keeps_step_with_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(zelk_mcf.__file__).with_name("_core.pyi")
    tree = ast.parse(stub.read_text())
    fields = {
        node.name: [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }
    options = fields["ScalingOptions"] + fields["Options"]
    scaling_keywords = [k for k in OPTION_KEYWORDS if k not in ("use_ipm", "use_scaling")]
    assert sorted(fields["ScalingOptions"]) == sorted(scaling_keywords)
    assert sorted(options) == sorted(OPTION_KEYWORDS)
    stubbed = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert stubbed == set(FUNCTIONS)


@pytest.mark.parametrize(
    "keywords, message",
    [
        ({"gap_exponent": 0.0}, "gap_exponent must be positive"),
        ({"gap_tolerance": -1.0}, "gap_tolerance must be positive"),
        ({"numerical_clamp_log": 0}, "numerical_clamp_log must be positive"),
        ({"residual_min": 0.0}, "residual_min must be positive"),
        ({"barrier_alpha_min": 0.0}, "barrier_alpha_min must be positive"),
        ({"barrier_alpha_max": -1.0}, "barrier_alpha_max must be positive"),
        ({"barrier_clamp_max": 0.0}, "barrier_clamp_max must be positive"),
        ({"gradient_clamp_max": 0.0}, "gradient_clamp_max must be positive"),
        ({"alpha": 0.0}, "alpha must be positive"),
        ({"approx_factor": -0.5}, "approx_factor must be non-negative"),
        ({"strategy": "full dynamic"}, "strategy must be 'full_dynamic' or 'periodic_rebuild'"),
        ({"oracle_mode": "static"}, "oracle_mode must be 'dynamic', 'fallback', or 'hybrid'"),
        ({"oracle_mode": " hybrid"}, "oracle_mode must be 'dynamic', 'fallback', or 'hybrid'"),
        (
            {"alpha": -1.0, "approx_factor": -1.0, "gap_exponent": -1.0},
            "gap_exponent must be positive",
        ),
        (
            {"oracle_mode": "x", "strategy": "y"},
            "strategy must be 'full_dynamic' or 'periodic_rebuild'",
        ),
    ],
)
def test_option_messages(small_instance, keywords, message):
    with pytest.raises(ValueError) as err:
        _core.min_cost_flow_edges_with_options(**small_instance, **keywords)
    assert str(err.value) == message


@pytest.mark.parametrize("entry", FUNCTIONS[1:])
def test_entries_share_the_option_checks(small_instance, entry):
    with pytest.raises(ValueError, match="^alpha must be positive$"):
        getattr(_core, entry)(**small_instance, alpha=0.0)


@pytest.mark.parametrize("entry", FUNCTIONS)
def test_argument_errors_name_the_function_and_the_argument(small_instance, entry):
    fn = getattr(_core, entry)
    with pytest.raises(TypeError, match=rf"^{entry}\(\) argument 'n' must be int, not float$"):
        fn(**{**small_instance, "n": 3.0})
    with pytest.raises(TypeError, match=rf"^{entry}\(\) missing required argument 'demand'"):
        fn(*list(small_instance.values())[:6])
    with pytest.raises(TypeError, match=rf"{entry}\(\)"):
        fn(**small_instance, bogus=1)
    if entry != "min_cost_flow_edges":
        with pytest.raises(
            TypeError,
            match=rf"^{entry}\(\) argument 'deterministic' must be "
            r"bool, not numpy\.int64$",
        ):
            fn(**small_instance, deterministic=np.int64(1))
        with pytest.raises(
            TypeError,
            match=rf"^{entry}\(\) argument 'seed' must be int, "
            r"not float$",
        ):
            fn(**small_instance, seed=1.5)


def test_numpy_scalars_are_accepted(small_instance):
    # What tail.max() + 1 and numpy comparisons give.
    args = {**small_instance, "n": np.int64(3)}
    assert _core.min_cost_flow_edges(**args).tolist() == [0, 2, 2]
    flow, _ = _core.min_cost_flow_edges_with_options(
        **args,
        deterministic=np.False_,
        use_ipm=np.bool_(False),
        max_iters=np.uint32(5),
        seed=np.int64(4),
        tolerance=np.float32(1e-6),
    )
    assert flow.tolist() == [0, 2, 2]


def test_a_failed_allocation_raises_memory_error_and_the_module_survives():
    # Under an address-space limit the core cannot allocate a 60M-node
    # instance: std::bad_alloc must become MemoryError, not kill the process.
    code = """
import resource, numpy as np, zelk_mcf
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
n = 80_000_000
e = np.zeros(0, np.int64)
try:
    zelk_mcf.min_cost_flow_edges(n, e, e, e, e, e, np.zeros(n, np.int64))
    print("solved")
except MemoryError:
    print("memory error")
i = lambda *v: np.array(v, dtype=np.int64)
print(zelk_mcf.min_cost_flow_edges(2, i(0), i(1), i(0), i(3), i(1), i(-2, 2)).tolist())
"""
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["memory error", "[2]"]
