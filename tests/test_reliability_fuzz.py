"""Each fuzz target of fuzz/ runs for a few seconds (all of them at once, in
their own processes) and must end without a fault, a native crash, a hang or
runaway memory.  Inputs that once found a fault are kept in
fuzz/seeds/TARGET/ and replayed first.  Longer runs: scripts/fuzz.sh TARGET SECONDS."""
import os
import subprocess
import sys

import pytest

from conftest import ROOT, STANDIN_DIR, requires_tvm

pytestmark = requires_tvm

TARGETS = ("hwinquire", "standin_yaml", "release_tag", "graphmeld", "checks")
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
        command = [sys.executable, str(ROOT / "fuzz" / "run.py"), target, f"-max_total_time={SECONDS}",
                   "-timeout=60", "-rss_limit_mb=3072", f"-artifact_prefix={work}/", *corpora]
        processes[target] = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                             text=True)
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
