#!/usr/bin/env bash
# The Debian packages as a user gets them. Builds them (lintian included,
# scripts/build-packages), checks their control data and contents, then
# makes a minimal Debian 12 root with debootstrap from this machine's own
# mirror and apt configuration, installs the packages there with apt, runs
# the tool's demo and builds a consumer against the -dev package through its
# CMake package and through pkg-config. The Python package is installed
# with two interpreters (tests/install/python_install_test.sh).
#
# Usage: package_check.sh WORK     (as root; after scripts/setup --packaging)
# SUITE (default bookworm) picks the Debian release of the root.
set -euo pipefail

here=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$1"
work=$(cd "$1" && pwd)
suite=${SUITE:-bookworm}
fail() { echo "package_check: $*" >&2; exit 1; }
step() { echo "package_check: $* ($(date -u +%T))"; }

step "building the packages"
bash "$here/scripts/build-packages" "$work"

version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=$work/libkeldrune-vault-storage0_${version}_$arch.deb
dev=$work/libkeldrune-vault-storage-dev_${version}_$arch.deb
tool=$work/keldrune-vault_${version}_$arch.deb
for d in "$lib" "$dev" "$tool"; do [ -f "$d" ] || fail "missing $(basename "$d")"; done

# ---- control data -----------------------------------------------------------------
step "checking control data and contents"
for d in "$lib" "$dev" "$tool"; do
  case "$(dpkg-deb -f "$d" Depends)" in *yyjson*) fail "$(basename "$d") depends on yyjson" ;; esac
done
[ "$(dpkg-deb -I "$lib" shlibs)" = "libkeldrune-vault-storage 0 libkeldrune-vault-storage0 (>= ${version%%-*})" ] ||
  fail "shlibs entry: $(dpkg-deb -I "$lib" shlibs)"
# Listings are read whole before grep: `grep -q` stops at the first match,
# and the writer's SIGPIPE would then fail the pipeline under pipefail.
triggers=$(dpkg-deb -I "$lib" triggers)
grep -qx 'activate-noawait ldconfig' <<<"$triggers" || fail "no ldconfig trigger"
for s in preinst postinst prerm postrm; do
  if dpkg-deb -I "$lib" "$s" > /dev/null 2>&1; then fail "the library package has a $s script"; fi
done
case "$(dpkg-deb -f "$dev" Depends)" in
  *"libkeldrune-vault-storage0 (= $version)"*) ;; *) fail "-dev does not depend on the library of its version" ;;
esac

# ---- contents ----------------------------------------------------------------------
# Each package's files (documentation aside) exactly.
files() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | grep -v '^\./usr/share/doc/' | sort
}
L=./usr/lib/$triplet
expect_files() {  # $1: package file, then the expected paths
  local deb=$1; shift
  local want; want=$(printf '%s\n' "$@" | sort)
  if [ "$(files "$deb")" != "$want" ]; then
    diff <(printf '%s\n' "$want") <(files "$deb") >&2 || true
    fail "$(basename "$deb"): file list differs (< expected, > packaged)"
  fi
  local listing; listing=$(dpkg-deb -c "$deb")
  grep -q "/usr/share/doc/$(dpkg-deb -f "$deb" Package)/copyright$" <<<"$listing" ||
    fail "$(basename "$deb"): no copyright file"
}
expect_files "$lib" "$L/libkeldrune-vault-storage.so.0" "$L/libkeldrune-vault-storage.so.${version%%-*}" \
  "$L/keldrune-vault-storage/libyyjson.so.0"
expect_files "$dev" ./usr/include/keldrune-vault-storage.h "$L/libkeldrune-vault-storage.so" \
  "$L/pkgconfig/keldrune-vault-storage.pc" \
  "$L/cmake/keldrune-vault-storage/keldrune-vault-storage-config.cmake" \
  "$L/cmake/keldrune-vault-storage/keldrune-vault-storage-config-version.cmake" \
  "$L/cmake/keldrune-vault-storage/keldrune-vault-storage-targets.cmake" \
  "$L/cmake/keldrune-vault-storage/keldrune-vault-storage-targets-none.cmake"
expect_files "$tool" ./usr/bin/keldrune-vault ./usr/share/man/man1/keldrune-vault.1.gz \
  ./usr/share/bash-completion/completions/keldrune-vault \
  ./lib/systemd/system/keldrune-vault-check.service ./lib/systemd/system/keldrune-vault-check.timer

# The packaged library exports the header's functions and nothing else.
x=$work/extract
rm -rf "$x" && mkdir -p "$x"
dpkg-deb -x "$lib" "$x"
# (names without their symbol version; the version nodes themselves are
# absolute symbols)
exports=$(nm -D --defined-only "$x/${L#./}/libkeldrune-vault-storage.so.${version%%-*}" |
          awk '$2 != "A" {sub(/@.*/, "", $3); print $3}' | sort)
declared=$(grep -o 'VAULT_API[^;(]*\bvault_[a-z_0-9]*[[:space:]]*(' "$here/include/keldrune-vault-storage.h.in" |
           grep -o 'vault_[a-z_0-9]*' | sort -u)
[ "$exports" = "$declared" ] || fail "the packaged library's exports differ from the header's functions"

# The Python package installed as python/README.md says, with Debian's
# python3 and a second interpreter, over the packaged library (about half a
# minute: two venvs, too slow for make test).
step "installing the Python package with two interpreters"
bash "$here/tests/install/python_install_test.sh" "$here" \
  "$x/${L#./}/libkeldrune-vault-storage.so.0" "$work/python-install"
rm -rf "$x"

# ---- a clean Debian 12 ---------------------------------------------------------------
root=$work/root
rm -rf "$root"
mirror=$(bash "$here/scripts/debian-mirror")
step "making a minimal $suite root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" > "$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log"; fail "debootstrap failed (log: $work/debootstrap.log)"; }
# apt inside behaves as on this machine: same configuration, same sources.
cp -a /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
rm -f "$root/etc/apt/sources.list"
[ ! -f /etc/apt/sources.list ] || cp /etc/apt/sources.list "$root/etc/apt/"
find /etc/apt/sources.list.d -maxdepth 1 \( -name '*.list' -o -name '*.sources' \) \
  -exec cp {} "$root/etc/apt/sources.list.d/" \;
mkdir -p "$root/tmp/debs" "$root/tmp/consumer"
cp "$lib" "$dev" "$tool" "$root/tmp/debs/"
cp "$here"/tests/install/consumer/* "$root/tmp/consumer/"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
              DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }

step "installing the library and the tool with apt"
in_root apt-get update -qq > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get update in the root"; }
in_root apt-get install -y -q --no-install-recommends "/tmp/debs/$(basename "$lib")" "/tmp/debs/$(basename "$tool")" \
  >> "$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log"; fail "installing the packages"; }
if in_root dpkg-query -W libyyjson0 > /dev/null 2>&1; then fail "apt brought in libyyjson0"; fi
[ -f "$root/usr/share/man/man1/keldrune-vault.1.gz" ] || fail "no manual page installed"
# The daily check ships disabled: installing the package enables nothing.
for u in timers.target.wants/keldrune-vault-check.timer multi-user.target.wants/keldrune-vault-check.service; do
  [ ! -e "$root/etc/systemd/system/$u" ] && [ ! -L "$root/etc/systemd/system/$u" ] || fail "installing the tool's package enabled $u"
done
# The units as systemd reads them (the minimal root has no systemd: they
# are verified here, with ExecStart pointed at the packaged tool).
if command -v systemd-analyze > /dev/null; then
  step "verifying the check's systemd units"
  u=$work/units
  rm -rf "$u" && mkdir -p "$u/pkg"
  dpkg-deb -x "$tool" "$u/pkg"
  for f in "$u"/pkg/lib/systemd/system/keldrune-vault-check.*; do
    sed "s|^ExecStart=/usr/bin/keldrune-vault|ExecStart=$u/pkg/usr/bin/keldrune-vault|" "$f" > "$u/${f##*/}"
  done
  systemd-analyze verify --man=no "$u/keldrune-vault-check.service" "$u/keldrune-vault-check.timer" ||
    fail "systemd-analyze verify refuses the check's units"
  rm -rf "$u"
fi
# The completion offers the tool's own commands.
out=$(in_root bash -c 'source /usr/share/bash-completion/completions/keldrune-vault
  COMP_WORDS=(keldrune-vault user ""); COMP_CWORD=2; _keldrune_vault; echo "${COMPREPLY[*]}"')
case "$out" in *create*list*) ;; *) fail "bash completion of 'user': $out" ;; esac
out=$(in_root keldrune-vault --root /tmp/demo demo 2>&1) || { echo "$out"; fail "the demo failed in the root"; }
case "$out" in *'"users": 1'*) ;; *) echo "$out"; fail "unexpected demo output" ;; esac

step "building a consumer against the -dev package"
in_root apt-get install -y -q --no-install-recommends "/tmp/debs/$(basename "$dev")" \
  gcc libc6-dev cmake make pkg-config >> "$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log"; fail "installing the -dev package and a compiler"; }
want=${version%%-*}
in_root bash -euc '
  cd /tmp/consumer
  cmake -S . -B build-cmake -DVS_WANT_VERSION="$1" > cmake.log 2>&1 || { cat cmake.log; exit 1; }
  cmake --build build-cmake > build.log 2>&1 || { cat build.log; exit 1; }
  ./build-cmake/vault_consumer /tmp/root-cmake
  cc -o vault_consumer_pc consumer.c $(pkg-config --cflags --libs keldrune-vault-storage)
  ./vault_consumer_pc /tmp/root-pc
' consumer "${want%.*}" > "$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; fail "the consumer build or run failed in the root"; }
[ "$(grep -c '"users":1,"ciphers":1,' "$work/consumer.log")" = 2 ] ||
  { cat "$work/consumer.log"; fail "unexpected consumer output"; }

rm -rf "$root"
step "ok"
