# Install rules and packaging: the shared library with its versioned SONAME,
# the public header, the keldrune-vault tool, a relocatable CMake package
# (find_package(keldrune-vault-storage) -> keldrune::vault-storage), a
# relocatable pkg-config file, the manual page of the tool, and the Debian
# package built by CPack.
#
# The version lives only in the project() line of the top-level
# CMakeLists.txt; everything here derives from PROJECT_VERSION.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VS_PACKAGE_NAME keldrune-vault-storage)
set(VS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${VS_PACKAGE_NAME})
set(VS_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# libkeldrune-vault-storage.so -> .so.0 -> .so.<full version>. The SONAME
# follows the major version: it changes only when the sixteen exports break.
set_target_properties(keldrune-vault-storage PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME vault-storage)

# The include directory points into the source tree for the build; an
# installed consumer gets the installed include directory instead.
set_target_properties(keldrune-vault-storage PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>")

# The installed tool finds the library next to it in any prefix.
file(RELATIVE_PATH _vs_bin_to_lib
     ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(keldrune-vault PROPERTIES
  INSTALL_RPATH "$ORIGIN/${_vs_bin_to_lib}")

install(TARGETS keldrune-vault-storage
  EXPORT keldrune-vault-storage-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/keldrune-vault-storage.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS keldrune-vault
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- CMake package --------------------------------------------------------------
# The public header includes nothing but <stdint.h>, and yyjson is a private
# dependency of the shared object (its DT_NEEDED entry), so the package needs
# no find_dependency: consumers link only keldrune::vault-storage.
install(EXPORT keldrune-vault-storage-targets
  NAMESPACE keldrune::
  FILE ${VS_PACKAGE_NAME}-targets.cmake
  DESTINATION ${VS_CMAKE_DIR})

set(_vs_config_in ${CMAKE_CURRENT_BINARY_DIR}/${VS_PACKAGE_NAME}-config.cmake.in)
file(WRITE ${_vs_config_in} [=[
# CMake package of keldrune-vault-storage: defines keldrune::vault-storage.
@PACKAGE_INIT@
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

# ---- Debian package ---------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.md")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "keldrune")
set(CPACK_PACKAGE_CONTACT "keldrune vault maintainers <vault@keldrune.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "storage layer of a self-hosted password-vault server")
set(CPACK_PACKAGE_DESCRIPTION
    "A shared library with a C interface of sixteen vault_* functions that keeps accounts, encrypted vault items, folder lists and the sync document as JSON files in a directory tree, each written whole through a temporary file, fsync and an atomic rename. Includes the header, CMake and pkg-config files, and the keldrune-vault command-line host with operator checks.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Written out rather than left to dpkg-shlibdeps, whose yyjson entry (from
# the yyjson shlibs file) would ask for less than the 0.12 this library is
# built and tested against.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11), libyyjson0 (>= 0.12.0)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
