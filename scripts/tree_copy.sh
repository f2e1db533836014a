# Sourced by the scripts that build the package in a copy of the source tree
# (scripts/sanitize.sh, scripts/fuzz.sh), laid out like the tree itself: the
# modules next to __init__.py, the stand-in library in standin/lib/.  Needs
# ROOT and PY (scripts/env.sh).

# copy_tree TREE: copies every file that git tracks or would track (not
# ignored), changed files only, keeping timestamps so that ninja rebuilds
# what changed; files gone from the working tree go from the copy too.
# Build products in the copy are left in place.  The copy's run scripts find
# the project's virtual environment through a link.
copy_tree() {
  local tree="$1"
  mkdir -p "$tree"
  "$PY" - "$ROOT" "$tree" <<'PYEOF'
import filecmp, os, shutil, subprocess, sys
root, tree = sys.argv[1:]
listed = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard", "-z"],
                        check=True, capture_output=True).stdout.decode().split("\0")
wanted = {name for name in listed if name and os.path.isfile(os.path.join(root, name))}
for name in wanted:
    source, target = os.path.join(root, name), os.path.join(tree, name)
    if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
products = (".so", ".o", ".pyc")
for top in {name.split("/", 1)[0] for name in wanted if "/" in name}:
    for folder, dirs, files in os.walk(os.path.join(tree, top)):
        dirs[:] = [d for d in dirs if d not in ("CMakeFiles", "__pycache__", "lib", ".pytest_cache")]
        for file in files:
            relative = os.path.relpath(os.path.join(folder, file), tree)
            if relative not in wanted and not file.endswith(products) and file != "cmake_install.cmake":
                os.remove(os.path.join(folder, file))
PYEOF
  ln -sfn "$ROOT/.venv" "$tree/.venv"
}

# use_tree TREE: makes the interpreter import the copy's package, not the
# set-up's build: the copy's sources (the package and the vexatvm command)
# come first on the path, before the .venv's .pth entry for the working tree.
# The native library is the copy's stand-in.
use_tree() {
  local tree="$1"
  export PYTHONPATH="$tree/src:$tree/tools/vexatvm${PYTHONPATH:+:$PYTHONPATH}"
  export TVM_LIBRARY_PATH="$tree/standin/lib"
}

# require_tree_package TREE LABEL: fails unless the package is imported from TREE.
require_tree_package() {
  "$PY" -c "import sys, vexatvm_internal as p; sys.exit(not p.__file__.startswith(sys.argv[1]))" "$1/" || {
    echo "[$2] ERROR: the package is not imported from the build in $1" >&2
    exit 1
  }
}
