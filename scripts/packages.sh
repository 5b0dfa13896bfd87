# Sourced by the scripts that install Debian packages: install_missing WHO PACKAGE... installs
# those of the packages that are not installed yet (apt-get, no recommends, as root or through
# sudo) and says so on standard error after "WHO: "; with all of them installed, it asks apt
# nothing.
install_missing() {
  local who=$1 p sudo=""
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "$who: installing ${missing[*]}" >&2
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
