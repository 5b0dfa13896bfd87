#!/usr/bin/env bash
# The macOS compile check. Configures the project as a macOS build (clang 19 for an Intel
# Mac running macOS 15, libc++ 19, the project's own declarations of the Apple APIs in
# scripts/maccheck/sdk, glibc's headers with the Linux-only names made errors) and compiles
# every entry of its compile_commands.json to a Mach-O object, with -Wall -Wextra -Werror.
# Then it checks the hardware layer's objects: the IOKit and Mach names they call must be
# the C names IOKit and libSystem export, and all the calls the layer needs must be there;
# and the SMC parameter block, written as the C structure, must lay out at the offsets the
# layer packs at. Nothing is linked or run. Exits non-zero on any error.
#
#   scripts/maccheck.sh             the check, in build-maccheck/
#   scripts/maccheck.sh --selftest  puts known faults into scratch copies of one file and
#                                   shows that the check fails for each
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
here=$root/scripts/maccheck
build=$root/build-maccheck
nm=llvm-nm-19
cxxfilt=llvm-cxxfilt-19
parallel=$(nproc)

# Names IOKit and libSystem export that the hardware layer may call (Mach-O C symbols).
exported=(
  _IOServiceMatching _IOServiceNameMatching _IOServiceGetMatchingService
  _IOServiceGetMatchingServices _IOIteratorNext _IOIteratorReset _IOIteratorIsValid
  _IOObjectRelease _IOObjectRetain _IOObjectConformsTo _IOServiceOpen _IOServiceClose
  _IOConnectCallStructMethod _IOConnectCallScalarMethod _IOConnectCallMethod
  _IORegistryEntryCreateCFProperty _kIOMainPortDefault _kIOMasterPortDefault
  _mach_task_self_ _mach_error_string _mach_port_deallocate
)
# The calls the hardware layer must make to reach the AppleSMC user client.
required=(
  _IOServiceMatching _IOServiceGetMatchingServices _IOIteratorNext _IOObjectRelease
  _IOServiceOpen _IOServiceClose _IOConnectCallStructMethod _kIOMainPortDefault
  _mach_task_self_
)

fail() {
  echo "maccheck: $*" >&2
  exit 1
}

for tool in clang++-19 "$nm" "$cxxfilt" cmake; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

# Configures the macOS build into $build and runs moc (on the host) for it; leaves the
# compile commands in $build/maccheck-commands.tsv, one "DIR<TAB>FILE<TAB>COMMAND" a line.
configure() {
  local log=$build/maccheck-configure.log
  mkdir -p "$build"
  # A release build's definitions (NDEBUG) without its optimisation, which the diagnostics
  # and the symbols checked here do not depend on.
  # AUTOGEN_ORIGIN_DEPENDS off: moc needs no library of the targets built first.
  if ! cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DCMAKE_OBJCXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_AUTOGEN_ORIGIN_DEPENDS=OFF >"$log" 2>&1; then
    cat "$log" >&2
    fail "configuring the macOS build failed"
  fi
  local targets
  targets=$(cmake --build "$build" --target help | grep -oE '[A-Za-z0-9_]+_autogen\b' | sort -u)
  for target in $targets; do
    cmake --build "$build" --target "$target" >>"$log" 2>&1 ||
      { cat "$log" >&2; fail "moc for $target failed"; }
  done
  cmake -DDB="$build/compile_commands.json" -DOUT="$build/maccheck-commands.tsv" \
    -P "$here/commands.cmake"
}

# The compile command of FILE (absolute path) as "DIR<TAB>COMMAND".
entry_for() {
  awk -F'\t' -v f="$1" '$2 == f { print $1 "\t" $3; found = 1; exit } END { exit !found }' \
    "$build/maccheck-commands.tsv" || fail "no compile command for $1"
}

# Runs COMMAND in DIR with EXTRA flags put first and its source and object replaced by
# SRC and OBJ ("" keeps them); output to LOG.
compile() {
  local dir=$1 cmd=$2 extra=$3 src=$4 obj=$5 log=$6
  local out=${cmd##* -o }
  out=${out%% *}
  if [ -n "$src" ]; then
    cmd=$(sed -E "s# -o [^ ]+ -c [^ ]+\$# -o $obj -c $src#" <<<"$cmd")
    out=$obj
  fi
  cmd="${cmd%% *} $extra ${cmd#* }"
  (cd "$dir" && mkdir -p "$(dirname "$out")" && eval "$cmd") >"$log" 2>&1
}

# Checks the undefined symbols of the OBJECTS against the lists above; prints what is wrong
# and fails when anything is.
check_symbols() {
  local problems=() seen=() sym obj
  for obj in "$@"; do
    while read -r sym; do
      [ -n "$sym" ] || continue
      case $sym in
      __Z*)
        local plain
        plain=$("$cxxfilt" -_ "$sym")
        if [[ $plain =~ (^|::)(IO|kIO|mach_) ]]; then
          problems+=("$(basename "$obj"): $sym ($plain) is a C++ name, not the C one IOKit exports")
        fi
        ;;
      _IO* | _kIO* | _mach*)
        if [[ " ${exported[*]} " != *" $sym "* ]]; then
          problems+=("$(basename "$obj"): $sym is not a name IOKit or libSystem exports")
        fi
        seen+=("$sym")
        ;;
      esac
      if [[ $sym =~ [Ss][Mm][Cc][Ee][Mm][Uu]|IOEmu ]]; then
        problems+=("$(basename "$obj"): $sym belongs to the emulator")
      fi
    done < <("$nm" -u -j "$obj")
  done
  for sym in "${required[@]}"; do
    [[ " ${seen[*]} " == *" $sym "* ]] || problems+=("the hardware layer never calls $sym")
  done
  if ((${#problems[@]})); then
    printf '  %s\n' "${problems[@]}" >&2
    return 1
  fi
}

# Compiles the block layout check for the Mac target, SMCBlock.h from platform/iokit/ (or from a
# directory given first in EXTRA).
check_layout() {
  local extra=$1 log=$2 entry
  entry=$(entry_for "$root/smc/SMCConnection.cpp")
  compile "${entry%%$'\t'*}" "${entry#*$'\t'}" "$extra -fsyntax-only" \
    "$here/SMCBlockLayout.cpp" /dev/null "$log"
}

run_check() {
  configure
  local logs=$build/maccheck-logs
  rm -rf "$logs"
  mkdir -p "$logs"
  local n=0 dir src cmd
  while IFS=$'\t' read -r dir src cmd; do
    n=$((n + 1))
    # Objective-C++ is written for automatic reference counting.
    if [[ $src == *.mm && $cmd != *" -fobjc-arc"* ]]; then
      echo "$src: compiled without -fobjc-arc" >"$logs/$n.log"
      echo "$src" >"$logs/$n.failed"
      continue
    fi
    while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
    (compile "$dir" "$cmd" "" "" "" "$logs/$n.log" || echo "$src" >"$logs/$n.failed") &
  done <"$build/maccheck-commands.tsv"
  wait
  ((n > 0)) || fail "no compile commands in $build/compile_commands.json"

  local failed=0 f
  for f in "$logs"/*.failed; do
    [ -e "$f" ] || continue
    failed=$((failed + 1))
    echo "maccheck: $(cat "$f") does not compile for macOS:" >&2
    cat "${f%.failed}.log" >&2
  done

  local objects=()
  while IFS=$'\t' read -r dir src cmd; do
    [[ $src == "$root"/smc/* ]] || continue
    local out=${cmd##* -o }
    objects+=("$dir/${out%% *}")
  done <"$build/maccheck-commands.tsv"
  if ((failed == 0)); then
    ((${#objects[@]})) || fail "no object of the hardware layer"
    check_symbols "${objects[@]}" || { echo "maccheck: hardware layer symbols wrong" >&2; failed=1; }
  fi
  if ! check_layout "" "$logs/layout.log"; then
    cat "$logs/layout.log" >&2
    echo "maccheck: the SMC parameter block's layout differs from SMCBlock.h" >&2
    failed=1
  fi
  ((failed == 0)) || exit 1
  echo "maccheck: $n files compile for x86_64-apple-macosx15.0; the hardware layer calls" \
    "IOKit by its C names; the parameter block's offsets hold"
}

# Each fault must make the check fail, with the message that names it; the unchanged file
# must pass, so that a failure comes from the fault.
run_selftest() {
  configure
  scratch=$(mktemp -d) # global: the exit trap removes it
  trap 'rm -rf "$scratch"' EXIT
  local file=$root/smc/SMCConnection.cpp entry dir cmd
  entry=$(entry_for "$file")
  dir=${entry%%$'\t'*}
  cmd=${entry#*$'\t'}
  local bad=0

  # expect NAME PATTERN STEP...: STEP must fail and its output contain PATTERN.
  expect() {
    local name=$1 pattern=$2
    shift 2
    if "$@" >"$scratch/out.log" 2>&1; then
      echo "selftest: $name: the check passed" >&2
      bad=1
    elif ! grep -qE -- "$pattern" "$scratch/out.log" "$scratch"/*.compile.log 2>/dev/null; then
      echo "selftest: $name: failed, but not with \"$pattern\":" >&2
      cat "$scratch/out.log" "$scratch"/*.compile.log >&2 2>/dev/null || true
      bad=1
    else
      echo "selftest: $name: caught"
    fi
    rm -f "$scratch"/*.compile.log
  }
  compiles() { compile "$dir" "$cmd" "$1" "$2" "$scratch/$3.o" "$scratch/$3.compile.log"; }
  compiles_and_links_by_c_names() { compiles "$1" "$2" "$3" && check_symbols "$scratch/$3.o"; }

  # The unchanged file and layout pass.
  if ! compiles_and_links_by_c_names "" "$file" control ||
    ! check_layout "" "$scratch/layout.compile.log"; then
    cat "$scratch"/*.compile.log >&2 2>/dev/null || true
    fail "selftest: the unchanged hardware layer does not pass"
  fi
  rm -f "$scratch"/*.compile.log
  echo "selftest: unchanged SMCConnection.cpp and parameter block: pass"

  # Every name the wrappers poison, and Linux-only flags they take out, is an error where
  # code sees it (the wrappers are reached through libc++'s and glibc's own headers), each
  # header macOS lacks stops the build; the Darwin names they add compile.
  local sdk=$here/sdk probe=$scratch/probe.cpp names=() headers=() name line
  mapfile -t names < <(sed -n 's/^#pragma GCC poison //p' "$sdk"/*.h "$sdk"/sys/*.h | tr ' ' '\n')
  names+=(O_PATH O_TMPFILE SO_PEERCRED CLOCK_BOOTTIME SIGRTMIN)
  mapfile -t headers < <(cd "$sdk" && grep -l '^#error' -- *.h sys/*.h)
  {
    for name in sys/socket.h unistd.h fcntl.h sys/stat.h stdlib.h string.h errno.h signal.h \
      time.h pthread.h sched.h sys/mman.h sys/random.h poll.h spawn.h "${headers[@]}"; do
      echo "#include <$name>"
    done
    echo "static_assert(POSIX_SPAWN_SETSID == 0x0400 && SO_NOSIGPIPE == 0x1022);"
    echo "int (*peer)(int, uid_t*, gid_t*) = &getpeereid;"
    echo "void probe() {"
    echo "#line 1000"
    printf '    (void)%s;\n' "${names[@]}"
    echo "}"
  } >"$probe"
  compile "$dir" "$cmd" "-fsyntax-only -ferror-limit=0" "$probe" /dev/null "$scratch/probe.log" || true
  for ((line = 0; line < ${#names[@]}; line++)); do
    grep -qE "probe.cpp:$((1000 + line)):[0-9]+: error: (attempt to use a poisoned identifier|use of undeclared identifier '${names[line]}')" \
      "$scratch/probe.log" || { echo "selftest: ${names[line]} is not an error" >&2; bad=1; }
  done
  for name in "${headers[@]}"; do
    grep -qF "<$name> is Linux-only" "$scratch/probe.log" ||
      { echo "selftest: <$name> does not stop the build" >&2; bad=1; }
  done
  if grep -E 'error:' "$scratch/probe.log" | grep -vqE 'probe.cpp:[0-9]{4}:|is Linux-only'; then
    grep -E 'error:' "$scratch/probe.log" | grep -vE 'probe.cpp:[0-9]{4}:|is Linux-only' >&2
    echo "selftest: the Darwin names or the wrapped headers themselves fail" >&2
    bad=1
  fi
  ((bad)) || echo "selftest: ${#names[@]} Linux-only names and ${#headers[@]} headers: errors"

  local copy=$scratch/SMCConnection.cpp
  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
#include <sys/socket.h>
int acceptClient(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}
EOF
  expect "accept4 and SOCK_CLOEXEC" "poisoned identifier" compiles "" "$copy" accept4

  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
#include <sys/socket.h>
unsigned peerUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length);
    return credentials.uid;
}
EOF
  expect "SO_PEERCRED" "SO_PEERCRED|poisoned identifier" compiles "" "$copy" peercred

  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
#include <charconv>
double parse(const char* first, const char* last) {
    double value = 0;
    std::from_chars(first, last, value, std::chars_format::general);
    return value;
}
EOF
  expect "from_chars for double" "no matching function for call to 'from_chars'" \
    compiles "" "$copy" fromchars

  # IOKit declared without extern "C": the calls become C++ names.
  mkdir -p "$scratch/sdk/IOKit"
  sed -e '/^extern "C" {$/d' -e '/^}$/d' "$here/sdk/IOKit/IOKitLib.h" \
    >"$scratch/sdk/IOKit/IOKitLib.h"
  expect "IOKit without extern \"C\"" "is a C\+\+ name" \
    compiles_and_links_by_c_names "-isystem $scratch/sdk" "$file" mangled

  # A call the emulator has and IOKit does not.
  sed 's/IOServiceOpen(service,/IOEmuServiceOpen(service,/' "$file" >"$copy"
  cat >"$scratch/sdk/IOKit/IOKitLib.h" <<EOF
#include_next <IOKit/IOKitLib.h>
extern "C" kern_return_t IOEmuServiceOpen(io_service_t, task_port_t, uint32_t, io_connect_t*);
EOF
  expect "an emulator call" "IOEmuServiceOpen is not a name IOKit" \
    compiles_and_links_by_c_names "-isystem $scratch/sdk" "$copy" emulator

  # The command byte packed one place off.
  mkdir -p "$scratch/block"
  sed 's/kSMCCommandOffset = 42;/kSMCCommandOffset = 43;/' "$root/platform/iokit/SMCBlock.h" \
    >"$scratch/block/SMCBlock.h"
  grep -q 'kSMCCommandOffset = 43;' "$scratch/block/SMCBlock.h" ||
    fail "selftest: SMCBlock.h has no command offset 42 to change"
  expect "a wrong block offset" "static assertion failed.*data8" \
    check_layout "-I$scratch/block" "$scratch/layout.compile.log"

  ((bad == 0)) || exit 1
  echo "selftest: every fault was caught"
}

case "${1:-}" in
"") run_check ;;
--selftest) run_selftest ;;
*) fail "usage: scripts/maccheck.sh [--selftest]" ;;
esac
