# Install rules: the shared library with its versioned SONAME, the public
# header, the keldrune-vault tool and its manual page, a relocatable CMake
# package (find_package(keldrune-vault-storage) -> keldrune::vault-storage),
# a relocatable pkg-config file, and, with VS_PRIVATE_YYJSON, a private copy
# of the yyjson shared library for systems that have none (the Debian
# packages in debian/ use it; Debian 12 ships no yyjson 0.12).
#
# The version lives only in the project() line of the top-level
# CMakeLists.txt; everything here derives from PROJECT_VERSION (debian/rules
# checks that debian/changelog agrees). The licence is Apache-2.0 (LICENSE).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VS_PACKAGE_NAME keldrune-vault-storage)
set(VS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${VS_PACKAGE_NAME})
set(VS_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# libkeldrune-vault-storage.so -> .so.0 -> .so.<full version>. The SONAME
# follows the major version: it changes only when an export breaks. The
# exports carry symbol versions (cmake/exports.map): KELDRUNE_VAULT_1.0 for
# the first twenty-three, a new node for each later set.
set_target_properties(keldrune-vault-storage PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME vault-storage)

# The include directory is the build tree's (where the header is generated)
# for the build; an installed consumer gets the installed one instead.
set_target_properties(keldrune-vault-storage PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${VS_PUBLIC_INCLUDE}>")

# ---- private yyjson ----------------------------------------------------------------
# The yyjson shared object this build links, installed unchanged under its
# SONAME into <libdir>/keldrune-vault-storage/, where only the library and the
# tool look for it (their RUNPATH); nothing else on the system sees it.
option(VS_PRIVATE_YYJSON "Install a private copy of the yyjson shared library" OFF)
set(VS_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/${VS_PACKAGE_NAME})

# A system library directory (the Debian packages) gets absolute search
# paths, which need no /proc to resolve; any other prefix gets paths
# relative to the installed file, so the tree can move.
set(_vs_system_libdirs ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
if("${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST _vs_system_libdirs)
  set(_vs_lib_from_bin "")
  set(_vs_private_from_lib "${CMAKE_INSTALL_FULL_LIBDIR}/${VS_PACKAGE_NAME}")
  set(_vs_private_from_bin "${_vs_private_from_lib}")
else()
  file(RELATIVE_PATH _vs_bin_to_lib
       ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(_vs_lib_from_bin "$ORIGIN/${_vs_bin_to_lib}")
  set(_vs_private_from_lib "$ORIGIN/${VS_PACKAGE_NAME}")
  set(_vs_private_from_bin "${_vs_lib_from_bin}/${VS_PACKAGE_NAME}")
endif()

if(VS_PRIVATE_YYJSON)
  get_target_property(_yy_configs yyjson::yyjson IMPORTED_CONFIGURATIONS)
  list(GET _yy_configs 0 _yy_config)
  get_target_property(_yy_file yyjson::yyjson IMPORTED_LOCATION_${_yy_config})
  get_target_property(_yy_soname yyjson::yyjson IMPORTED_SONAME_${_yy_config})
  if(NOT _yy_file OR NOT _yy_soname)
    message(FATAL_ERROR "VS_PRIVATE_YYJSON needs yyjson as a shared library with a SONAME")
  endif()
  install(FILES ${_yy_file} DESTINATION ${VS_PRIVATE_DIR} RENAME ${_yy_soname})
  set_target_properties(keldrune-vault-storage PROPERTIES
    INSTALL_RPATH "${_vs_private_from_lib}")
endif()

# The installed tool finds the library next to it in any prefix, and the
# private yyjson, which it calls too.
set(_vs_tool_rpath ${_vs_lib_from_bin})
if(VS_PRIVATE_YYJSON)
  list(APPEND _vs_tool_rpath "${_vs_private_from_bin}")
endif()
set_target_properties(keldrune-vault PROPERTIES INSTALL_RPATH "${_vs_tool_rpath}")

install(TARGETS keldrune-vault-storage
  EXPORT keldrune-vault-storage-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${VS_PUBLIC_HEADER}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS keldrune-vault
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- CMake package --------------------------------------------------------------
# The public header includes nothing but <stddef.h> and <stdint.h>, and yyjson is a private
# dependency of the shared object (its DT_NEEDED entry), so the package needs
# no find_dependency: consumers link only keldrune::vault-storage.
install(EXPORT keldrune-vault-storage-targets
  NAMESPACE keldrune::
  FILE ${VS_PACKAGE_NAME}-targets.cmake
  DESTINATION ${VS_CMAKE_DIR})

set(_vs_config_in ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config.cmake.in)
file(WRITE ${_vs_config_in} [=[
# CMake package of keldrune-vault-storage: defines keldrune::vault-storage.
# Licence: Apache-2.0.
@PACKAGE_INIT@
set(keldrune-vault-storage_LICENSE "Apache-2.0")
include("${CMAKE_CURRENT_LIST_DIR}/keldrune-vault-storage-targets.cmake")
check_required_components(keldrune-vault-storage)
]=])
configure_package_config_file(${_vs_config_in}
  ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config.cmake
  INSTALL_DESTINATION ${VS_CMAKE_DIR})
# Until 1.0 every minor version may change the interface.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(_vs_compat SameMinorVersion)
else()
  set(_vs_compat SameMajorVersion)
endif()
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY ${_vs_compat})
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config-version.cmake
  DESTINATION ${VS_CMAKE_DIR})

# ---- pkg-config ------------------------------------------------------------------
# Paths are relative to the .pc file itself, so the same file works in /usr,
# /usr/local or any prefix given to `cmake --install --prefix`.
file(RELATIVE_PATH _vs_pc_to_prefix
     ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" _vs_pc_to_prefix "${_vs_pc_to_prefix}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}.pc
"prefix=\${pcfiledir}/${_vs_pc_to_prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${VS_PACKAGE_NAME}
Description: Storage layer of a self-hosted password-vault server (C interface)
Version: ${PROJECT_VERSION}
License: Apache-2.0
Libs: -L\${libdir} -lkeldrune-vault-storage
Cflags: -I\${includedir}
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}.pc
  DESTINATION ${VS_PKGCONFIG_DIR})

# ---- manual page, documentation --------------------------------------------------------
# keldrune-vault.1 is made from the tool's own --help texts (scripts/manpage).
find_program(VS_HELP2MAN help2man)
if(VS_HELP2MAN)
  set(_vs_man ${PROJECT_BINARY_DIR}/keldrune-vault.1)
  add_custom_command(OUTPUT ${_vs_man}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/manpage $<TARGET_FILE:keldrune-vault>
            ${_vs_man} ${PROJECT_VERSION}
    DEPENDS keldrune-vault ${PROJECT_SOURCE_DIR}/scripts/manpage
            ${PROJECT_SOURCE_DIR}/docs/keldrune-vault.h2m
    COMMENT "Manual page of keldrune-vault" VERBATIM)
  add_custom_target(vs_manpage ALL DEPENDS ${_vs_man})
  install(FILES ${_vs_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: no manual page for keldrune-vault (scripts/setup installs it)")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.md")

# ---- bash completion ---------------------------------------------------------------------
# Where bash-completion looks for a command's completion on first use.
install(FILES ${PROJECT_SOURCE_DIR}/dist/keldrune-vault.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME keldrune-vault)
