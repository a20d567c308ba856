#!/usr/bin/env bash
# The package test (ctest "packages", label "package"): installs the build
# into a prefix and checks that the units start the programs beside them;
# builds tervane-server and tervane-client with cpack, unpacks both into a
# scratch root and checks their files, dependencies and maintainer scripts
# (the server's postinst is run there against stand-ins for the systemd
# helpers), lintian on both, and the exposure score of the installed
# zeltor.service.
#   tests/packages_test.sh BUILD_DIR VERSION [PROGRAM...]
set -uo pipefail

build=${1:?usage: packages_test.sh BUILD_DIR VERSION [PROGRAM...]}
version=${2:?usage: packages_test.sh BUILD_DIR VERSION [PROGRAM...]}
shift 2
programs=" $* "
[[ "$programs" == *" tervanesvr "* && "$programs" == *" tervaneclt "* ]] || {
  echo "skip  both programs are needed for the packages"
  exit 0
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tervane-packages.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

# The program starts without a display and prints its name and version.
starts() {  # starts PATH NAME
  local out
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$1" --version 2>&1)
  [[ $? -eq 0 && "$out" == *"$2"*"$version"* ]] || { echo "      $1 --version: $out"; return 1; }
}
# Every ExecStart= of UNIT runs an executable under BINDIR (looked for below ROOT).
runs_from() {  # runs_from UNIT BINDIR ROOT
  local exe lines
  lines=$(grep '^ExecStart=' "$1") || { echo "      $1: no ExecStart="; return 1; }
  while read -r exe; do
    exe=${exe#ExecStart=}
    exe=${exe%% *}
    [[ "$exe" == "$2"/* && -x "$3$exe" ]] || { echo "      $1 starts $exe"; return 1; }
  done <<<"$lines"
}
has_files() {  # has_files ROOT PATH...
  local root=$1 f
  shift
  for f in "$@"; do [ -e "$root/$f" ] || { echo "      missing: $f"; return 1; }; done
}
matches() {  # matches TEXT PATTERN (bash pattern)
  [[ "$1" == $2 ]] || { echo "      got: $1"; return 1; }
}

# ---------------------------------------------------------- cmake --install
prefix=$tmp/prefix
if cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  check "prefix: zeltor.service starts the installed tervanesvr" \
    runs_from "$prefix/lib/systemd/system/zeltor.service" "$prefix/bin" ""
  for unit in tervaneclt-sync.service tervaneclt-notify.service; do
    check "prefix: $unit starts the installed tervaneclt" \
      runs_from "$prefix/lib/systemd/user/$unit" "$prefix/bin" ""
  done
else
  echo "FAIL  cmake --install"; cat "$tmp/install.log"; failures=$((failures + 1))
fi

# ------------------------------------------------------------- the packages
if ! (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1; then
  echo "FAIL  cpack -G DEB"; cat "$tmp/cpack.log"; exit 1
fi
server=$tmp/pkg/tervane-server_${version}_amd64.deb
client=$tmp/pkg/tervane-client_${version}_amd64.deb
check "cpack built tervane-server and tervane-client $version" test -f "$server" -a -f "$client"
[ "$failures" -eq 0 ] || exit 1

root=$tmp/root
for deb in "$server" "$client"; do
  dpkg-deb -x "$deb" "$root"
  dpkg-deb -e "$deb" "$tmp/control-$(dpkg-deb -f "$deb" Package)"
done

check "server: depends on libc and libstdc++, not on Qt" \
  matches "$(dpkg-deb -f "$server" Depends)" "*libc6*libstdc++6*"
check "server: no Qt library among its dependencies" \
  bash -c '! dpkg-deb -f "$1" Depends | grep -qi qt' _ "$server"
check "client: depends on Qt 6 Widgets" matches "$(dpkg-deb -f "$client" Depends)" "*libqt6widgets6*"
check "server: program, unit, system user, man page, copyright, changelog" has_files "$root" \
  usr/bin/tervanesvr usr/lib/systemd/system/zeltor.service usr/lib/sysusers.d/tervane-server.conf \
  usr/share/man/man8/tervanesvr.8.gz usr/share/doc/tervane-server/copyright \
  usr/share/doc/tervane-server/changelog.gz usr/share/doc/tervane-server/operator-guide.md
check "client: program, user units, desktop entry, icon, man page, copyright, changelog" has_files "$root" \
  usr/bin/tervaneclt usr/lib/systemd/user/tervaneclt-sync.service usr/lib/systemd/user/tervaneclt-sync.timer \
  usr/lib/systemd/user/tervaneclt-notify.service usr/share/applications/tervaneclt.desktop \
  usr/share/applications/tervaneclt-restore.desktop usr/share/doc/tervane-client/images/restore-window.png \
  usr/share/icons/hicolor/scalable/apps/tervane.svg usr/share/man/man1/tervaneclt.1.gz \
  usr/share/doc/tervane-client/copyright usr/share/doc/tervane-client/changelog.gz \
  usr/share/doc/tervane-client/user-guide.md
check "the server package holds no client file" bash -c '! dpkg-deb -c "$1" | grep -q tervaneclt' _ "$server"
check "tervanesvr starts" starts "$root/usr/bin/tervanesvr" tervanesvr
check "tervaneclt starts" starts "$root/usr/bin/tervaneclt" tervaneclt
check "zeltor.service runs /usr/bin/tervanesvr on /var/lib/tervane/Config.cfg, logging connections" \
  grep -q '^ExecStart=/usr/bin/tervanesvr --config /var/lib/tervane/Config.cfg --log-level connections$' \
  "$root/usr/lib/systemd/system/zeltor.service"
# The installed program takes the unit's command line: its options, on a
# scratch Config.cfg, with --report so that nothing is served.
unit_command_ok() {
  local line out
  line=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/system/zeltor.service")
  printf '[SharePath]\r\n%s/share/\r\n' "$tmp" >"$tmp/unit.cfg"
  line=${line/--config \/var\/lib\/tervane\/Config.cfg/--config $tmp/unit.cfg}
  # shellcheck disable=SC2086
  out=$(timeout 20 "$root"$line --report 2>&1) || { echo "      $line --report: $out"; return 1; }
}
check "tervanesvr accepts the unit's command line" unit_command_ok
check "zeltor.service runs as the user tervane" grep -q '^User=tervane$' "$root/usr/lib/systemd/system/zeltor.service"
check "the sync unit runs /usr/bin/tervaneclt" runs_from "$root/usr/lib/systemd/user/tervaneclt-sync.service" /usr/bin "$root"
check "the sync unit raises the notification on failure" \
  grep -q '^OnFailure=tervaneclt-notify.service$' "$root/usr/lib/systemd/user/tervaneclt-sync.service"
check "the restore entry opens the restore window" \
  grep -q '^Exec=tervaneclt --restore-window$' "$root/usr/share/applications/tervaneclt-restore.desktop"
check "the timer catches up a missed day" grep -q '^Persistent=true$' "$root/usr/lib/systemd/user/tervaneclt-sync.timer"

# ------------------------------------------------------ maintainer scripts
scripts=$tmp/control-tervane-server
for s in postinst prerm postrm; do
  check "server: $s is a valid shell script" sh -n "$scripts/$s"
done
check "server: no systemctl call other than daemon-reload" \
  bash -c '! grep -h "systemctl" "$1"/postinst "$1"/prerm "$1"/postrm | grep -v "^ *#" | grep -v "systemctl --system daemon-reload"' _ "$scripts"

# postinst against stand-ins: each helper records its arguments.
stubs=$tmp/stubs
target=$tmp/target
mkdir -p "$stubs" "$target/run/systemd/system"
for tool in systemd-sysusers deb-systemd-helper deb-systemd-invoke systemctl chown; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$tmp" >"$stubs/$tool"
  chmod +x "$stubs/$tool"
done
run_postinst() { DPKG_ROOT=$target PATH="$stubs:$PATH" sh "$scripts/postinst" "$@" >/dev/null 2>&1; }
if run_postinst configure; then
  cfg=$target/var/lib/tervane/Config.cfg
  check "postinst: Config.cfg names the share /var/lib/tervane/share/" \
    test "$(cat "$cfg" 2>/dev/null)" = "$(printf '[SharePath]\r\n/var/lib/tervane/share/\r')"
  check "postinst: Config.cfg is 0600, the state folder and the share 0700" \
    test "$(stat -c %a "$cfg" "$target/var/lib/tervane" "$target/var/lib/tervane/share" | tr '\n' ' ')" = "600 700 700 "
  check "postinst: the user from sysusers, the files given to it" \
    bash -c 'grep -q "^systemd-sysusers --root=$2 tervane-server.conf$" "$1" && grep -q "^chown tervane:tervane " "$1"' _ "$tmp/calls" "$target"
  check "postinst: a new install enables and starts the service" \
    bash -c 'grep -q "^deb-systemd-helper enable zeltor.service$" "$1" && grep -q "^deb-systemd-invoke start zeltor.service$" "$1"' _ "$tmp/calls"
  printf '[SharePath]\r\n/srv/elsewhere/\r\n' >"$cfg"
  : >"$tmp/calls"
  run_postinst configure 0.9.0
  check "postinst: an upgrade keeps Config.cfg and restarts the service" \
    bash -c 'grep -q elsewhere "$1" && grep -q "^deb-systemd-invoke restart zeltor.service$" "$2"' _ "$cfg" "$tmp/calls"
else
  echo "FAIL  postinst configure"; failures=$((failures + 1))
fi

# ---------------------------------------------------- lintian, the sandbox
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$server" "$client" >"$tmp/lintian.log" 2>&1
  check "lintian: no error and no warning on either package" \
    bash -c '! grep -E "^[EW]: " "$1"' _ "$tmp/lintian.log"
else
  echo "FAIL  lintian is missing (scripts/install-deps installs it)"; failures=$((failures + 1))
fi
score=$(systemd-analyze security --offline=yes "$root/usr/lib/systemd/system/zeltor.service" 2>&1 |
        sed -n 's/.*Overall exposure level for zeltor.service: \([0-9.]*\).*/\1/p')
check "systemd-analyze security: zeltor.service exposure ${score:-?} is at most 2.0" \
  awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 2.0) }'

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
