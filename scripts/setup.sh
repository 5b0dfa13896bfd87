#!/usr/bin/env bash
# Installs every Debian package the build, the programs and the tests need.
# Idempotent: packages already present are left alone, and apt is only asked
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config ccache
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-format clang libclang-rt-14-dev
  qt6-base-dev fonts-wqy-microhei xvfb xauth
  trayer xdotool libx11-dev
  socat unicode-data util-linux procps
  clang-19 libc++-19-dev libc++abi-19-dev llvm-19
  libfuse3-dev fuse3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
