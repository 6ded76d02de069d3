#!/usr/bin/env bash
# End-to-end checks of the Windows build under Wine, against the DTC doubles:
#   - morvalen.exe -? prints the usage;
#   - the console run serves a client on port 1439 (handshake, branch query,
#     a whole branch), and a missing MSDTCPRX.DLL gives -7 with its two texts;
#   - a DTC library that raises a software exception inside DTC_XaOpen or
#     DTC_XaPrepare: the request answers -0x220001, the report names the
#     operation and the code, and the console run goes on serving;
#   - -i registers the service with Wine's service control manager (sc query
#     shows it, with the event source's registry key), a second -i fails with
#     "Service exists.", the service started by the manager reports running and
#     serves a client, sc stop answers STOP_PENDING and stops it, -u stops it
#     again and removes it and its key;
#   - -i with the event log's Application key volatile (no lasting subkey can
#     be made in it): "Orvanthe installed." and the three event-source failures,
#     the service stays installed;
#   - -u while DeleteService fails (the service is held marked for deletion by
#     another process): "DeleteService failed - ...", the event source's key stays.
# The client is the Linux morvalenctl, over loopback.
#
# Usage: wine-e2e.sh BUILD_WINDOWS_DIR MORVALENCTL
# Run it in a private network namespace (tests/support/netns-run.sh) so that
# port 1439 is not shared. Wine runs in a private, temporary WINEPREFIX that
# is removed at the end, with its wineserver.
set -uo pipefail
build=$(cd "$1" && pwd)
ctl=$2
exe="$build/bin/morvalen.exe"
helper="$build/bin/wine-helper.exe"
doubles="$build/lib/doubles"

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/morvalen-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
# The XOLEHLP.DLL double beside the program, not Wine's own; no Mono or Gecko.
export WINEDLLOVERRIDES='xolehlp=n,b;mscoree,mshtml='
output=$(mktemp "${TMPDIR:-/tmp}/morvalen-wine-out.XXXXXX")
console_pid=
cleanup() {
  [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX" "$output"
}
trap cleanup EXIT

failures=0
started_at=$(date +%s)
check() {  # check NAME COMMAND...: runs the command, reports the outcome
  local name=$1; shift
  if "$@"; then
    echo "PASS $name ($(( $(date +%s) - started_at )) s)"
  else
    echo "FAIL $name"; failures=$((failures + 1))
    [ -n "${shown:-}" ] && printf '%s\n' "$shown" | sed 's/^/    | /'
  fi
  shown=
}
contains() { grep -qF -- "$2" <<<"$1"; }
winpath() { echo "Z:${1//\//\\}"; }

# Waits (bounded) until the service answers a branch query on port 1439.
wait_port() {
  for _ in $(seq 1 300); do
    "$ctl" --timeout 1000 query probe >/dev/null 2>&1
    [ $? -ne 2 ] && return 0
    sleep 0.1
  done
  return 1
}
# Waits (bounded) until nothing answers on port 1439 any more.
wait_port_closed() {
  for _ in $(seq 1 300); do
    "$ctl" --timeout 1000 query probe >/dev/null 2>&1
    [ $? -eq 2 ] && return 0
    sleep 0.1
  done
  return 1
}
# A whole branch against the doubles: start (with its cookie), query, end, prepare, commit.
whole_branch() {
  local xid=$1 text
  text=$("$ctl" start "$xid") && contains "$text" "cookie: 16 bytes" &&
    "$ctl" query "$xid" >/dev/null && "$ctl" end "$xid" >/dev/null &&
    "$ctl" prepare "$xid" >/dev/null && "$ctl" commit "$xid" >/dev/null &&
    ! "$ctl" query "$xid" >/dev/null 2>&1
}

echo "--- Wine prefix"
wineboot -i >/dev/null 2>&1
wineserver -w  # the prefix is complete once its first server has ended
wineserver -p  # one server (and one service control manager) from here on
# The first program of a server starts Wine's own services, which keep its
# standard output open: not one whose output is read to its end.
wine cmd /c exit </dev/null >/dev/null 2>&1

echo "--- usage"
usage=$(wine "$exe" -? 2>/dev/null | tr -d '\r')
check "usage text" test "$usage" = "$(printf 'Orvanthe\n\nUsage: Morvalen [-Option]\n\nOptions:\n\t-i\tInstall NT Service\n\t-u\tUninstall NT Service\n\t-? -h\tThis help')"

echo "--- console run"
WINEPATH=$(winpath "$doubles") wine "$exe" >"$output" 2>&1 &
console_pid=$!
check "console run listens" wait_port
check "branch query of an unknown branch" bash -c "! '$ctl' query nothing-here"
check "whole branch in the console run" whole_branch console-1
check "one-connection cycle" "$ctl" cycle console-2
text=$(tr -d '\r' <"$output"); shown=$text
check "console texts" bash -c 'grep -qx "Start Service from Console" <<<"$1" && grep -qx "Start Service" <<<"$1" && grep -qx "SetServiceStatus failed" <<<"$1"' _ "$text"
kill "$console_pid"; wait "$console_pid" 2>/dev/null; console_pid=
check "console run ended" wait_port_closed

echo "--- missing MSDTCPRX.DLL"
wine "$exe" >"$output" 2>&1 &
console_pid=$!
check "console run without the DLL listens" wait_port
text=$("$ctl" start missing-dll 2>&1)
check "start answers -7" contains "$text" "(-7)"
out=$(tr -d '\r' <"$output"); shown="$text
$out"
check "missing DLL texts" bash -c 'grep -qx "MSDTCPRX.DLL not loaded. : -7" <<<"$1" && grep -qx "Morvalen not init. : -7" <<<"$1"' _ "$out"
kill "$console_pid"; wait "$console_pid" 2>/dev/null; console_pid=
wait_port_closed

echo "--- a DTC library that raises"
# A raise inside DTC_XaOpen (the binding) and DTC_XaPrepare (under bridgeLock):
# each request is answered, and the service goes on serving whole branches.
WINEPATH=$(winpath "$doubles") MORVALEN_DOUBLE_SCRIPT="DTC_XaOpen=raise" wine "$exe" >"$output" 2>&1 &
console_pid=$!
check "console run with a raising open listens" wait_port
text=$("$ctl" prepare raise-open 2>&1); shown=$text
check "prepare answers -2228225 when open raises" contains "$text" "(-2228225)"
text=$("$ctl" prepare raise-open 2>&1); shown=$text
check "and again on the next request" contains "$text" "(-2228225)"
out=$(tr -d '\r' <"$output"); shown=$out
check "report of the raise in init" bash -c '[ "$(grep -cx "Exception in init : 1722" <<<"$1")" -eq 2 ]' _ "$out"
kill "$console_pid"; wait "$console_pid" 2>/dev/null; console_pid=
wait_port_closed
WINEPATH=$(winpath "$doubles") MORVALEN_DOUBLE_SCRIPT="DTC_XaPrepare=raise" wine "$exe" >"$output" 2>&1 &
console_pid=$!
check "console run with a raising prepare listens" wait_port
text=$("$ctl" prepare raise-prepare 2>&1); shown=$text
check "prepare answers -2228225 when it raises" contains "$text" "(-2228225)"
check "a whole branch after the raise" bash -c "'$ctl' start raise-2 >/dev/null && '$ctl' end raise-2 >/dev/null && '$ctl' rollback raise-2 >/dev/null"
check "and a second raise" contains "$("$ctl" prepare raise-prepare 2>&1)" "(-2228225)"
out=$(tr -d '\r' <"$output"); shown=$out
check "report of the raise in xa_prepare" bash -c '[ "$(grep -cx "Exception in xa_prepare : 1722" <<<"$1")" -eq 2 ]' _ "$out"
kill "$console_pid"; wait "$console_pid" 2>/dev/null; console_pid=
wait_port_closed

# The doubles' directory on the system PATH, so that the service finds
# MSDTCPRX.DLL (services do not inherit WINEPATH); the manager reads it when
# it starts, so the server starts again.
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH /t REG_EXPAND_SZ \
  /d "C:\\windows\\system32;C:\\windows;$(winpath "$doubles")" /f >/dev/null 2>&1
wineserver -k; wineserver -w
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1

echo "--- install, service run, uninstall"
# Installed from a folder whose name has a blank: the service's path must be quoted.
installed="$WINEPREFIX/drive_c/Program Files/Morvalen Test"
mkdir -p "$installed"
cp "$exe" "$build/bin/XOLEHLP.DLL" "$build/bin/libmorvalen_dtc_double.dll" "$installed/"
exe="$installed/morvalen.exe"
text=$(wine "$exe" -i 2>/dev/null | tr -d '\r')
check "install" test "$text" = "Orvanthe installed."
state=$(wine sc query Morvalen 2>&1 | tr -d '\r'); shown=$state
check "sc query: installed, not started" bash -c 'grep -q "SERVICE_NAME: Morvalen" <<<"$1" && grep -q "STOPPED" <<<"$1"' _ "$state"
text=$(wine "$exe" -i 2>/dev/null | tr -d '\r')
check "second install refused" test "$text" = "CreateService failed - Service exists. (0x431)"
service=$(wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Morvalen' 2>&1 | tr -d '\r'); shown=$service
check "service entry: automatic start, own process, quoted path, display name" bash -c \
  'grep -q "Start.*0x2" <<<"$1" && grep -q "Type.*0x10" <<<"$1" && grep -qF "\"$2\"" <<<"$1" && grep -q "DisplayName.*Orvanthe" <<<"$1"' \
  _ "$service" "C:\\Program Files\\Morvalen Test\\morvalen.exe"
key=$(wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Morvalen' 2>/dev/null | tr -d '\r')
check "event source key" bash -c 'grep -q "EventMessageFile.*morvalen.exe" <<<"$1" && grep -q "TypesSupported.*0x7" <<<"$1"' _ "$key"
started=1
for _ in $(seq 1 60); do
  if wine sc start Morvalen >/dev/null 2>&1; then started=0; break; fi
  sleep 1  # the manager refuses starts while it starts its own services
done
check "sc start" test $started -eq 0
check "service listens" wait_port
state=$(wine sc query Morvalen 2>&1 | tr -d '\r'); shown=$state
check "sc query: running" contains "$state" "RUNNING"
check "whole branch in the service run" whole_branch service-1
# The stop control is answered once stop pending has been reported: sc shows
# STOP_PENDING (check point 2), or STOPPED when Wine's manager read the status
# again after the whole, short stop had run; never RUNNING.
text=$(wine sc stop Morvalen 2>&1 | tr -d '\r'); shown=$text
check "sc stop: STOP_PENDING" bash -c '{ grep -q "STATE.*STOP_PENDING" <<<"$1" && grep -q "CHECKPOINT.*0x2" <<<"$1"; } ||
  grep -q "STATE.*STOPPED" <<<"$1"' _ "$text"
check "stopped service stopped listening" wait_port_closed
stopped=1
for _ in $(seq 1 100); do
  if wine sc query Morvalen 2>&1 | grep -q "STOPPED"; then stopped=0; break; fi
  sleep 0.1
done
check "sc query: stopped" test $stopped -eq 0
started=1
for _ in $(seq 1 60); do
  if wine sc start Morvalen >/dev/null 2>&1; then started=0; break; fi
  sleep 1
done
check "sc start again" test $started -eq 0
check "service listens again" wait_port
text=$(wine "$exe" -u 2>/dev/null | tr -d '\r'); shown=$text
check "uninstall stops and removes" bash -c 'grep -q "^Stopping Orvanthe\." <<<"$1" && grep -q "Orvanthe stopped\." <<<"$1" && grep -qx "Orvanthe removed." <<<"$1"' _ "$text"
check "service stopped listening" wait_port_closed
check "sc query: gone" bash -c '! wine sc query Morvalen >/dev/null 2>&1'
check "event source key removed" bash -c "! wine reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Morvalen' >/dev/null 2>&1"
text=$(wine "$exe" -u 2>/dev/null | tr -d '\r')
check "second uninstall: OpenService failed" contains "$text" "OpenService failed - "

echo "--- install with a failing event-source step"
application='SYSTEM\CurrentControlSet\Services\EventLog\Application'
source_key="HKLM\\$application\\Morvalen"
wine "$helper" volatile-key "$application" >/dev/null 2>&1
text=$(wine "$exe" -i 2>/dev/null | tr -d '\r'); shown=$text
check "install reports each failed step after installed" test "$text" = "$(printf 'Orvanthe installed.\nThe EventLog subkey could not be created.\nThe Message File value could\nnot be assigned.\nThe Types Supported value could\nnot be assigned.')"
state=$(wine sc query Morvalen 2>&1 | tr -d '\r'); shown=$state
check "the service stays installed" contains "$state" "SERVICE_NAME: Morvalen"
check "no event source key" bash -c "! wine reg query '$source_key' >/dev/null 2>&1"
wine "$helper" plain-key "$application" >/dev/null 2>&1
text=$(wine "$exe" -u 2>/dev/null | tr -d '\r'); shown=$text
check "and is removed" test "$text" = "Orvanthe removed."

echo "--- uninstall while DeleteService fails"
release="$WINEPREFIX/drive_c/release-mark"
text=$(wine "$exe" -i 2>/dev/null | tr -d '\r'); shown=$text
check "installed again, with its key" bash -c "[ \"\$1\" = 'Orvanthe installed.' ] && wine reg query '$source_key' >/dev/null 2>&1" _ "$text"
marked=$(mktemp "${TMPDIR:-/tmp}/morvalen-wine-mark.XXXXXX")
wine "$helper" mark-deleted Morvalen 'C:\release-mark' >"$marked" 2>&1 &
helper_pid=$!
for _ in $(seq 1 100); do grep -q marked "$marked" && break; sleep 0.1; done
text=$(wine "$exe" -u 2>/dev/null | tr -d '\r'); shown="$(cat "$marked")
$text"
check "DeleteService failed, nothing removed" bash -c 'grep -q "^DeleteService failed - " <<<"$1" && ! grep -q "removed" <<<"$1"' _ "$text"
check "the event source key stays" bash -c "wine reg query '$source_key' >/dev/null 2>&1"
touch "$release"
wait "$helper_pid" 2>/dev/null
rm -f "$marked"

echo "--- $failures failed"
[ "$failures" -eq 0 ]
