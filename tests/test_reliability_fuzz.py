"""Each fuzz target of fuzz/ runs for a few seconds (all of them at once, in
their own processes, on the ordinary build) and must end without a fault, a
native crash, a hang or runaway memory; the `vexatvm` target's mutations and
its verdicts on the command's endings are checked here too.  Inputs that once found a fault are kept in
fuzz/seeds/TARGET/ and replayed first.  Longer runs: scripts/fuzz.sh TARGET SECONDS."""

import os
import subprocess
import sys

import pytest
from conftest import ROOT, STANDIN_DIR, requires_tvm

pytestmark = requires_tvm

TARGETS = ("hwinquire", "standin_yaml", "release_tag", "graphmeld", "checks", "vexatvm")
SECONDS = int(os.environ.get("VEXA_FUZZ_SECONDS", "4"))


@pytest.fixture(scope="module")
def fuzz_runs(tmp_path_factory):
    """{target: (exit status, output)} of one bounded run of every target."""
    env = dict(os.environ, TVM_LIBRARY_PATH=str(STANDIN_DIR))
    processes = {}
    for target in TARGETS:
        work = tmp_path_factory.mktemp(target)
        seeds = ROOT / "fuzz" / "seeds" / target
        corpora = [str(work / "corpus")] + ([str(seeds)] if seeds.is_dir() else [])
        os.mkdir(corpora[0])
        command = [
            sys.executable,
            str(ROOT / "fuzz" / "run.py"),
            target,
            f"-max_total_time={SECONDS}",
            "-timeout=60",
            "-rss_limit_mb=3072",
            f"-artifact_prefix={work}/",
            *corpora,
        ]
        processes[target] = subprocess.Popen(
            command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
        )
    results = {}
    for target, process in processes.items():
        output, _ = process.communicate(timeout=SECONDS + 240)
        results[target] = (process.returncode, output)
    return results


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_target_runs_clean(fuzz_runs, target):
    status, output = fuzz_runs[target]
    assert status == 0, output[-4000:]
    done = [line for line in output.splitlines() if line.startswith("Done ")]
    assert done and int(done[-1].split()[1]) > 0, output[-2000:]


# --- the vexatvm target's mutations and verdicts ---------------------------------


@pytest.fixture(scope="module")
def vexatvm_target():
    sys.path[:0] = [str(ROOT / "fuzz"), str(ROOT / "standin" / "host")]
    try:
        from targets import vexatvm
    finally:
        del sys.path[:2]
    return vexatvm


SEEDS = sorted((ROOT / "fuzz" / "seeds" / "vexatvm").iterdir())


@pytest.mark.parametrize("seed", SEEDS, ids=lambda path: path.name)
def test_structure_mutations_change_models_and_keep_them_readable(vexatvm_target, seed):
    import random

    import onnx

    data = seed.read_bytes()
    mutated = [vexatvm_target.mutate_structure(data, random.Random(number)) for number in range(200)]
    assert sum(m != data for m in mutated) > 150
    if seed.suffix == ".onnx":
        assert all(onnx.load_model_from_string(m).graph.node is not None for m in mutated)
        assert len({m for m in mutated}) > 100
    else:  # word overwrites: the identifier and the length stay
        assert all(m[4:8] == b"TFL3" and len(m) == len(data) for m in mutated)
    assert vexatvm_target.mutate_structure(b"\xff" * 16, random.Random(0)) is None


def _onnx_model(nodes, initializer_shape=(4,)):
    import numpy as np
    from onnx import TensorProto, helper, numpy_helper

    graph = helper.make_graph(
        [helper.make_node("Relu", ["x" if i == 0 else f"r{i - 1}"], [f"r{i}"]) for i in range(nodes)],
        "g",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])],
        [helper.make_tensor_value_info(f"r{nodes - 1}", TensorProto.FLOAT, [1, 4])],
        [numpy_helper.from_array(np.zeros(initializer_shape, "float32"), "w")],
    )
    return helper.make_model(graph).SerializeToString()


@pytest.mark.parametrize(
    "nodes, shape, skipped", [(50, (4,), False), (51, (4,), True), (2, (512, 512), True), (2, (256, 256), False)]
)
def test_large_models_are_skipped(vexatvm_target, nodes, shape, skipped):
    assert vexatvm_target.too_big(_onnx_model(nodes, shape)) is skipped


def _raised_in(function):
    try:
        function()
    except Exception as error:
        return error


@pytest.mark.parametrize(
    "status, output, messages, error, fault",
    [
        (0, "report", "", None, False),
        (2, "", "vexatvm: error: m.onnx: not a readable ONNX model: x\n", "cli", False),
        (2, "", "vexatvm: error: TVMError: Check failed\n", "tvm", False),
        (2, "", "vexatvm: error: IndexError: list index out of range\n", "command", True),
        (2, "", "vexatvm: error: RecursionError: deep\n", "recursion", True),
        (2, "", "warning\nvexatvm: error: m.onnx: bad\n", "cli", True),
        (0, "", "", None, True),
        (0, "report", "a warning\n", None, True),
        (1, "", "", None, True),
    ],
)
def test_verdicts_on_the_command_endings(vexatvm_target, status, output, messages, error, fault):
    import tvm

    from vexatvm_cli import importers
    from vexatvm_cli.errors import CliError

    errors = {
        None: None,
        "cli": CliError("m.onnx: bad"),
        "tvm": tvm.TVMError("Check failed"),
        # raised inside the command's own code (importers.py), not by TVM
        "command": _raised_in(lambda: importers._onnx_input_shapes(None, None)),
        "recursion": RecursionError("deep"),
    }
    judge = lambda: vexatvm_target._judge(["partition", "m.onnx", "--quiet"], status, output, messages, errors[error])
    if fault:
        with pytest.raises(vexatvm_target.Fault):
            judge()
    else:
        judge()
