#!/usr/bin/env bash
# `make sharedfs-test`: for each shared file system, a volume mounted twice
# (scripts/glusterfs, scripts/cephfs), the stress test of two hosts across
# the two mounts (on GlusterFS also key rotations across them), then the
# concurrency, damaged-document and crash tests with their scratch
# trees on the volume. Each volume is torn down whatever happens, and the
# exit status is 1 when any part failed.
#
# The GlusterFS volume is replicated (three bricks, VS_GLUSTER_REPLICA): one
# brick process is killed VS_BRICK_KILL_AFTER seconds (default 15) into the
# stress test and started again VS_BRICK_DOWN seconds (default 20) later;
# after the test the volume is healed, the bricks must hold the same files,
# and the operator's check must find nothing in the stress test's tree.
# VS_BRICK_KILL=0 leaves the bricks alone (heal, comparison and check stay).
#
#   tests/sharedfs/run.sh BUILD_DIR DIR [STRESS OPTIONS...]
# SHAREDFS (default "glusterfs cephfs") names the file systems, each set up
# in DIR/<name>. VS_CRASH_KILLS (default 300) sizes the crash test on the
# volume; its calls take milliseconds there, so a kill may come up to
# VS_CRASH_WAIT_US (default 40 ms) into a round. CephFS is slower under
# contention (its metadata server makes a waiting lock request wait for
# its next tick), so there the stress test runs with VS_CEPH_STRESS_ARGS
# (default: a third of the work) before the STRESS OPTIONS, and the crash
# test with VS_CEPH_CRASH_KILLS (default 100) kills.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: tests/sharedfs/run.sh BUILD_DIR DIR [STRESS OPTIONS...]" >&2; exit 2; }
cd "$(dirname "$0")/../.."
build=$(realpath "$1")
base=$(realpath -m "$2")
shift 2
systems=${SHAREDFS:-glusterfs cephfs}
for fs in $systems; do
  case "$fs" in glusterfs|cephfs) ;; *) echo "sharedfs: unknown file system $fs" >&2; exit 2 ;; esac
done

fs=
trap '[ -n "$fs" ] && bash scripts/$fs down "$base/$fs"' EXIT
trap 'exit 130' INT TERM

status=0
# A client that stops answering (seen once: a GlusterFS client left a
# rename unanswered, and the stress's processes waited in the kernel) must
# fail the step, not hold the run until an outer limit: the stress runs
# under a bound (VS_STRESS_TIMEOUT seconds, default 600; its own limit is
# 170 s of work), and the teardown unmounts what it leaves waiting.
stress_cmd=(timeout -k 30 "${VS_STRESS_TIMEOUT:-600}" "$build/tests/sharedfs/vs_sharedfs_stress")
# check over the tree the stress left. A call that failed part-way (a
# deletion told "stale" after its rename) leaves a step half-done, which
# check reports and reindex finishes: then reindex, and check again, which
# must be clean. Any other finding fails at once.
check_after_stress() {
  local tool=$1 root=$2 out
  out=$("$tool" --root "$root" check) && { echo "$out"; return 0; }
  echo "$out"
  if echo "$out" | grep -v '^check: ' | grep -qvE '^(deletion-remainder|bad-index-entry|email-change-cut-short) '; then
    return 1
  fi
  "$tool" --root "$root" reindex && "$tool" --root "$root" check
}
# Runs the command (the stress test) while one brick of the replicated
# GlusterFS volume dies and comes back.
with_brick_down() {
  (
    sleep "${VS_BRICK_KILL_AFTER:-15}"
    killed=0
    bash scripts/glusterfs kill-brick "$dir" 2 && killed=1
    sleep "${VS_BRICK_DOWN:-20}"
    bash scripts/glusterfs revive "$dir" && [ "$killed" -eq 1 ]
  ) &
  local chaos=$! rc=0
  "$@" || rc=1
  wait "$chaos" || { echo "sharedfs: $fs: killing or restarting a brick failed"; rc=1; }
  return "$rc"
}

step() {
  local name="$fs: $1" t0
  shift
  t0=$(date +%s)
  if "$@"; then
    echo "sharedfs: $name passed ($(( $(date +%s) - t0 )) s)"
  else
    echo "sharedfs: $name FAILED ($(( $(date +%s) - t0 )) s)"
    status=1
  fi
}

for fs in $systems; do
  dir="$base/$fs"
  kills=${VS_CRASH_KILLS:-300}
  stress=()
  if [ "$fs" = cephfs ]; then
    kills=${VS_CEPH_CRASH_KILLS:-100}
    read -r -a stress <<< "${VS_CEPH_STRESS_ARGS:---saves 700 --moves 200 --addresses 20 --folders 50}"
  fi
  start=$(date +%s)
  if ! bash "scripts/$fs" up "$dir"; then
    echo "sharedfs: $fs could not be set up"
    status=1
    bash "scripts/$fs" down "$dir"
    continue
  fi
  echo "sharedfs: $fs up in $(( $(date +%s) - start )) s"
  if [ "$fs" = glusterfs ] && [ "${VS_GLUSTER_REPLICA:-3}" -gt 1 ]; then
    if [ "${VS_BRICK_KILL:-1}" = 1 ]; then
      step "two-host stress, a brick killed and restarted" with_brick_down \
        "${stress_cmd[@]}" "${stress[@]}" "$@" "$dir/host1/root" "$dir/host2/root"
    else
      step "two-host stress" "${stress_cmd[@]}" "${stress[@]}" "$@" \
        "$dir/host1/root" "$dir/host2/root"
    fi
    step "heal, bricks the same" bash scripts/glusterfs heal "$dir"
    step "check of the stress tree" check_after_stress "$build/keldrune-vault" "$dir/host1/root"
  else
    step "two-host stress" "${stress_cmd[@]}" "${stress[@]}" "$@" \
      "$dir/host1/root" "$dir/host2/root"
  fi
  if [ "$fs" = glusterfs ] && [ "${VS_ROTATION_TEST:-1}" = 1 ]; then
    # Key rotations on one mount while the other reads, saves and moves:
    # whole generations only, nothing lost (its own roots on the volume).
    # VS_ROTATION_TEST=0 leaves it out.
    step "key rotation across two mounts" timeout -k 30 "${VS_ROTATION_TIMEOUT:-300}" \
      "$build/tests/sharedfs/vs_sharedfs_replace_readers" --replacements 150 --contended 40 \
      --seconds 60 "$dir/host1/rotation" "$dir/host2/rotation"
  fi
  step "locked reads" "$build/tests/sharedfs/vs_sharedfs_locked_read" "$dir/host1" "$dir/host2"
  step "concurrency test" env VS_TEST_TMP="$dir/host1" \
    "$build/tests/reliability/vs_rel_tests" --gtest_filter='Concurrent.*'
  step "damaged document" env VS_TEST_TMP="$dir/host1" \
    "$build/tests/reliability/vs_rel_tests" --gtest_filter='Damaged.*'
  step "crash test" env VS_TEST_TMP="$dir/host1" VS_CRASH_KILLS="$kills" \
    VS_CRASH_WAIT_US="${VS_CRASH_WAIT_US:-40000}" \
    "$build/tests/reliability/vs_rel_tests" --gtest_filter='Crash.*'
  bash "scripts/$fs" down "$dir" || status=1
done
fs=
exit $status
