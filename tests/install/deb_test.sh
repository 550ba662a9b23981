#!/usr/bin/env bash
# Builds the Debian package with CPack (into WORK, never into the build
# tree) and checks it: control fields, the exact file list with modes and
# links, and that the packaged library carries its SONAME and exports.
# Also usable by hand on a package made by `make package`:
#   deb_test.sh --check FILE.deb VERSION
#
# Usage: deb_test.sh BUILD_DIR WORK_DIR VERSION
set -euo pipefail

fail() { echo "deb_test: $*" >&2; exit 1; }

if [ "${1:-}" = "--check" ]; then
  deb=$2 version=$3 work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
else
  build=$1 work=$2 version=$3
  rm -rf "$work"
  mkdir -p "$work"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
  deb=$(ls "$work"/keldrune-vault-storage_"$version"_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "no package named keldrune-vault-storage_${version}_<arch>.deb in $work"
fi
major=${version%%.*}

# ---- control fields ----------------------------------------------------------------
[ "$(dpkg-deb -f "$deb" Package)" = keldrune-vault-storage ] || fail "Package field"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field"
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *"libyyjson0 (>= 0.12"*) ;; *) fail "Depends lacks libyyjson0 (>= 0.12): $depends" ;; esac
case "$depends" in *libc6*) ;; *) fail "Depends lacks libc6: $depends" ;; esac
dpkg-deb -I "$deb" shlibs | grep -q "^libkeldrune-vault-storage $major keldrune-vault-storage" ||
  fail "no shlibs entry for libkeldrune-vault-storage $major"

# ---- file list -----------------------------------------------------------------------
# One line per entry: mode, path, and the link target for links. Directories
# are left out; documentation may grow, so any *.md under the doc directory
# is accepted, but README.md must be there.
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {
  path = $6; for (i = 7; i <= NF; i++) path = path " " $i; print $1 " " path }')
lib=usr/lib
cmakedir=$lib/cmake/keldrune-vault-storage
expected="-rwxr-xr-x ./usr/bin/keldrune-vault
-rw-r--r-- ./usr/include/keldrune-vault-storage.h
-rw-r--r-- ./$cmakedir/keldrune-vault-storage-config-version.cmake
-rw-r--r-- ./$cmakedir/keldrune-vault-storage-config.cmake
-rw-r--r-- ./$cmakedir/keldrune-vault-storage-targets-CONFIG.cmake
-rw-r--r-- ./$cmakedir/keldrune-vault-storage-targets.cmake
lrwxrwxrwx ./$lib/libkeldrune-vault-storage.so -> libkeldrune-vault-storage.so.$major
lrwxrwxrwx ./$lib/libkeldrune-vault-storage.so.$major -> libkeldrune-vault-storage.so.$version
-rw-r--r-- ./$lib/libkeldrune-vault-storage.so.$version
-rw-r--r-- ./$lib/pkgconfig/keldrune-vault-storage.pc
-rw-r--r-- ./usr/share/man/man1/keldrune-vault.1
-rw-r--r-- ./usr/share/doc/keldrune-vault-storage/README.md"
actual=$(printf '%s\n' "$listing" |
  sed -E 's/keldrune-vault-storage-targets-[a-z]+\.cmake$/keldrune-vault-storage-targets-CONFIG.cmake/' |
  grep -v -E '^-rw-r--r-- \./usr/share/doc/keldrune-vault-storage/[A-Za-z0-9_.-]+\.md$' || true)
actual_docs_readme=$(printf '%s\n' "$listing" | grep -c '/usr/share/doc/keldrune-vault-storage/README.md$' || true)
[ "$actual_docs_readme" = 1 ] || fail "README.md missing from the documentation directory"
expected_sorted=$(printf '%s\n' "$expected" | grep -v README.md | sort)
actual_sorted=$(printf '%s\n' "$actual" | sort)
if [ "$expected_sorted" != "$actual_sorted" ]; then
  diff <(printf '%s\n' "$expected_sorted") <(printf '%s\n' "$actual_sorted") >&2 || true
  fail "file list differs (< expected, > packaged)"
fi

# ---- contents ----------------------------------------------------------------------------
dpkg-deb -x "$deb" "$work/root"
so=$work/root/$lib/libkeldrune-vault-storage.so.$version
soname=$(readelf -d "$so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libkeldrune-vault-storage.so.$major" ] || fail "SONAME is '$soname'"
exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
[ "$(printf '%s\n' "$exports" | grep -c '^vault_')" = 16 ] || fail "packaged library does not export sixteen vault_ functions"
[ "$(printf '%s\n' "$exports" | grep -vc '^vault_' || true)" = 0 ] || fail "packaged library exports more than the vault_ functions"
grep -q '^prefix=${pcfiledir}/' "$work/root/$lib/pkgconfig/keldrune-vault-storage.pc" ||
  fail "pkg-config file is not relocatable"
PKG_CONFIG_PATH="$work/root/$lib/pkgconfig" pkg-config --modversion keldrune-vault-storage | grep -qx "$version" ||
  fail "pkg-config file does not report $version"

[ "${1:-}" = "--check" ] || rm -rf "$work"
echo "deb_test: ok ($(basename "$deb"))"
