#!/usr/bin/env bash
# Builds the Debian package dist/orvane_<version>_amd64.deb: a clean release build of the
# two programs (build-package/), then CPack on packaging/ with those binaries, then lintian.
# The emulator is not in the package. Installs what it needs (as setup.sh does).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

tools=(dpkg-dev file lintian)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
rm -rf build-package
# With the distribution's hardening flags (fortified functions, read-only relocations
# bound at start), as a Debian build gets them.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" LDFLAGS="$(flags LDFLAGS)" \
  cmake -S . -B build-package/release -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF \
  -DORVANE_BENCH=OFF >/dev/null
cmake --build build-package/release -j"$jobs" --target orvtool OrvaneBar >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-package/release/CMakeCache.txt)
logged=$(sed -n '1s/^orvane (\([^)]*\)).*/\1/p' packaging/changelog)
if [ "$version" != "$logged" ]; then
  echo "package.sh: the project is at $version but packaging/changelog at $logged; add an entry" >&2
  exit 1
fi

mkdir -p dist
cmake -S packaging -B build-package/deb -DORVANE_VERSION="$version" \
  -DORVANE_BIN_DIR="$PWD/build-package/release/bin" -DORVANE_DIST_DIR="$PWD/dist" >/dev/null
(cd build-package/deb && cpack -G DEB >/dev/null)
deb="dist/orvane_${version}_amd64.deb"
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Recommends\|Installed-Size\):/  \1:/p'
# Errors fail the script; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 "$deb"
