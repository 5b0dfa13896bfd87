#!/usr/bin/env bash
# Installs every Debian package the build, the programs and the tests need, and the macOS
# toolchain of the compile check (scripts/maccheck/toolchain.env) from the npm registry.
# Idempotent: packages already present are left alone, and apt and npm are only asked
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config ccache git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-format clang libclang-rt-14-dev
  qt6-base-dev fonts-wqy-microhei xvfb xauth
  trayer xdotool libx11-dev
  dbus-daemon weston qt6-wayland
  socat unicode-data util-linux procps
  llvm-19
  libfuse3-dev fuse3
  npm
  systemd-container
  nlohmann-json3-dev
  libsystemd-dev dbus
  prometheus prometheus-node-exporter curl
  python3
)

# npm may come with the machine's own Node.js rather than Debian's package.
if command -v npm >/dev/null; then
  for i in "${!packages[@]}"; do [ "${packages[$i]}" = npm ] && unset 'packages[i]'; done
fi
. "$(dirname "$0")/packages.sh"
install_missing setup "${packages[@]}"

# The macOS toolchain: the pinned npm tarball, checked against its SHA-512 and unpacked into
# the cache; nothing is downloaded when the cache holds it.
. "$(dirname "$0")/maccheck/toolchain.env"
if [ ! -x "$orvane_zig_dir/zig" ]; then
  mkdir -p "$orvane_cache"
  tarball=$orvane_cache/$orvane_zig_tarball
  if [ ! -f "$tarball" ] || ! echo "$orvane_zig_sha512  $tarball" | sha512sum -c --status; then
    echo "setup: fetching $orvane_zig_package" >&2
    (cd "$orvane_cache" && npm pack --loglevel=error "$orvane_zig_package" >/dev/null)
  fi
  if ! echo "$orvane_zig_sha512  $tarball" | sha512sum -c --status; then
    rm -f "$tarball"
    echo "setup: $orvane_zig_tarball does not have the pinned SHA-512" >&2
    exit 1
  fi
  unpacked=$(mktemp -d "$orvane_cache/unpack.XXXXXX")
  tar -xzf "$tarball" -C "$unpacked" --exclude=package/doc \
    --exclude=package/lib/libc/include/any-windows-any --exclude=package/lib/libc/mingw
  rm -rf "$orvane_zig_dir"
  mv "$unpacked/package" "$orvane_zig_dir"
  rm -rf "$unpacked"
fi
