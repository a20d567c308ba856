#!/usr/bin/env bash
# The install test (ctest "install"): installs the build into a temporary
# prefix with `cmake --install`, checks that the installed programs start
# (--version, with no display), that the systemd units, desktop entry, icon
# and guides are in place and that the units start the programs installed
# beside them; then builds the Debian package with cpack from the same
# rules and checks its contents the same way under /usr.
#   tests/install_test.sh BUILD_DIR VERSION [PROGRAM...]
set -uo pipefail

build=${1:?usage: install_test.sh BUILD_DIR VERSION [PROGRAM...]}
version=${2:?usage: install_test.sh BUILD_DIR VERSION [PROGRAM...]}
shift 2
programs=("$@")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tervane-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok    $what"
  else
    echo "FAIL  $what"
    failures=$((failures + 1))
  fi
}
has() { [[ " ${programs[*]} " == *" $1 "* ]]; }

# Starts an installed program with --version, without a display, and looks
# for its name and the project's version in what it prints.
starts() {  # starts PATH NAME
  local out
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$1" --version 2>&1) || {
    echo "      $1 --version failed: $out"
    return 1
  }
  [[ "$out" == *"$2"* && "$out" == *"$version"* ]] || {
    echo "      $1 --version printed: $out"
    return 1
  }
}

# Every ExecStart= of a unit names an executable program under BINDIR.
unit_runs_from() {  # unit_runs_from UNIT BINDIR
  local unit=$1 bindir=$2 line exe found=0
  [ -f "$unit" ] || { echo "      missing: $unit"; return 1; }
  while IFS= read -r line; do
    exe=${line#ExecStart=}
    exe=${exe%% *}
    found=1
    [[ "$exe" == "$bindir"/* ]] || { echo "      $unit starts $exe, not a program in $bindir"; return 1; }
    [ -x "${3:-}$exe" ] || { echo "      $unit starts $exe, which is not there"; return 1; }
  done < <(grep '^ExecStart=' "$unit")
  [ "$found" = 1 ] || { echo "      $unit has no ExecStart="; return 1; }
}

# Both desktop entries (the dialog and the restore window) start tervaneclt
# and name an icon that is installed.
desktop_ok() {  # desktop_ok SHARE_DIR
  local share=$1 entry icon
  for name in tervaneclt.desktop tervaneclt-restore.desktop; do
    entry=$share/applications/$name
    [ -f "$entry" ] || { echo "      no $name under $share/applications"; return 1; }
    grep -q '^Exec=.*tervaneclt' "$entry" || { echo "      $entry does not start tervaneclt"; return 1; }
    icon=$(sed -n 's/^Icon=//p' "$entry" | head -n 1)
    [ -n "$icon" ] || { echo "      $entry names no icon"; return 1; }
    find "$share/icons" -name "$icon.*" 2>/dev/null | grep -q . || {
      echo "      icon $icon of $entry is not installed under $share/icons"
      return 1
    }
  done
  grep -q '^Exec=tervaneclt --restore-window$' "$share/applications/tervaneclt-restore.desktop" || {
    echo "      the restore entry does not open the restore window"
    return 1
  }
}

timer_ok() {  # timer_ok TIMER
  [ -f "$1" ] && grep -q '^OnCalendar=' "$1" && grep -q '^WantedBy=timers.target' "$1"
}

# Checks one installed tree: programs start, units name them, the rest is there.
check_tree() {  # check_tree LABEL ROOT PREFIX   (files live at ROOT+PREFIX; units name PREFIX)
  local label=$1 root=$2 prefix=$3
  local dest=$root$prefix
  for p in "${programs[@]}"; do
    check "$label: bin/$p is installed and starts (--version)" starts "$dest/bin/$p" "$p"
  done
  if has tervanesvr; then
    check "$label: zeltor.service starts the installed tervanesvr" \
      unit_runs_from "$dest/lib/systemd/system/zeltor.service" "$prefix/bin" "$root"
    check "$label: zeltor.service names its Config.cfg (--config)" \
      grep -q "^ExecStart=.*tervanesvr.* --config " "$dest/lib/systemd/system/zeltor.service"
  fi
  if has tervaneclt; then
    check "$label: tervaneclt-sync.service runs the installed tervaneclt --sync" \
      unit_runs_from "$dest/lib/systemd/user/tervaneclt-sync.service" "$prefix/bin" "$root"
    check "$label: tervaneclt-sync.service passes --sync" \
      grep -q '^ExecStart=.*tervaneclt --sync' "$dest/lib/systemd/user/tervaneclt-sync.service"
    check "$label: tervaneclt-sync.timer fires daily and installs into timers.target" \
      timer_ok "$dest/lib/systemd/user/tervaneclt-sync.timer"
    check "$label: the desktop entry and its icon" desktop_ok "$dest/share"
  fi
  for doc in operator-guide.md user-guide.md protocol.md; do
    check "$label: share/doc/tervane/$doc" test -s "$dest/share/doc/tervane/$doc"
  done
}

# ---------------------------------------------------------- cmake --install
prefix=$tmp/prefix
if cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  echo "ok    cmake --install into $prefix"
  check_tree "prefix" "" "$prefix"
else
  echo "FAIL  cmake --install into $prefix"
  cat "$tmp/install.log"
  failures=$((failures + 1))
fi

# ------------------------------------------------------------ cpack -G DEB
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  if (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg") \
      >"$tmp/cpack.log" 2>&1; then
    deb=$(find "$tmp/pkg" -maxdepth 1 -name '*.deb' | head -n 1)
    check "cpack -G DEB built a package" test -n "$deb"
    if [ -n "$deb" ]; then
      check "package name is tervane" test "$(dpkg-deb -f "$deb" Package)" = tervane
      check "package version is $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
      dpkg-deb -x "$deb" "$tmp/root"
      dpkg-deb -e "$deb" "$tmp/control"
      check_tree "deb" "$tmp/root" "/usr"
      for script in postinst prerm postrm; do
        check "deb: maintainer script $script" test -x "$tmp/control/$script"
      done
    fi
  else
    echo "FAIL  cpack -G DEB"
    cat "$tmp/cpack.log"
    failures=$((failures + 1))
  fi
else
  echo "skip  cpack -G DEB (cpack or dpkg-deb missing)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all install checks passed"
