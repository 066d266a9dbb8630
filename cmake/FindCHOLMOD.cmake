# Finds CHOLMOD of SuiteSparse, which ships no CMake package on Debian, and provides CHOLMOD::CHOLMOD.
find_path(CHOLMOD_INCLUDE_DIR cholmod.h PATH_SUFFIXES suitesparse)
find_library(CHOLMOD_LIBRARY NAMES cholmod)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(CHOLMOD REQUIRED_VARS CHOLMOD_LIBRARY CHOLMOD_INCLUDE_DIR)
if(CHOLMOD_FOUND AND NOT TARGET CHOLMOD::CHOLMOD)
  add_library(CHOLMOD::CHOLMOD UNKNOWN IMPORTED)
  set_target_properties(CHOLMOD::CHOLMOD PROPERTIES
    IMPORTED_LOCATION "${CHOLMOD_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${CHOLMOD_INCLUDE_DIR}")
endif()
mark_as_advanced(CHOLMOD_INCLUDE_DIR CHOLMOD_LIBRARY)
