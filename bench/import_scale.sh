#!/bin/sh
# Import costs the same per account at any size: imports dumps of 1,000
# and 10,000 accounts (one item each, default non-authoritative index)
# into fresh data roots and fails when the larger takes more than 12 times
# the time of the smaller (linear would be 10).
#   bench/import_scale.sh [TOOL] [SCRATCH]
# TOOL defaults to build/keldrune-vault, SCRATCH to a new directory under
# ${TMPDIR:-/tmp} (a disk; pass one on tmpfs to leave out the device).
set -eu
tool=${1:-build/keldrune-vault}
scratch=${2:-$(mktemp -d "${TMPDIR:-/tmp}/kv-import-scale.XXXXXX")}
mkdir -p "$scratch"
trap 'rm -rf "$scratch"' EXIT

dump() {  # dump N FILE
  python3 - "$1" "$2" <<'PY'
import json, sys
n, path = int(sys.argv[1]), sys.argv[2]
with open(path, "w") as f:
    f.write('{"format":"keldrune-vault-dump","version":1}\n')
    for i in range(n):
        uid = "%08x-0000-4000-8000-%012x" % (i, i)
        profile = json.dumps({"email": "user%d@scale.test" % i, "masterPasswordHash": "h"})
        f.write(json.dumps({"account": uid, "profile": profile, "folders": "[]"}) + "\n")
        f.write(json.dumps({"item": "c1", "trash": False, "document": '{"id":"c1"}'}) + "\n")
    f.write(json.dumps({"end": True, "accounts": n, "items": n}) + "\n")
PY
}

secs() {  # secs N: seconds to import N accounts into a fresh root
  dump "$1" "$scratch/d$1.jsonl"
  "$tool" --root "$scratch/r$1" init >/dev/null
  start=$(date +%s.%N)
  "$tool" --root "$scratch/r$1" import "$scratch/d$1.jsonl" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

small=$(secs 1000)
large=$(secs 10000)
ratio=$(echo "$large / $small" | bc -l)
printf 'import: 1,000 accounts %.2f s, 10,000 accounts %.2f s, ratio %.1f (at most 12)\n' \
  "$small" "$large" "$ratio"
[ "$(echo "$ratio <= 12" | bc -l)" = 1 ]
