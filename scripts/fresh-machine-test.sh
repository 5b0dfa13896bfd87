#!/usr/bin/env bash
# The README's two commands on a fresh Debian 12 machine: builds a minimal Debian 12 root from
# Debian's packages (mmdebstrap, variant minbase; the tarball is cached), clones the repository
# into it, and runs scripts/run.sh and then scripts/test.sh inside, as root on a new machine
# would, with nothing of this machine's packages. Prints each command's time and result, and
# exits 0 only when both pass.
#
#   scripts/fresh-machine-test.sh [--keep]     (root; --keep leaves the root and its logs)
#
# The root is a container of its own: private mount, PID, IPC and host-name namespaces with
# the fresh tree as their root (bound onto itself and made the root with pivot_root, the
# machine's own root unmounted), with the host's /dev and /sys. The tests themselves start
# containers (systemd as PID 1 in systemd-nspawn), mount namespaces and FUSE file systems, so
# the fresh root keeps root's full privileges rather than a nested nspawn's reduced ones.
# Only the committed HEAD is tested: uncommitted changes are not in the clone. The shared
# design notes (../shared), when they lie beside the repository, are copied beside the
# clone as CI has them.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

keep=0
[ "${1:-}" = "--keep" ] && keep=1
[ "$(id -u)" -eq 0 ] || {
  echo "fresh-machine-test: needs root (it builds a root file system and chroots into it)" >&2
  exit 1
}

if ! command -v mmdebstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi

cache=${XDG_CACHE_HOME:-$HOME/.cache}/orvane
tarball=$cache/bookworm-minbase.tar
# Where this machine's apt finds Debian, for the fresh root too; the Release files of some
# mirrors are older than their Valid-Until, which a fresh machine here must accept as this
# machine's apt does.
apt_opts=(--aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Languages "none"')
if [ ! -f "$tarball" ]; then
  mkdir -p "$cache"
  echo "fresh-machine-test: building a minimal Debian 12 root (cached in $tarball)" >&2
  mmdebstrap --quiet --variant=minbase --format=tar "${apt_opts[@]}" bookworm "$tarball.part" \
    "deb http://deb.debian.org/debian bookworm main" \
    "deb http://deb.debian.org/debian bookworm-updates main" \
    "deb http://deb.debian.org/debian-security bookworm-security main"
  mv "$tarball.part" "$tarball"
fi

work=$(mktemp -d /var/tmp/orvane-fresh.XXXXXX)
root=$work/root
mkdir -p "$root"
cleanup() {
  if ((keep)); then
    echo "fresh-machine-test: kept $work" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
tar -xf "$tarball" -C "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The certificate authorities this machine's administrator added (a network that inspects
# TLS has one) belong to the machine, not to a package: a new machine on the same network has
# them too, and the ca-certificates package takes them in when the set-up installs it.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi
# The tests run programs of the build as other users (nobody, a planted attacker), so the
# checkout lies where every user may reach it, as on this machine, not in root's own 0700 home.
mkdir -p "$root/work"
git clone --quiet --no-hardlinks "$repo" "$root/work/orvane"
[ -d "$repo/../shared" ] && cp -r "$repo/../shared" "$root/work/shared"

# One command inside the fresh root, as root in its home, with a new machine's environment.
inside() {
  unshare --mount --pid --ipc --uts --fork --propagation private bash -c '
    set -e
    root=$1
    shift
    # The fresh root is a mount point of its own, as the root of a machine is, so that the
    # private mount namespaces of the tests can make it private.
    mount --rbind "$root" "$root"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    hostname fresh-debian
    # The fresh root becomes the namespace root (pivot_root, not chroot): a process that
    # enters a mount namespace gets that namespace root, as the tests rigs do with setns.
    mkdir -p "$root/.host"
    cd "$root"
    pivot_root . .host
    exec /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      TERM=dumb LANG=C.UTF-8 /bin/bash -c "umount -l /.host && cd /work/orvane && $*"
  ' inside "$root" "$@"
}

status=0
results=()
for command in scripts/run.sh scripts/test.sh; do
  log=$work/$(basename "$command" .sh).log
  echo "fresh-machine-test: $command (log: $log)" >&2
  start=$SECONDS
  if inside "$command" >"$log" 2>&1; then
    result=passed
  else
    result="FAILED (exit $?)"
    status=1
  fi
  results+=("$command: $result in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s")
  [ "$result" = passed ] || { keep=1; tail -n 40 "$log" >&2; }
  # The test command's own summary lines, so the result shows what ran.
  grep -E '^(100% tests passed|[0-9]+% tests passed|Total Test time)' "$log" >&2 || true
done
printf '%s\n' "${results[@]}"
exit "$status"
