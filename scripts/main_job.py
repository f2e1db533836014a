"""Main job: the package version and the channel width that the native library
reports for each of its built-in architecture presets."""

import ctypes
import sys

import yaml

from vexatvm_internal import release_tag


def preset_names(library):
    listing = library.VexakdrStandinPresets
    listing.restype = ctypes.c_char_p
    return listing().decode().split(",")


def main():
    print(f"vexatvm_internal {release_tag.release_tag()}")
    try:
        from vexatvm_internal import _dynbind, hwinquire
    except ModuleNotFoundError as error:
        if (error.name or "").split(".")[0] != "tvm":
            raise
        # The set-up installs TVM; without it the job cannot run at all.
        print(
            f"cannot query the native library: {error} (TVM with Relay is required: run ./scripts/setup.sh)",
            file=sys.stderr,
        )
        return 1
    print(f"native library: {_dynbind._find_lib()}")
    for name in preset_names(_dynbind._cpp_lib):
        channels = hwinquire.hwinquire_parameter(yaml.safe_dump({"arch": name}), "channels")
        print(f"  {name}: {channels} channels")
    return 0


if __name__ == "__main__":
    sys.exit(main())
