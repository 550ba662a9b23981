#!/usr/bin/env bash
# Installs the Python package the way python/README.md says, offline, with
# two interpreters, and uses each install against a fresh data root:
#  - Debian's /usr/bin/python3: a venv that sees Debian's setuptools and
#    wheel, and `pip install --no-build-isolation ./python` into it;
#  - a second interpreter (a pyenv build: $KV_SECOND_PYTHON, else the newest
#    under $PYENV_ROOT or ~/.pyenv, else `python3` on PATH when it is not
#    Debian's): a venv of its own and the wheel built by the first, since
#    such an interpreter usually has no wheel package to build with.
# Nothing outside WORK is written (the source tree is copied first: a
# setuptools build leaves build/ and *.egg-info beside the sources).
#
# Usage: python_install_test.sh SOURCE_DIR LIBRARY WORK_DIR
set -euo pipefail

src=$1 lib=$2 work=$3
fail() { echo "python_install_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cp -r "$src/python" "$work/python"
rm -rf "$work/python/build" "$work/python"/*.egg-info
cd "$work"
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1
unset PYTHONPATH KELDRUNE_VAULT_LIB

# One call against a temporary root, from the installed copy only.
use() {
  local python=$1 root=$2
  "$python" - "$root" "$lib" "$work" <<'PY'
import os, sys
root, lib, work = sys.argv[1:]
import keldrune_vault
from keldrune_vault import Vault, NotFoundError
where = os.path.realpath(keldrune_vault.__file__)
assert where.startswith(os.path.realpath(work) + "/venv-"), where
try:
    Vault(root, library=lib)
    raise SystemExit("a missing root was opened")
except NotFoundError:
    pass
with Vault.init(root, library=lib) as v:
    uid = v.user_create("py@example.org", "h", 1, "k")
    assert v.user_find_by_email("py@example.org").user_id == uid
    print("%s %s: registered %s" % (sys.executable, sys.version.split()[0], uid))
PY
}

# Debian's interpreter: the lines of python/README.md.
[ -x /usr/bin/python3 ] || fail "no /usr/bin/python3"
/usr/bin/python3 -m venv --system-site-packages venv-debian > venv-debian.log 2>&1 ||
  { cat venv-debian.log; fail "python3 -m venv failed (python3-venv installed?)"; }
venv-debian/bin/pip install --no-build-isolation ./python > pip-debian.log 2>&1 ||
  { cat pip-debian.log; fail "pip install --no-build-isolation ./python failed with /usr/bin/python3"; }
use venv-debian/bin/python "$work/root-debian"

# The second interpreter.
second=${KV_SECOND_PYTHON:-}
if [ -z "$second" ]; then
  pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  for p in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r); do
    if [ -x "$p/bin/python3" ] && "$p/bin/python3" -c 'import sys, venv; sys.exit(sys.version_info < (3, 8))' 2>/dev/null; then
      second=$p/bin/python3
      break
    fi
  done
fi
if [ -z "$second" ] && command -v python3 > /dev/null; then
  p=$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))')
  [ "$p" != "$(realpath /usr/bin/python3)" ] && second=$p
fi
if [ -z "$second" ]; then
  echo "python_install_test: no second interpreter (set KV_SECOND_PYTHON); Debian's passed"
  exit 0
fi
venv-debian/bin/pip wheel --no-build-isolation --no-deps -w wheels ./python > wheel.log 2>&1 ||
  { cat wheel.log; fail "building the wheel failed"; }
"$second" -m venv venv-second > venv-second.log 2>&1 ||
  { cat venv-second.log; fail "$second -m venv failed"; }
venv-second/bin/pip install wheels/keldrune_vault-*.whl > pip-second.log 2>&1 ||
  { cat pip-second.log; fail "pip install of the wheel failed with $second"; }
use venv-second/bin/python "$work/root-second"
