#!/usr/bin/env bash
# The built library against the ABI of the last release, whose description
# (abidw) is kept next to this script: a removed export, or a changed
# function, variable or type behind one, fails; added exports pass.
# Usage: abi_check.sh BASELINE.abi LIBRARY HEADERS-DIR
set -u
baseline=$1 lib=$2 headers=$3
if ! command -v abidiff >/dev/null 2>&1; then
  echo "ABI check skipped: abidiff is not installed (Debian package abigail-tools;" \
       "scripts/setup installs it)"
  exit 77
fi
report=$(abidiff --headers-dir2 "$headers" "$baseline" "$lib")
rc=$?
printf '%s\n' "$report"
# abidiff's status is a bit set: 1 error, 2 usage, 4 a change of the ABI,
# 8 a change known to be incompatible. A change that is only additions is
# compatible; everything else is judged from the summaries.
if (( rc & 11 )); then
  echo "ABI check failed: abidiff status $rc"
  exit 1
fi
bad=$(printf '%s\n' "$report" | grep -E 'summary:' |
      grep -E '(^|[^0-9])([1-9][0-9]*) (Removed|Changed)')
if [ -n "$bad" ]; then
  echo "ABI check failed: an export was removed or changed: $bad"
  exit 1
fi
echo "ABI check passed: compatible with $(basename "$baseline")"
