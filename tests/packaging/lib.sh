# Shared by the packaging tests (sourced): a scratch directory removed on exit, with any daemon
# started on demand stopped first, and the check that an installed daemon admits its client.
fail() { echo "FAIL: $*" >&2; exit 1; }
stage=$(mktemp -d)
activator=
trap 'kill $activator 2>/dev/null || true; rm -rf "$stage"' EXIT
chmod 755 "$stage"

# daemonAdmitsSignedClient BINDIR SBINDIR ROOT: signs BINDIR's zebctl (installing may have rewritten
# it) with a new anchor, starts SBINDIR's daemon on demand against ROOT, and expects its ready answer.
daemonAdmitsSignedClient() {
  mkdir "$stage/anchors"
  "$1/zeb-codesign" keygen orvel "$stage/anchors" >/dev/null
  "$1/zeb-codesign" sign --key "$stage/anchors/orvel.key" --identifier com.orvel.tessel.VellumDrift "$1/zebctl"
  systemd-socket-activate -l "$stage/zeb.sock" "$2/com.orvel.tessel.zeb.privileged" --root "$3" \
    --anchors "$stage/anchors" 2>"$stage/daemon.log" &
  activator=$!
  for _ in $(seq 100); do [ -S "$stage/zeb.sock" ] && break; sleep 0.05; done
  answer=$("$1/zebctl" --socket "$stage/zeb.sock" --timeout 20 ready) || fail "installed client: $(cat "$stage/daemon.log")"
  [ "$answer" = '{"args":["0.84"],"callback":"helperReadyWithVersion:"}' ] || fail "answer $answer"
  "$1/zebctl" --socket "$stage/zeb.sock" --timeout 20 stop >/dev/null
  wait $activator || fail "daemon exit status $?"
  activator=
}
