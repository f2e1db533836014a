# Locates the C++ side of the TVM that the build's Python interpreter imports:
# its headers (tvm/include, dmlc-core/include, dlpack/include) and libtvm.so.
#
# Looks inside the installed `tvm` package first (a wheel ships its headers
# there) and then in the source-tree layout of a TVM built from source
# (python/tvm beside include/, 3rdparty/ and build/).  Set TVM_INCLUDE_DIRS and
# TVM_LIBRARY on the command line to point at another build.
#
# Defines the imported target TVM::tvm.

if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "FindTVMRelay needs the Python interpreter (find_package(Python) first)")
endif()

# The package folder, found without importing TVM (which takes seconds).
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import importlib.util as u; s = u.find_spec('tvm'); print(s.submodule_search_locations[0] if s else '')"
  OUTPUT_VARIABLE TVM_PACKAGE_DIR
  OUTPUT_STRIP_TRAILING_WHITESPACE)

if(NOT TVM_PACKAGE_DIR)
  message(FATAL_ERROR "TVM is not importable by ${Python_EXECUTABLE}: install a TVM with Relay first "
                      "(scripts/setup.sh does)")
endif()

get_filename_component(_tvm_source_root "${TVM_PACKAGE_DIR}/../.." ABSOLUTE)

find_path(
  TVM_CORE_INCLUDE_DIR tvm/relay/expr.h
  PATHS "${TVM_PACKAGE_DIR}/include" "${_tvm_source_root}/include"
  NO_DEFAULT_PATH)
find_path(
  TVM_DMLC_INCLUDE_DIR dmlc/logging.h
  PATHS "${TVM_PACKAGE_DIR}/dmlc-core/include" "${_tvm_source_root}/3rdparty/dmlc-core/include"
  NO_DEFAULT_PATH)
find_path(
  TVM_DLPACK_INCLUDE_DIR dlpack/dlpack.h
  PATHS "${TVM_PACKAGE_DIR}/dlpack/include" "${_tvm_source_root}/3rdparty/dlpack/include"
  NO_DEFAULT_PATH)
find_library(
  TVM_LIBRARY
  NAMES tvm
  PATHS "${TVM_PACKAGE_DIR}" "${_tvm_source_root}/build" "${_tvm_source_root}/lib"
  NO_DEFAULT_PATH)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(TVMRelay REQUIRED_VARS TVM_LIBRARY TVM_CORE_INCLUDE_DIR TVM_DMLC_INCLUDE_DIR
                                                         TVM_DLPACK_INCLUDE_DIR)

if(TVMRelay_FOUND AND NOT TARGET TVM::tvm)
  set(TVM_INCLUDE_DIRS "${TVM_CORE_INCLUDE_DIR}" "${TVM_DMLC_INCLUDE_DIR}" "${TVM_DLPACK_INCLUDE_DIR}")
  add_library(TVM::tvm SHARED IMPORTED)
  set_target_properties(TVM::tvm PROPERTIES IMPORTED_LOCATION "${TVM_LIBRARY}" IMPORTED_NO_SONAME FALSE)
  # Headers marked SYSTEM: the project's warning flags are not for TVM's code.
  target_include_directories(TVM::tvm SYSTEM INTERFACE ${TVM_INCLUDE_DIRS})
  # Code that shares std::string with libtvm.so must use its libstdc++ string
  # ABI: the PyPI wheels are built with the pre-C++11 one, source builds
  # usually with the new one.  tvm::runtime::Backtrace() returns a string, so
  # its mangled name tells.
  if(NOT DEFINED TVM_CXX11_ABI)
    set(TVM_CXX11_ABI 0)
    find_program(_tvm_nm nm)
    if(_tvm_nm)
      execute_process(COMMAND "${_tvm_nm}" -D --defined-only "${TVM_LIBRARY}" OUTPUT_VARIABLE _tvm_symbols
                      ERROR_QUIET)
      string(FIND "${_tvm_symbols}" "_ZN3tvm7runtime9BacktraceB5cxx11Ev" _tvm_new_abi)
      if(_tvm_new_abi GREATER -1)
        set(TVM_CXX11_ABI 1)
      endif()
    endif()
  endif()
  # Logging comes from TVM's runtime rather than from dmlc.
  target_compile_definitions(TVM::tvm INTERFACE _GLIBCXX_USE_CXX11_ABI=${TVM_CXX11_ABI}
                                                "DMLC_USE_LOGGING_LIBRARY=<tvm/runtime/logging.h>")
  get_filename_component(TVM_LIBRARY_DIR "${TVM_LIBRARY}" DIRECTORY)
  message(STATUS "TVM: ${TVM_LIBRARY} (headers ${TVM_CORE_INCLUDE_DIR})")
endif()
