# The public header, written from include/keldrune-vault-storage.h.in into
# <build>/include with the version of the project() line of the top-level
# CMakeLists.txt, the one place the version is written. Included by the main
# build and by the fuzz project; sets VS_VERSION, VS_PUBLIC_INCLUDE and
# VS_PUBLIC_HEADER.
get_filename_component(_vs_top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(STRINGS ${_vs_top}/CMakeLists.txt _vs_project
     REGEX "^project\\(keldrune-vault-storage VERSION [0-9]+\\.[0-9]+\\.[0-9]+")
string(REGEX MATCH "([0-9]+)\\.([0-9]+)\\.([0-9]+)" VS_VERSION "${_vs_project}")
if(NOT VS_VERSION)
  message(FATAL_ERROR "no MAJOR.MINOR.PATCH version in the project() line of ${_vs_top}/CMakeLists.txt")
endif()
set(VS_VERSION_MAJOR ${CMAKE_MATCH_1})
set(VS_VERSION_MINOR ${CMAKE_MATCH_2})
set(VS_VERSION_PATCH ${CMAKE_MATCH_3})
set(VS_PUBLIC_INCLUDE ${CMAKE_BINARY_DIR}/include)
set(VS_PUBLIC_HEADER ${VS_PUBLIC_INCLUDE}/keldrune-vault-storage.h)
configure_file(${_vs_top}/include/keldrune-vault-storage.h.in ${VS_PUBLIC_HEADER} @ONLY)
