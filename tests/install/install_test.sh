#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it the way a server
# developer would: a tiny consumer project built once through the CMake
# package and once through pkg-config, and the installed tool run from the
# prefix. Nothing outside WORK is touched.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER VERSION [EXTRA_CFLAGS]
set -euo pipefail

build=$1 src=$2 work=$3 cc=$4 version=$5 extra_cflags=${6:-}
prefix=$work/prefix
major=${version%%.*}

fail() { echo "install_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

# The files of an install, with the versioned library and its two links.
for f in include/keldrune-vault-storage.h bin/keldrune-vault \
         lib/libkeldrune-vault-storage.so.$version \
         lib/cmake/keldrune-vault-storage/keldrune-vault-storage-config.cmake \
         lib/cmake/keldrune-vault-storage/keldrune-vault-storage-config-version.cmake \
         lib/cmake/keldrune-vault-storage/keldrune-vault-storage-targets.cmake \
         lib/pkgconfig/keldrune-vault-storage.pc; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -f "$prefix/share/doc/keldrune-vault-storage/LICENSE" ] || fail "missing the licence"
# The manual page, whenever the build made one (help2man present).
if [ -f "$build/keldrune-vault.1" ]; then
  man=$prefix/share/man/man1/keldrune-vault.1
  [ -f "$man" ] || fail "missing share/man/man1/keldrune-vault.1"
  grep -q '^\.SS "keldrune-vault cipher save"' "$man" || fail "manual page lacks the cipher save command"
fi
[ "$(readlink "$prefix/lib/libkeldrune-vault-storage.so.$major")" = "libkeldrune-vault-storage.so.$version" ] ||
  fail "lib/libkeldrune-vault-storage.so.$major is not a link to the versioned file"
[ "$(readlink "$prefix/lib/libkeldrune-vault-storage.so")" = "libkeldrune-vault-storage.so.$major" ] ||
  fail "lib/libkeldrune-vault-storage.so is not a link to the SONAME"
soname=$(readelf -d "$prefix/lib/libkeldrune-vault-storage.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libkeldrune-vault-storage.so.$major" ] || fail "SONAME is '$soname'"
# The public header stands on its own: no yyjson, nothing internal.
if grep -q yyjson "$prefix/include/keldrune-vault-storage.h"; then fail "the header mentions yyjson"; fi

expect_stats() {  # $1: output of a consumer run
  case "$1" in
    *'"users":1,"ciphers":1,'*) ;;
    *) fail "unexpected consumer output: $1" ;;
  esac
}

# 1. Through the CMake package.
cmake -S "$src/tests/install/consumer" -B "$work/cmake-build" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DVS_WANT_VERSION="${version%.*}" \
      -DCMAKE_C_FLAGS="$extra_cflags" -DCMAKE_EXE_LINKER_FLAGS="$extra_cflags" \
      > "$work/cmake-configure.log" 2>&1 || { cat "$work/cmake-configure.log"; fail "consumer configure failed"; }
cmake --build "$work/cmake-build" > "$work/cmake-build.log" 2>&1 ||
  { cat "$work/cmake-build.log"; fail "consumer build failed"; }
out=$("$work/cmake-build/vault_consumer" "$work/root-cmake") || fail "CMake consumer failed"
expect_stats "$out"

# A version the package does not provide is refused.
if cmake -S "$src/tests/install/consumer" -B "$work/cmake-wrong" \
         -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
         -DVS_WANT_VERSION=99 > "$work/cmake-wrong.log" 2>&1; then
  fail "find_package accepted version 99"
fi

# 2. Through pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion keldrune-vault-storage)" = "$version" ] || fail "pkg-config version"
libs=$(pkg-config --libs keldrune-vault-storage)
case "$libs" in *yyjson*) fail "pkg-config asks consumers to link yyjson: $libs" ;; esac
libdir=$(pkg-config --variable=libdir keldrune-vault-storage)
mkdir -p "$work/pc-build"
# shellcheck disable=SC2046,SC2086
"$cc" $extra_cflags -o "$work/pc-build/vault_consumer" "$src/tests/install/consumer/consumer.c" \
      $(pkg-config --cflags keldrune-vault-storage) $libs -Wl,-rpath,"$libdir" ||
  fail "pkg-config consumer build failed"
out=$("$work/pc-build/vault_consumer" "$work/root-pc") || fail "pkg-config consumer failed"
expect_stats "$out"

# 3. The installed tool finds the installed library from any prefix.
"$prefix/bin/keldrune-vault" --root "$work/root-tool" init || fail "installed tool: init"
out=$("$prefix/bin/keldrune-vault" --root "$work/root-cmake" user list) || fail "installed tool: user list"
case "$out" in *consumer@example.org*) ;; *) fail "installed tool: user list printed: $out" ;; esac

rm -rf "$work"
echo "install_test: ok"
