
from conftest import HAVE_TVM, ROOT, STANDIN_DIR, run_python
from vexatvm_internal import release_tag


def test_main_job_reports_version_and_preset_widths():
    result = run_python(f"import runpy; runpy.run_path({str(ROOT / 'scripts' / 'main_job.py')!r}, run_name='__main__')",
                        STANDIN_DIR)
    lines = result.stdout.splitlines()
    assert lines[0] == f"vexatvm_internal {release_tag.release_tag()}"
    if HAVE_TVM:
        assert result.returncode == 0, result.stderr
        assert [line.split()[-2] for line in lines[2:]] == ["8", "16", "32", "64"]
    else:
        assert result.returncode == 2 and "Apache TVM" in result.stderr
