#!/bin/sh
# The systemd units verify cleanly and keep their hardening score; the service's command line, run
# under systemd-socket-activate on the unit's own socket settings, starts on demand and answers.
set -eu
units=$1      # folder with the build-tree units
build=$2      # build directory
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(cd "$units" && systemd-analyze verify ./com.orvel.tessel.zeb.privileged.socket ./com.orvel.tessel.zeb.privileged.service 2>&1) || fail "verify: $out"
[ -z "$out" ] || fail "verify printed: $out"

score=$(cd "$units" && systemd-analyze security --offline=true ./com.orvel.tessel.zeb.privileged.service 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || fail "no security score"
awk -v s="$score" 'BEGIN { exit !(s <= 4.5) }' || fail "exposure $score above 4.5"
echo "exposure $score"

grep -q '^SuccessExitStatus=1$' "$units/com.orvel.tessel.zeb.privileged.service" || fail "status 1 is not success"
grep -q '^StartLimitIntervalSec=0$' "$units/com.orvel.tessel.zeb.privileged.service" || fail "start limit can disable the socket"
grep -q '^SocketMode=0660$' "$units/com.orvel.tessel.zeb.privileged.socket" || fail "socket mode"
grep -q '^SocketGroup=adm$' "$units/com.orvel.tessel.zeb.privileged.socket" || fail "socket group"

# On-demand start with the unit's own command line.
work=$(mktemp -d)
trap 'kill $activator 2>/dev/null || true; rm -rf "$work"' EXIT
exec_start=$(sed -n 's/^ExecStart=//p' "$units/com.orvel.tessel.zeb.privileged.service")
mkdir "$work/anchors"
"$build/tools/zeb-codesign/zeb-codesign" keygen orvel "$work/anchors" >/dev/null
cp "$build/client/zebctl" "$work/zebctl"
"$build/tools/zeb-codesign/zeb-codesign" sign --key "$work/anchors/orvel.key" --identifier com.orvel.tessel.VellumDrift "$work/zebctl"
# shellcheck disable=SC2086
systemd-socket-activate -l "$work/zeb.sock" $exec_start --anchors "$work/anchors" 2>"$work/log" &
activator=$!
for _ in $(seq 100); do [ -S "$work/zeb.sock" ] && break; sleep 0.05; done
case "$(readlink "/proc/$activator/exe")" in
  *systemd-socket-activate) ;;
  *) fail "started before the first connection" ;;
esac
answer=$("$work/zebctl" --socket "$work/zeb.sock" --timeout 20 ready) || fail "no answer: $(cat "$work/log")"
[ "$answer" = '{"args":["0.84"],"callback":"helperReadyWithVersion:"}' ] || fail "answer $answer"
"$work/zebctl" --socket "$work/zeb.sock" --timeout 20 stop || fail "stop"
wait $activator || fail "helper ended with $?"
echo "1 passed, 0 failed"
