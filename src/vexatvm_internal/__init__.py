"""Support package of the vexa accelerator's TVM-based compiler.

Extension modules: ``patterns`` (composite pattern tables), ``graphmeld``
(fusion of several networks into one module), ``_dynbind`` and ``hwinquire``
(the maker's native library and its architecture queries) and ``release_tag``
(the package version).  Import them by name; importing the package itself
loads nothing.
"""
