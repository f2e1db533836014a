import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from conftest import ROOT

from vexatvm_internal import release_tag


@pytest.fixture
def changelog_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(release_tag, "__here__", tmp_path)
    return tmp_path


@pytest.mark.parametrize(
    "text, expected",
    [
        ("# Changelog\n## Version 2.3.1\n", "2.3.1"),
        ("## Version 2.3.1 \n", ""),
        ("## Version\n", "Version"),
        ("## Version\t1.0\n", "Version\t1.0"),
        ("## Version 1.0 2024-05-01\n", "2024-05-01"),
        ("## Versions 9\n", "9"),
        ("## Version 1.0\n### Version 5\n ## Version 6\n", "1.0"),
        ("## Version 3.0\ntext\n## Version 1.0\n", "1.0"),
        ("## Version 0.9\r\n\r\n## Version 1.2\r\n", "1.2"),
        ("## Version 0.9\r## Version 1.3", "1.3"),
        ("## Version  1.4\n", "1.4"),
        ("## Version 1.5  \n", ""),
    ],
)
def test_version_from_last_header(changelog_dir, text, expected):
    (changelog_dir / "CHANGELOG.md").write_bytes(text.encode())
    assert release_tag.release_tag() == expected


def test_change_log_is_read_on_every_call(changelog_dir):
    log = changelog_dir / "CHANGELOG.md"
    log.write_text("## Version 1.0\n")
    assert release_tag.release_tag() == "1.0"
    log.write_text("## Version 1.0\n## Version 1.1\n")
    assert release_tag.release_tag() == "1.1"


@pytest.mark.parametrize(
    "content, error",
    [(None, FileNotFoundError), ("no header here\n", IndexError), (b"## Version \xff\xfe\n", UnicodeDecodeError)],
)
def test_failures_propagate(changelog_dir, content, error):
    if content is not None:
        data = content if isinstance(content, bytes) else content.encode()
        (changelog_dir / "CHANGELOG.md").write_bytes(data)
    with pytest.raises(error):
        release_tag.release_tag()


@pytest.mark.parametrize("here, error", [(None, TypeError), ("/tmp", TypeError)])
def test_unusable_location_fails_cleanly(monkeypatch, here, error):
    monkeypatch.setattr(release_tag, "__here__", here)
    with pytest.raises(error):
        release_tag.release_tag()


def test_change_log_sits_three_levels_above_the_module():
    module_file = Path(release_tag.__file__).resolve()
    assert release_tag.__here__ == module_file.parent.parent.parent == ROOT


def test_package_version_agrees_with_change_log():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert release_tag.release_tag() == project["version"]


def test_console_script_prints_version_and_one_line_break():
    script = Path(sys.executable).parent / "vexa-release-tag"
    out = subprocess.run([str(script)], capture_output=True, check=True).stdout
    assert out == (release_tag.release_tag() + "\n").encode()


def test_module_names_in_binding_order():
    names = [n for n in vars(release_tag) if not n.startswith("__") or n == "__here__"]
    assert names[:3] == ["Path", "__here__", "release_tag"]
