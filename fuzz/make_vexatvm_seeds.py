"""Writes the seed models of the `vexatvm` fuzz target to fuzz/seeds/vexatvm/:
the float32 and QDQ ONNX models and the quantized TFLite model that the
command's tests build (tests/test_cli.py, tests/test_cli_tflite.py).

    .venv/bin/python fuzz/make_vexatvm_seeds.py

The written files are committed; run this again after changing those
builders."""

import os
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SEEDS = ROOT / "fuzz" / "seeds" / "vexatvm"


def main():
    sys.path.insert(0, str(ROOT / "tests"))
    import test_cli
    import test_cli_tflite

    SEEDS.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for name, build in (("float32.onnx", test_cli.float32_onnx), ("qdq.onnx", test_cli.qdq_onnx)):
            (SEEDS / name).write_bytes(build(Path(work) / name).read_bytes())
    (SEEDS / "quantized.tflite").write_bytes(test_cli_tflite.quantized_tflite_model())
    for path in sorted(SEEDS.iterdir()):
        print(f"{os.path.relpath(path, ROOT)}: {path.stat().st_size} bytes")


if __name__ == "__main__":
    main()
