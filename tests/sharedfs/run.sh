#!/usr/bin/env bash
# `make sharedfs-test`: a GlusterFS volume mounted twice (scripts/glusterfs),
# the stress test of two hosts across the two mounts, then the concurrency,
# damaged-document and crash tests with their scratch trees on the volume.
# The volume is torn down whatever happens, and the exit status is 1 when
# any part failed.
#
#   tests/sharedfs/run.sh BUILD_DIR VOLUME_DIR [STRESS OPTIONS...]
# VS_CRASH_KILLS (default 300) sizes the crash test on the volume; its calls
# take milliseconds there, so a kill may come up to VS_CRASH_WAIT_US (default
# 40 ms) into a round.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: tests/sharedfs/run.sh BUILD_DIR VOLUME_DIR [STRESS OPTIONS...]" >&2; exit 2; }
cd "$(dirname "$0")/../.."
build=$(realpath "$1")
dir=$(realpath -m "$2")
shift 2

trap 'bash scripts/glusterfs down "$dir"' EXIT
trap 'exit 130' INT TERM

start=$(date +%s)
bash scripts/glusterfs up "$dir" || exit 1
echo "sharedfs: volume up in $(( $(date +%s) - start )) s"

status=0
step() {
  local name=$1 t0
  shift
  t0=$(date +%s)
  if "$@"; then
    echo "sharedfs: $name passed ($(( $(date +%s) - t0 )) s)"
  else
    echo "sharedfs: $name FAILED ($(( $(date +%s) - t0 )) s)"
    status=1
  fi
}
step "two-host stress" "$build/tests/sharedfs/vs_sharedfs_stress" "$@" "$dir/host1/root" "$dir/host2/root"
export VS_TEST_TMP="$dir/host1"
step "concurrency test" "$build/tests/reliability/vs_rel_tests" --gtest_filter='Concurrent.*'
step "damaged document" "$build/tests/reliability/vs_rel_tests" --gtest_filter='Damaged.*'
step "crash test" env VS_CRASH_KILLS="${VS_CRASH_KILLS:-300}" VS_CRASH_WAIT_US="${VS_CRASH_WAIT_US:-40000}" \
  "$build/tests/reliability/vs_rel_tests" --gtest_filter='Crash.*'
exit $status
