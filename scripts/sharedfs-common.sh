# Sourced by scripts/glusterfs and scripts/cephfs: what both need to set up
# a shared file system on this machine and take it down again. The caller
# sets `me` (its name in messages) and `state` (the file that records what
# `up` did, so that `down` undoes exactly that).

die() { echo "$me: $*" >&2; exit 1; }

record() { echo "$1" >> "$state"; }
recorded() { [ -f "$state" ] && grep -qx "$1" "$state"; }

# Installs those of the given Debian packages that are missing, from the
# machine's own apt sources. apt may be busy with another install: wait.
install_missing() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  [ "${#need[@]}" -eq 0 ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  # Without systemd as init the packages' attempts to start their daemons
  # fail harmlessly; the scripts start what they need themselves.
  local try
  for try in $(seq 1 30); do
    if apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; then
      return 0
    fi
    echo "$me: apt-get failed (busy?), trying again in 10 s" >&2
    sleep 10
  done
  die "cannot install ${need[*]}"
}

need_fuse() {
  [ -e /dev/fuse ] || modprobe fuse 2>/dev/null || die "no /dev/fuse: FUSE is needed for the mounts"
}

# Waits up to $2 tenths of a second for process $1 to end; 0 when it did.
wait_gone() {
  local pid=$1 n=$2 i
  for i in $(seq 1 "$n"); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  ! kill -0 "$pid" 2>/dev/null
}

# Whether $1 is a mount point, from /proc/mounts: mountpoint(1) asks the
# file system, and a FUSE client whose servers are gone never answers.
is_mounted() { grep -q "^[^ ]* $1 " /proc/mounts; }

# Unmounts mount point $1 if mounted, giving up after $2 seconds (default
# 20; a hung FUSE client blocks the unmount, and only SIGKILL ends the
# wait). -c: umount must not look the path up either. 1 when it is still
# mounted.
unmount_bounded() {
  local m=$1 t=${2:-20}
  is_mounted "$m" || return 0
  timeout -s KILL "$t" umount -c "$m" 2>/dev/null ||
    timeout -s KILL 10 umount -c -l "$m" 2>/dev/null || true
  ! is_mounted "$m"
}

# 1 when anything is still mounted below directory $1.
mounted_below() { grep -q " $1/" /proc/mounts; }
