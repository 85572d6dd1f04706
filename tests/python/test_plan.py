"""The kettara module: quennel.wfm.Plan, PlanFromBlob and PlanFromFile."""

import ast
import pathlib
import threading

import numpy as np
import pytest
from quennel.scene import Composer

import kettara

SINGLE = (
    '{"segments": [{"num_samples": 6000, "delay_samples": 300, "off_samples": [100, 900],'
    ' "repeats": 2, "sum": [{"type": "tone", "freq": 0.05}, {"type": "bpsk", "snr": 10, "sps": 8}]}]}'
)
SEVERAL = (
    '{"segments": [{"type": "qpsk", "snr": 12, "num_samples": 4000, "off_samples": 200},'
    ' {"num_samples": 3000, "sum": [{"type": "tone", "freq": 0.1, "background": true},'
    ' {"type": "chirp", "freq": -0.2, "f_end": 0.2}, {"type": "noise", "level": -15, "seed": 4}]}]}'
)
NOISELESS = '{"segments": [{"type": "tone", "freq": 0.125, "num_samples": 500}]}'


def compose(scene: str) -> np.ndarray:
    """The whole stream of the scene's composer."""
    blocks = []
    with Composer(scene) as composer:
        while True:
            block = np.empty(4096, np.complex64)
            n = composer.read(block)
            if n == 0:
                return np.concatenate(blocks)
            blocks.append(block[:n])


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def test_type_and_module_surface():
    assert kettara.Plan.__name__ == "Plan" and kettara.Plan.__module__ == "quennel.wfm"
    assert kettara.Plan.__doc__ == "Plan \u2014 handle over `kettara`."
    assert kettara.PlanFromBlob.__doc__ == "Construct a Plan via kettara_restore."
    assert kettara.PlanFromFile.__doc__ == "Construct a Plan via kettara_load."
    with pytest.raises(TypeError):
        type("Sub", (kettara.Plan,), {})
    for method in ("render", "at", "length", "n_sources", "anchor_seed", "save", "dump"):
        doc = getattr(kettara.Plan, method).__doc__
        assert "Returns" in doc or "Raises" in doc, method


@pytest.mark.parametrize("method, summary", [
    ("render", "General render: apply a JSON override spec, return a cf32 array."),
    ("at", "Scalar fast-path for the hot Monte-Carlo/SNR loop (no JSON parse)."),
    ("length", "Worst-case materialized length in samples"),
    ("n_sources", "Number of cached signal sources across every segment"),
    ("anchor_seed", "The noise seed that reproduces a full compose."),
    ("save", "Serialize a Plan into blob (kettara_save_bytes(p) bytes)."),
    ("dump", "Save a Plan to a file (kettara_save() bytes at path)."),
    ("close", "Release the handle and free resources."),
])
def test_docstring_summaries(method, summary):
    assert getattr(kettara.Plan, method).__doc__.startswith(summary)


def test_stubs_describe_the_module():
    stub = pathlib.Path(__file__).parents[2] / "python" / "kettara-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    top = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert top == {name for name in dir(kettara) if not name.startswith("_")}
    plan = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Plan")
    stubbed = {n.name for n in plan.body if isinstance(n, ast.FunctionDef)}
    assert stubbed >= {m for m in dir(kettara.Plan) if not m.startswith("_")}


@pytest.mark.parametrize("call, exc, message", [
    (lambda: kettara.Plan("not a scene"), RuntimeError, "kettara_prepare failed"),
    (lambda: kettara.Plan('{"repeat": true, "segments": [{"type": "tone", "num_samples": 4}]}'),
     RuntimeError, "kettara_prepare failed"),
    (lambda: kettara.Plan(None), TypeError, None),
    (lambda: kettara.Plan(NOISELESS).render(None), TypeError, None),
    (lambda: kettara.Plan(NOISELESS).at("x", 1), TypeError, None),
    (lambda: kettara.PlanFromBlob(b""), ValueError, "PlanFromBlob failed"),
    (lambda: kettara.PlanFromBlob("text"), TypeError, None),
    (lambda: kettara.PlanFromFile("/nonexistent/plan.pln"), ValueError, "PlanFromFile failed"),
    (lambda: kettara.Plan(NOISELESS).dump("/nonexistent/plan.pln"), OSError,
     "kettara_dump failed (rc=-1)"),
])
def test_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("scene, note", [
    ('{"repeat": true, "segments": [{"type": "tone", "num_samples": 4}]}',
     "the scene repeats (\"repeat\" or \"continuous\") and a plan renders one pass: render it with "
     "quennel render --samples N, or drop \"repeat\" and \"continuous\""),
    ('{"segments": [{"type": "tone", "num_samples": 4}, {"type": "tone", "freq": [0.1, 0.2], "num_samples": 4}]}',
     "segment 2, source 1 has a ranged \"freq\" ([lo, hi]) and a plan caches fixed values: give it one value, "
     "or render the scene with quennel render, which streams it"),
])
def test_refusal_keeps_its_text_and_notes_the_reason(scene, note):
    with pytest.raises(RuntimeError) as info:
        kettara.Plan(scene)
    assert str(info.value) == "kettara_prepare failed"
    assert info.value.__notes__ == [note]


def test_context_manager_and_closed_plan():
    with kettara.Plan(NOISELESS) as plan:
        assert isinstance(plan, kettara.Plan)
        assert plan.length() == 500
    calls = [lambda: plan.render(""), lambda: plan.at(0.0, 1), plan.length, plan.n_sources,
             plan.anchor_seed, plan.save, lambda: plan.dump("/tmp/never-written.pln")]
    for call in calls:
        with pytest.raises(RuntimeError, match="^Plan is closed$"):
            call()
    plan.close()
    plan.close()
    with pytest.raises(ZeroDivisionError):
        with kettara.Plan(NOISELESS):
            1 / 0


def test_a_failed_constructor_leaves_an_empty_or_closed_plan():
    fresh = kettara.Plan.__new__(kettara.Plan)
    with pytest.raises(RuntimeError):
        fresh.__init__("not a scene")
    assert fresh.length() == 0 and fresh.n_sources() == 0 and fresh.anchor_seed() == 0
    assert fresh.render("{}").shape == (0,) and fresh.save() == b""
    reused = kettara.Plan(NOISELESS)
    with pytest.raises(RuntimeError):
        reused.__init__("not a scene")
    with pytest.raises(RuntimeError, match="Plan is closed"):
        reused.length()
    reused.__init__(SINGLE)
    assert reused.n_sources() == 2


@pytest.mark.parametrize("scene", [SINGLE, SEVERAL])
def test_baseline_render_is_the_composition(scene):
    plan = kettara.Plan(scene)
    composed = compose(scene)
    for overrides in ("", "{}", "not json"):
        out = plan.render(overrides)
        assert out.dtype == np.complex64 and out.flags.c_contiguous
        assert same_bits(out, composed)


def test_anchor_seed_and_base_snr_reproduce_the_composition():
    plan = kettara.Plan(SINGLE)
    assert same_bits(plan.at(10.0, plan.anchor_seed()), compose(SINGLE))


def test_seeds_wrap_and_lengths_stay_within_length():
    plan = kettara.Plan(SINGLE)
    assert same_bits(plan.at(3.0, -1), plan.at(3.0, 2**64 - 1))
    assert same_bits(plan.at(3.0, -1), plan.at(3.0, 2**32 - 1))
    sizes = {plan.at(3.0, seed).size for seed in range(20)}
    assert len(sizes) > 5 and max(sizes) <= plan.length() == 2 * (300 + 6000 + 900)


def test_blobs_and_files_round_trip(tmp_path):
    plan = kettara.Plan(SEVERAL)
    blob = plan.save()
    assert isinstance(blob, bytes) and blob[:4] == b"PLN0"
    restored = kettara.PlanFromBlob(blob)
    path = tmp_path / "several.pln"
    assert plan.dump(path=path) is None
    loaded = kettara.PlanFromFile(path)
    for other in (restored, loaded):
        assert other.length() == plan.length() and other.n_sources() == plan.n_sources() == 3
        assert same_bits(other.render('{"seed": 9}'), plan.render('{"seed": 9}'))


def test_out_receives_the_render_and_is_returned():
    plan = kettara.Plan(SEVERAL)
    out = np.full(plan.length(), 7 + 7j, np.complex64)
    assert plan.at(4.0, 9, out=out) is out
    assert same_bits(out, plan.at(4.0, 9))
    assert plan.render('{"seed": 3}', out=out) is out
    assert same_bits(out, plan.render('{"seed": 3}'))
    assert plan.at(4.0, 9, out=None).size == plan.length()
    # Fewer samples than length() (ranged gaps): a view of out's first ones, the rest zero.
    ranged = kettara.Plan(SINGLE)
    out = np.full(ranged.length(), 7 + 7j, np.complex64)
    for seed in range(5):
        got = ranged.at(3.0, seed, out=out)
        assert got.base is out and np.shares_memory(got, out)
        assert same_bits(got, ranged.at(3.0, seed)) and not out[got.size:].any()


@pytest.mark.parametrize("out, exc, message", [
    ([0j] * 7200, TypeError, "out must be a numpy.ndarray"),
    (np.zeros(7200, np.complex128), TypeError, "out must have dtype complex64 in native byte order"),
    (np.zeros(7200, np.dtype(">c8")), TypeError, "out must have dtype complex64 in native byte order"),
    (np.zeros((2, 3600), np.complex64), ValueError, "out must be one-dimensional"),
    (np.zeros(14400, np.complex64)[::2], ValueError, "out must be C-contiguous"),
    (np.zeros(7199, np.complex64), ValueError, "out must hold exactly length() = 7200 samples, not 7199"),
    (np.zeros(7201, np.complex64), ValueError, "out must hold exactly length() = 7200 samples, not 7201"),
])
def test_unusable_out_is_refused_and_left_alone(out, exc, message):
    plan = kettara.Plan(SEVERAL)
    assert plan.length() == 7200
    before = np.array(out, copy=True)
    for call in (lambda: plan.at(1.0, 2, out=out), lambda: plan.render("", out=out)):
        with pytest.raises(exc, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
            call()
        assert np.array_equal(np.asarray(out), before)
    read_only = np.zeros(7200, np.complex64)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="^out must be writable$"):
        plan.at(1.0, 2, out=read_only)
    with pytest.raises(TypeError):
        plan.at(1.0, 2, np.zeros(7200, np.complex64))  # out is keyword-only


def test_threads_render_one_plan_at_once():
    plan = kettara.Plan(SEVERAL)
    seeds = list(range(1, 9))
    serial = [plan.at(5.0, s) for s in seeds]
    results = [None] * len(seeds)

    def work(i):
        for _ in range(5):
            results[i] = plan.at(5.0, seeds[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(seeds))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(a, b) for a, b in zip(results, serial))


@pytest.mark.parametrize("interrupt", ["close", "reinit"])
def test_close_or_reinit_while_rendering_keeps_the_plan_alive(interrupt):
    # Long enough that the interruption lands while renders run without the interpreter lock.
    scene = '{"segments": [{"type": "bpsk", "snr": 5, "num_samples": 400000}]}'
    old = kettara.Plan(scene).at(5.0, 3)
    new = kettara.Plan(NOISELESS).at(5.0, 3)
    for _ in range(5):
        plan = kettara.Plan(scene)
        started = threading.Event()
        outcomes = []

        def work():
            started.set()
            for _ in range(40):
                try:
                    out = plan.at(5.0, 3)
                except RuntimeError as e:
                    outcomes.append(str(e))
                    return
                outcomes.append("old" if same_bits(out, old) else "new" if same_bits(out, new) else "bad")

        threads = [threading.Thread(target=work) for _ in range(2)]
        for t in threads:
            t.start()
        started.wait()
        if interrupt == "close":
            plan.close()
        else:
            plan.__init__(NOISELESS)
        for t in threads:
            t.join()
        allowed = {"old", "Plan is closed"} if interrupt == "close" else {"old", "new"}
        assert outcomes and set(outcomes) <= allowed
