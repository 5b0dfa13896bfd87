#!/usr/bin/env bash
# The macOS build check. Configures the project as a macOS build for an Intel Mac running
# macOS 13 (scripts/maccheck/toolchain.cmake: Zig's clang against the macOS 13 SDK's C
# library headers and libc++, the project's own declarations of the Apple frameworks) and
# compiles every entry of its compile_commands.json to a Mach-O object with -Wall -Wextra
# -Werror. Then it links orvtool and OrvaneBar into Mach-O x86_64 executables against
# libSystem's export list, the frameworks' export lists in scripts/maccheck/Frameworks and
# Qt's, made from the host's Qt (scripts/maccheck/qt-exports.sh), so that every name the
# programs call must be one those libraries export, and checks the executables: the dylibs
# they load, their minimum macOS, the IOKit calls the hardware layer needs; and the
# application's bundle: its layout and property list. Last, the SMC parameter block, written
# as the C structure, must lay out at the offsets the layer packs at. Nothing is run. Exits
# non-zero on any error.
#
#   scripts/maccheck.sh             the check, in build-maccheck/
#   scripts/maccheck.sh --selftest  puts known faults into scratch copies of the hardware
#                                   layer, the status item and the bundle, and shows that
#                                   the check fails for each
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
here=$root/scripts/maccheck
build=$root/build-maccheck
. "$here/toolchain.env"
objdump=llvm-objdump-19
nm=llvm-nm-19
parallel=$(nproc)
# The macOS the toolchain's headers and target are for (zig-c++); the project's deployment
# target must be the same.
minimum=13.0

# The dylibs orvtool loads: libSystem and the two frameworks of the hardware layer.
orvtool_dylibs=(
  /System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation
  /System/Library/Frameworks/IOKit.framework/Versions/A/IOKit
  /usr/lib/libSystem.B.dylib
)
# The application's: libSystem, IOKit (the hardware layer and the power notifications), AppKit
# (the status item), Foundation and ServiceManagement (the login item), the Objective-C
# runtime and Qt, from the bundle's Frameworks folder once macdeployqt has put it there.
# Nothing else: it links with -dead_strip_dylibs, so the OpenGL that Qt's package names, and
# Core Foundation, which the application itself never calls, are not loaded.
orvanebar_dylibs=(
  /System/Library/Frameworks/IOKit.framework/Versions/A/IOKit
  /usr/lib/libSystem.B.dylib
  /System/Library/Frameworks/AppKit.framework/Versions/C/AppKit
  /System/Library/Frameworks/Foundation.framework/Versions/C/Foundation
  /System/Library/Frameworks/ServiceManagement.framework/Versions/A/ServiceManagement
  /usr/lib/libobjc.A.dylib
  @rpath/QtCore.framework/Versions/A/QtCore
  @rpath/QtGui.framework/Versions/A/QtGui
  @rpath/QtWidgets.framework/Versions/A/QtWidgets
)
# The calls the hardware layer must make to reach the AppleSMC user client.
orvtool_required=(
  _IOServiceMatching _IOServiceGetMatchingServices _IOIteratorNext _IOObjectRelease
  _IOServiceOpen _IOServiceClose _IOConnectCallStructMethod _kIOMainPortDefault
  _mach_task_self_
)
# The application's status item and login item: the classes it names and the native menu.
orvanebar_required=(
  '_OBJC_CLASS_$_NSStatusBar' '_OBJC_CLASS_$_SMAppService' __ZN5QMenu8toNSMenuEv
)
# What neither may call (mangled names containing these): Qt's tray icon, whose menu aborts
# the application on macOS 26, stays out of the Mac build.
orvtool_forbidden=()
orvanebar_forbidden=(15QSystemTrayIcon)

fail() {
  echo "maccheck: $*" >&2
  exit 1
}

for tool in "$objdump" "$nm" cmake make python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -x "$orvane_zig_dir/zig" ] ||
  fail "the macOS toolchain is not in $orvane_zig_dir (scripts/setup.sh fetches it)"

# Configures the macOS build into $build and runs moc (on the host) for it; leaves the
# compile commands in $build/maccheck-commands.tsv, one "DIR<TAB>FILE<TAB>COMMAND" a line.
configure() {
  local log=$build/maccheck-configure.log
  mkdir -p "$build"
  # A release build's definitions (NDEBUG) without its optimisation, which the diagnostics
  # and the names checked here do not depend on.
  # AUTOGEN_ORIGIN_DEPENDS off: moc needs no library of the targets built first.
  # The host's Qt is older than a Mac build requires; it only lends its headers, moc and the
  # names of its exports.
  if ! cmake -S "$root" -B "$build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DORVANE_MAC_QT_MINIMUM=6 \
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

# Where CMake keeps the link command (link.txt) of TARGET.
link_script() {
  case $1 in
  orvtool) echo "$build/orvtool/CMakeFiles/orvtool.dir/link.txt" ;;
  OrvaneBar) echo "$build/OrvaneBar/CMakeFiles/OrvaneBar.dir/link.txt" ;;
  esac
}

# Links TARGET as CMake does (its link.txt), into OUT; an OBJECT given third goes ahead of
# the libraries, so its definitions replace those of the same file in them. Output to LOG.
link_target() {
  local target=$1 out=$2 object=${3:-} log=$4 txt cmd
  txt=$(link_script "$target")
  cmd=$(<"$txt")
  [[ $cmd == *" -o "* ]] || fail "no output in $target's link command"
  cmd=$(sed -E "s# -o [^ ]+# -o $out $object#" <<<"$cmd")
  (cd "$(dirname "$(dirname "$(dirname "$txt")")")" && eval "$cmd") >"$log" 2>&1
}

# Points OrvaneBar's link command at Qt's export lists for macOS, made from the host's Qt
# libraries it names, in place of those libraries. The frameworks Qt's package adds that the
# application never calls (OpenGL) get empty lists: a call into one fails the link, and
# -dead_strip_dylibs keeps them out of the executable.
prepare_orvanebar_link() {
  local txt qt=$build/maccheck-qt cmd libraries framework
  txt=$(link_script OrvaneBar)
  cmd=$(<"$txt")
  libraries=$(grep -oE '/[^ ]+/libQt6[A-Za-z]+\.so[.0-9]*' <<<"$cmd") ||
    fail "no Qt library in OrvaneBar's link command"
  "$here/qt-exports.sh" "$qt" $libraries
  for framework in $(grep -oE -- '-framework -Xlinker [A-Za-z]+' <<<"$cmd" | awk '{ print $3 }'); do
    [ -e "$here/Frameworks/$framework.framework" ] && continue
    mkdir -p "$qt/$framework.framework"
    printf '%s\n' '--- !tapi-tbd' 'tbd-version:     4' 'targets:         [ x86_64-macos ]' \
      "install-name:    '/System/Library/Frameworks/$framework.framework/Versions/A/$framework'" \
      '...' >"$qt/$framework.framework/$framework.tbd"
  done
  sed -E -e 's#/[^ ]+/libQt6([A-Za-z]+)\.so[.0-9]*#-framework Qt\1#g' \
    -e "s#^([^ ]+) #\1 -F$qt #" <<<"$cmd" >"$txt"
}

# Checks the linked executable EXE of TARGET: a Mach-O x86_64 program for macOS $minimum that
# loads exactly the dylibs ${target}_dylibs, makes the calls ${target}_required and none of
# ${target}_forbidden (target in lower case). Prints
# what is wrong.
check_executable() {
  local target=$1 exe=$2 problems=() headers used sym
  local -n expected=${target,,}_dylibs required=${target,,}_required
  local -n forbidden=${target,,}_forbidden
  headers=$("$objdump" --macho --private-headers "$exe" 2>&1) ||
    { echo "  $exe is not a Mach-O file: $headers" >&2; return 1; }
  grep -qE 'MH_MAGIC_64 +X86_64 .* EXECUTE ' <<<"$headers" ||
    problems+=("not a Mach-O x86_64 executable")
  grep -A5 'cmd LC_BUILD_VERSION' <<<"$headers" | grep -qE "^ +minos $minimum\$" ||
    problems+=("its minimum macOS is not $minimum")
  used=$("$objdump" --macho --dylibs-used "$exe" | sed -nE 's/^\t([^ ]+) \(.*$/\1/p' | sort)
  echo "maccheck: $target loads:" $used
  [ "$used" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
    problems+=("it loads $(echo $used), not exactly $(echo "${expected[@]}")")
  local undefined
  undefined=$("$nm" -u -j "$exe")
  for sym in "${required[@]}"; do
    grep -qxF "$sym" <<<"$undefined" || problems+=("it never calls $sym")
  done
  for sym in "${forbidden[@]}"; do
    grep -qF "$sym" <<<"$undefined" &&
      problems+=("it calls $(grep -F "$sym" <<<"$undefined" | head -1)")
  done
  if ((${#problems[@]})); then
    printf '  %s: %s\n' "$target" "${problems[@]}" >&2
    return 1
  fi
}

# Checks the application's bundle BUNDLE: its layout and its property list.
check_bundle() {
  local version
  version=$(sed -nE 's/^CMAKE_PROJECT_VERSION:STATIC=(.*)$/\1/p' "$build/CMakeCache.txt")
  python3 "$here/check-bundle.py" "$1" --identifier com.orvane.bar --minimum "$minimum" \
    --version "$version"
}

# Compiles the block layout check for the Mac target, SMCBlock.h from platform/backend/ (or from a
# directory given first in EXTRA).
check_layout() {
  local extra=$1 log=$2 entry
  entry=$(entry_for "$root/smc/SMCConnection.cpp")
  compile "${entry%%$'\t'*}" "${entry#*$'\t'}" "$extra" "$here/SMCBlockLayout.cpp" \
    "${log%.log}.o" "$log"
}

run_check() {
  local start=$SECONDS
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
    # The project's deployment target is the macOS the headers are for, and the host's C
    # library headers are never on the path.
    local problem=""
    [[ $cmd == *" -mmacosx-version-min=$minimum "* ]] ||
      problem="not compiled with -mmacosx-version-min=$minimum"
    [[ " $cmd " =~ \ (-isystem\ |-I)/usr/include(/x86_64-linux-gnu)?\  ]] &&
      problem="the host's C library headers (${BASH_REMATCH[0]}) are on its include path"
    if [ -n "$problem" ]; then
      echo "$src: $problem" >"$logs/$n.log"
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

  if ((failed == 0)); then
    # The objects are there: this archives the libraries and links, orvtool first, which
    # the application's bundle holds a copy of.
    local target exe=$build/bin/orvtool bundle=$build/bin/OrvaneBar.app
    prepare_orvanebar_link
    for target in orvtool OrvaneBar; do
      if ! cmake --build "$build" --target "$target" >"$logs/$target-link.log" 2>&1; then
        cat "$logs/$target-link.log" >&2
        echo "maccheck: $target does not link for macOS" >&2
        failed=1
        break
      elif ! check_executable "$target" "$exe"; then
        echo "maccheck: the linked $target is wrong" >&2
        failed=1
      fi
      exe=$bundle/Contents/MacOS/OrvaneBar
    done
    if ((failed == 0)) && ! check_bundle "$bundle"; then
      echo "maccheck: the application's bundle is wrong" >&2
      failed=1
    fi
  fi
  if ! check_layout "" "$logs/layout.log"; then
    cat "$logs/layout.log" >&2
    echo "maccheck: the SMC parameter block's layout differs from SMCBlock.h" >&2
    failed=1
  fi
  ((failed == 0)) || exit 1
  echo "maccheck: $n files compile for x86_64-macos$minimum against the macOS SDK's headers;" \
    "orvtool and OrvaneBar link as Mach-O x86_64 executables; the bundle and the parameter" \
    "block's offsets hold" \
    "($((SECONDS - start)) s)"
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
    elif ! grep -qE -- "$pattern" "$scratch/out.log" "$scratch"/*.step.log 2>/dev/null; then
      echo "selftest: $name: failed, but not with \"$pattern\":" >&2
      cat "$scratch/out.log" "$scratch"/*.step.log >&2 2>/dev/null || true
      bad=1
    else
      echo "selftest: $name: caught"
    fi
    rm -f "$scratch"/*.step.log
  }
  compiles() { compile "$dir" "$cmd" "$1" "$2" "$scratch/$3.o" "$scratch/$3.step.log"; }
  # Compiles, then links orvtool with the object: a link error shows that the file compiled.
  links() {
    compiles "$1" "$2" "$3" || return 1
    link_target orvtool "$scratch/$3" "$scratch/$3.o" "$scratch/$3.step.log"
  }

  # The unchanged file links into orvtool, and the layout passes.
  if ! cmake --build "$build" --target orvtool >"$scratch/build.step.log" 2>&1 ||
    ! links "" "$file" control || ! check_executable orvtool "$scratch/control" ||
    ! check_layout "" "$scratch/layout.step.log"; then
    cat "$scratch"/*.step.log >&2 2>/dev/null || true
    fail "selftest: the unchanged hardware layer does not pass"
  fi
  rm -f "$scratch"/*.step.log
  echo "selftest: unchanged SMCConnection.cpp linked into orvtool, and parameter block: pass"

  # Linux-only calls and names.
  local copy=$scratch/SMCConnection.cpp
  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
#include <sys/socket.h>
int acceptClient(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}
EOF
  expect "accept4 and SOCK_CLOEXEC" "undeclared identifier '(accept4|SOCK_NONBLOCK|SOCK_CLOEXEC)'" \
    compiles "" "$copy" accept4

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
  expect "SO_PEERCRED" "unknown type name 'ucred'|undeclared identifier 'SO_PEERCRED'" \
    compiles "" "$copy" peercred

  # A POSIX function that macOS declares in another header than glibc: mkdtemp is in
  # <unistd.h> there, not in <stdlib.h>. A file of its own: IOKit's headers bring in
  # <dispatch/dispatch.h> and with it <unistd.h>, as they do on a Mac.
  cat >"$copy" <<'EOF'
#include <stdlib.h>
char* scratchDirectory(char* pattern) { return ::mkdtemp(pattern); }
EOF
  expect "mkdtemp with <stdlib.h> only" "no member named 'mkdtemp'|undeclared identifier 'mkdtemp'" \
    compiles "" "$copy" mkdtemp

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

  # What macOS 13's libc++ lacks: to_chars for a double came with macOS 13.3.
  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
#include <charconv>
char* print(char* first, char* last, double value) {
    return std::to_chars(first, last, value).ptr;
}
EOF
  expect "to_chars for double" "'to_chars' is unavailable" compiles "" "$copy" tochars

  # A call newer than the deployment target, not behind @available.
  cp "$file" "$copy"
  cat >>"$copy" <<'EOF'
extern "C" int laterCall() __attribute__((availability(macos, introduced = 14.0)));
int callLater() { return laterCall(); }
EOF
  expect "an API newer than macOS 13" "only available on macOS 14.0 or newer" \
    compiles "" "$copy" unguarded

  # IOKit declared without extern "C": the calls become C++ names no library exports.
  mkdir -p "$scratch/Frameworks/IOKit.framework/Headers"
  sed -e '/^extern "C" {$/d' -e '/^}$/d' "$here/Frameworks/IOKit.framework/Headers/IOKitLib.h" \
    >"$scratch/Frameworks/IOKit.framework/Headers/IOKitLib.h"
  cp "$here/Frameworks/IOKit.framework/Headers/IOReturn.h" "$scratch/Frameworks/IOKit.framework/Headers/"
  expect "IOKit without extern \"C\"" "undefined reference to symbol '__Z[0-9]+IOServiceOpen" \
    links "-F$scratch/Frameworks" "$file" mangled

  # A call the emulator has and IOKit does not, declared where it is made: it compiles, and
  # fails at the link.
  sed -e 's/IOServiceOpen(service,/IOEmuServiceOpen(service,/' \
    -e '1a extern "C" kern_return_t IOEmuServiceOpen(io_service_t, task_port_t, uint32_t, io_connect_t*);' \
    "$file" >"$copy"
  grep -q '= IOEmuServiceOpen(' "$copy" || fail "selftest: SMCConnection.cpp has no IOServiceOpen call"
  expect "a name no export list holds" "undefined reference to symbol '_IOEmuServiceOpen'" \
    links "" "$copy" emulator

  # One more library than the three: it links, and the executable's check fails.
  mkdir -p "$scratch/Frameworks/Extra.framework"
  cat >"$scratch/Frameworks/Extra.framework/Extra.tbd" <<'EOF'
--- !tapi-tbd
tbd-version:     4
targets:         [ x86_64-macos ]
install-name:    '/System/Library/Frameworks/Extra.framework/Versions/A/Extra'
exports:
  - targets:         [ x86_64-macos ]
    symbols:         [ _ExtraCall ]
...
EOF
  loads_extra() {
    link_target orvtool "$scratch/extra" "-F$scratch/Frameworks -framework Extra" \
      "$scratch/extra.step.log" && check_executable orvtool "$scratch/extra"
  }
  expect "a fourth dylib" "not exactly" loads_extra

  # The application. Compiles SRC with the compile command of FILE, then links OrvaneBar with
  # the object in place of FILE's.
  app_links() {
    local file=$1 src=$2 name=$3 entry
    entry=$(entry_for "$file")
    compile "${entry%%$'\t'*}" "${entry#*$'\t'}" "" "$src" "$scratch/$name.o" \
      "$scratch/$name.step.log" || return 1
    link_target OrvaneBar "$scratch/$name" "$scratch/$name.o" "$scratch/$name.step.log"
  }
  local item=$root/OrvaneBar/menu/StatusItem.cpp mac=$root/OrvaneBar/menu/MacStatusItem.mm
  local bundle=$build/bin/OrvaneBar.app
  prepare_orvanebar_link
  if ! cmake --build "$build" --target OrvaneBar >"$scratch/build.step.log" 2>&1 ||
    ! app_links "$item" "$item" app || ! check_executable OrvaneBar "$scratch/app" ||
    ! app_links "$mac" "$mac" appkit || ! check_bundle "$bundle" 2>"$scratch/bundle.step.log"; then
    cat "$scratch"/*.step.log >&2 2>/dev/null || true
    fail "selftest: the unchanged application does not pass"
  fi
  rm -f "$scratch"/*.step.log
  echo "selftest: unchanged StatusItem.cpp and MacStatusItem.mm linked into OrvaneBar, and its" \
    "bundle: pass"

  # A Qt function that Qt for macOS has and no export list holds (the Dock's menu).
  local appcopy=$scratch/StatusItem.cpp
  cp "$item" "$appcopy"
  cat >>"$appcopy" <<'EOF'
void useAsDockMenu(QMenu* menu) { menu->setAsDockMenu(); }
EOF
  expect "a Qt function no export list holds" \
    "undefined reference to symbol '__ZN5QMenu13setAsDockMenuEv'" app_links "$item" "$appcopy" dock

  # Qt's tray icon in the Mac build: it links, and the executable's check fails.
  cp "$item" "$appcopy"
  cat >>"$appcopy" <<'EOF'
bool trayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }
EOF
  app_checks() { app_links "$item" "$appcopy" tray && check_executable OrvaneBar "$scratch/tray"; }
  expect "Qt's tray icon on macOS" "it calls __ZN15QSystemTrayIcon" app_checks

  # An AppKit class the declarations lack: the file does not compile.
  local maccopy=$scratch/MacStatusItem.mm
  cp "$mac" "$maccopy"
  cat >>"$maccopy" <<'EOF'
void beep() { [NSSound beep]; }
EOF
  expect "an AppKit class no declaration has" "undeclared identifier 'NSSound'" \
    app_links "$mac" "$maccopy" nssound

  # An AppKit class declared where it is used: it compiles, and AppKit's export list has no
  # such class.
  cp "$mac" "$maccopy"
  cat >>"$maccopy" <<'EOF'
@interface NSAlert : NSObject
@end
void* makeAlert() { return (__bridge_retained void*)[NSAlert new]; }
EOF
  expect "an AppKit class no export list holds" \
    "undefined reference to symbol '_OBJC_CLASS_.*NSAlert'" app_links "$mac" "$maccopy" nsalert

  # A bundle the Dock would show, and one without orvtool beside the application.
  local copy_app=$scratch/bundle/OrvaneBar.app
  mkdir -p "$scratch/bundle"
  cp -a "$bundle" "$scratch/bundle/"
  python3 - "$copy_app/Contents/Info.plist" <<'EOF'
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    info = plistlib.load(f)
del info["LSUIElement"]
with open(sys.argv[1], "wb") as f:
    plistlib.dump(info, f)
EOF
  expect "a bundle without LSUIElement" "LSUIElement" check_bundle "$copy_app"
  cp -a "$bundle/Contents/Info.plist" "$copy_app/Contents/"
  rm "$copy_app/Contents/MacOS/orvtool"
  expect "a bundle without orvtool" "MacOS/orvtool is missing" check_bundle "$copy_app"

  # The command byte packed one place off.
  mkdir -p "$scratch/block"
  sed 's/kSMCCommandOffset = 42;/kSMCCommandOffset = 43;/' "$root/platform/backend/SMCBlock.h" \
    >"$scratch/block/SMCBlock.h"
  grep -q 'kSMCCommandOffset = 43;' "$scratch/block/SMCBlock.h" ||
    fail "selftest: SMCBlock.h has no command offset 42 to change"
  expect "a wrong block offset" "static assertion failed.*data8" \
    check_layout "-I$scratch/block" "$scratch/layout.step.log"

  ((bad == 0)) || exit 1
  echo "selftest: every fault was caught"
}

case "${1:-}" in
"") run_check ;;
--selftest) run_selftest ;;
*) fail "usage: scripts/maccheck.sh [--selftest]" ;;
esac
