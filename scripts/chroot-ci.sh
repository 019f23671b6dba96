#!/usr/bin/env bash
# Runs CI as a fresh machine would: a new minimal Debian chroot
# (debootstrap --variant=minbase) with nothing installed or cached, the
# repository's current HEAD cloned into /root/project, and `CI=true bash .ci/run`
# run there as root. A tool for developers, not run by CI itself; needs root.
#
#   scripts/chroot-ci.sh [options] bookworm|trixie
#   scripts/chroot-ci.sh [options] --reuse /work/chroots/<suite>-<stamp>
#
#   --keep            leave the chroot in place after a passing run too (a failed
#                     run's chroot always stays), for a second run
#   --reuse DIR       run again in a chroot left by --keep: packages and caches
#                     stay, the project is cloned afresh (implies --keep)
#   --keep-project    with --reuse: keep /root/project and its build folders too
#   --commit REV      the commit to clone (default: HEAD)
#   --command CMD     what to run in /root/project (default: CI=true bash .ci/run)
#   --nice N          niceness of the run (default 19: others build on the same cores)
#
#   VELLICOR_CHROOTS  where chroots and logs go (default /work/chroots)
#   VELLICOR_MIRROR   Debian mirror (default: the one this machine's apt sources name)
#
# The chroot is <chroots>/<suite>-<UTC stamp>, its log <chroots>/<suite>-<stamp>.log.
# /proc, /sys, /dev, /dev/pts and /dev/shm are mounted into it and always
# unmounted on exit; processes still running in the chroot (a lingering
# wineserver) are ended first. Exit status: that of the command in the chroot.
# The whole script is one block, read in full before it starts: a run takes
# most of an hour, and bash would otherwise read an edited file from where it was.
{
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
repo=$vellicor_root
chroots=${VELLICOR_CHROOTS:-/work/chroots}
mirror=${VELLICOR_MIRROR:-$(apt_mirror main)}

usage() { sed -n '2,/^# The whole script/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }

keep=0 keep_project=0 reuse= suite= rev=HEAD niceness=19
command='CI=true bash .ci/run'
while (($#)); do
  case $1 in
    --keep) keep=1 ;;
    --reuse) reuse=${2:?--reuse needs a folder}; keep=1; shift ;;
    --keep-project) keep_project=1 ;;
    --commit) rev=${2:?--commit needs a revision}; shift ;;
    --command) command=${2:?--command needs a command}; shift ;;
    --nice) niceness=${2:?--nice needs a number}; shift ;;
    bookworm | trixie) suite=$1 ;;
    -h | --help) usage ;;
    *) echo "[ERR] chroot-ci.sh: unknown argument '$1'" >&2; usage ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "[ERR] chroot-ci.sh must run as root (debootstrap, mount, chroot)" >&2; exit 2; }

[ -n "$mirror" ] || { echo "[ERR] chroot-ci.sh: this machine's apt sources name no Debian mirror; set VELLICOR_MIRROR" >&2; exit 2; }

if [ -n "$reuse" ]; then
  dir=$(readlink -f "$reuse")
  [ -x "$dir/bin/bash" ] || { echo "[ERR] $reuse is not a chroot left by --keep" >&2; exit 2; }
  suite=$(. "$dir/etc/os-release" && printf '%s' "$VERSION_CODENAME")
  log=$dir.$(date -u +%Y%m%d-%H%M%S).log
else
  [ -n "$suite" ] || usage
  mkdir -p "$chroots"
  dir=$(readlink -f "$chroots")/$suite-$(date -u +%Y%m%d-%H%M%S)
  log=$dir.log
fi
commit=$(git -C "$repo" rev-parse --verify "$rev^{commit}")

mounted=()
# Ends what still runs inside the chroot (by pid, only processes whose root
# is this chroot), then unmounts in reverse order, lazily where busy.
cleanup() {
  local status=$? p i
  trap - ERR
  for i in 1 2 3; do
    local pids=()
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/root" 2>/dev/null)" = "$dir" ] && pids+=("${p#/proc/}")
    done
    ((${#pids[@]})) || break
    echo "chroot-ci.sh: ending processes left in the chroot: ${pids[*]}" >&2
    kill "$( ((i < 3)) && echo -TERM || echo -KILL)" "${pids[@]}" 2>/dev/null || true
    sleep 2
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" ||
      echo "[ERR] chroot-ci.sh: could not unmount ${mounted[i]}" >&2
  done
  # A chroot is removed after a passing run unless --keep; a failed run's
  # chroot stays for a look (remove it with rm -rf --one-file-system).
  if [ -d "$dir" ]; then
    if ((keep || status != 0)); then
      echo "chroot-ci.sh: the chroot stays in $dir"
    elif grep -q " $dir/" /proc/self/mountinfo; then
      echo "[ERR] chroot-ci.sh: something is still mounted under $dir; left in place" >&2
    else
      rm -rf --one-file-system "$dir"
      echo "chroot-ci.sh: removed $dir (--keep keeps it)"
    fi
  fi
  exit "$status"
}
trap cleanup EXIT

mount_in() { # type-or-bind source target [options]
  local kind=$1 src=$2 target=$dir$3
  shift 3
  mkdir -p "$target"
  if [ "$kind" = bind ]; then
    mount --bind "$src" "$target"
    mounted+=("$target")
    mount --make-private "$target"
  else
    mount -t "$kind" "$@" "$src" "$target"
    mounted+=("$target")
  fi
}

started=$SECONDS
mkdir -p "$chroots"
{
  echo "chroot-ci.sh: suite $suite, chroot $dir, command: $command"
  echo "chroot-ci.sh: started $(date -u '+%Y-%m-%d %H:%M:%S') UTC"
} | tee -a "$log"

if [ -z "$reuse" ]; then
  if ! command -v debootstrap >/dev/null; then
    echo "chroot-ci.sh: installing debootstrap" | tee -a "$log"
    apt-get update >>"$log" 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap >>"$log" 2>&1 ||
      { echo "[ERR] chroot-ci.sh: could not install debootstrap (see $log)" >&2; exit 2; }
  fi
  echo "chroot-ci.sh: debootstrap --variant=minbase $suite $dir" | tee -a "$log"
  nice -n "$niceness" debootstrap --variant=minbase "$suite" "$dir" "$mirror" >>"$log" 2>&1 ||
    { echo "[ERR] chroot-ci.sh: debootstrap failed (see $log)" >&2; tail -20 "$log" >&2; exit 2; }
  # What a fresh install has: the release, its updates and security updates.
  security=$(apt_mirror security)
  [ -n "$security" ] || security=${mirror%/debian}/debian-security
  cat >"$dir/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  # No service starts inside the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
  chmod 755 "$dir/usr/sbin/policy-rc.d"
  echo "chroot-ci.sh: debootstrap done in $((SECONDS - started)) s" | tee -a "$log"
fi
cp -L /etc/resolv.conf "$dir/etc/resolv.conf"

mount_in proc proc /proc
mount_in sysfs sysfs /sys -o ro
mount_in bind /dev /dev
mount_in bind /dev/pts /dev/pts
mount_in tmpfs shm /dev/shm -o mode=1777,nosuid,nodev

project=$dir/root/project
if ((keep_project)) && [ -d "$project/.git" ]; then
  echo "chroot-ci.sh: keeping /root/project as it is, at $(git -C "$project" rev-parse HEAD)" | tee -a "$log"
else
  rm -rf "$project"
  # Cloned from outside: the chroot has no git unless the scripts install it.
  git clone -q --no-local --no-checkout "$repo" "$project"
  git -C "$project" checkout -q --detach "$commit"
  echo "chroot-ci.sh: cloned $commit into /root/project" | tee -a "$log"
fi

run_started=$SECONDS
echo "chroot-ci.sh: running '$command' in /root/project at niceness $niceness" | tee -a "$log"
status=0
nice -n "$niceness" chroot "$dir" /usr/bin/env -i HOME=/root USER=root LOGNAME=root TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c "cd /root/project && $command" >>"$log" 2>&1 </dev/null || status=$?
{
  echo "chroot-ci.sh: '$command' ended with exit status $status after $((SECONDS - run_started)) s" \
    "($((SECONDS - started)) s with the chroot's making)"
  echo "chroot-ci.sh: chroot $dir, log $log"
} | tee -a "$log"
exit "$status"
}
