from conftest import ROOT, STANDIN_DIR, requires_tvm, run_python

from vexatvm_internal import release_tag

pytestmark = requires_tvm


def test_tvm_with_relay_is_installed():
    # The fixture behind `requires_tvm` fails this test when TVM with Relay is
    # missing: the set-up installs it, so a run without it must not pass.
    import tvm
    from tvm import relay

    assert relay.Call is not None and tvm.__version__


def test_main_job_reports_version_and_preset_widths():
    result = run_python(
        f"import runpy; runpy.run_path({str(ROOT / 'scripts' / 'main_job.py')!r}, run_name='__main__')", STANDIN_DIR
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"vexatvm_internal {release_tag.release_tag()}"
    assert lines[1].startswith("native library: ") and "libvexakdr-full." in lines[1]
    assert [line.split()[-2] for line in lines[2:]] == ["8", "16", "32", "64"]
    assert [line.split(":")[0].strip() for line in lines[2:]] == ["vexa-nano", "vexa-lite", "vexa-pro", "vexa-max"]
