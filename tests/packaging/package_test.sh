#!/bin/sh
# The Debian packages: CPack builds both; each holds its own files with the right dependencies;
# installed into a scratch root (dpkg --root, the maintainer scripts run against it) the anchors
# directory exists, the manual pages render without warnings, the installed daemon starts on demand
# and admits the installed zebctl once signed; lintian finds nothing unexplained; a purge removes
# everything again.
set -eu
build=$1
. "$(dirname "$0")/lib.sh"

pkgs=$stage/pkgs
for config in CPackConfig.cmake CPackConfigFerrix.cmake; do
  (cd "$build" && cpack --config "$config" -B "$pkgs") >"$stage/cpack.log" 2>&1 || fail "cpack $config: $(tail "$stage/cpack.log")"
done
helper=$(ls "$pkgs"/zeb-privileged_*.deb) && ferrix=$(ls "$pkgs"/ferrix_*.deb) || fail "packages missing: $(ls "$pkgs")"

# has PACKAGE PATH...: each path is in the package; lacks PACKAGE PATH...: none is.
for p in "$helper" "$ferrix"; do dpkg-deb -c "$p" >"$p.list"; done
has() { p=$1; shift; for f; do grep -q " \./$f\( ->.*\)\?$" "$p.list" || fail "${p##*/} lacks $f"; done; }
lacks() { p=$1; shift; for f; do ! grep -q " \./$f" "$p.list" || fail "${p##*/} holds $f"; done; }
root=usr/libexec/com.orvel.tessel.zeb.privileged/root
has "$helper" usr/sbin/com.orvel.tessel.zeb.privileged usr/bin/zebctl usr/bin/zeb-codesign \
  usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.socket usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.service \
  $root/usr/bin/sysdiagnose $root/usr/lib/zeb-tools/redact.pl $root/usr/sbin/system_profiler $root/var/log \
  usr/share/man/man8/com.orvel.tessel.zeb.privileged.8.gz usr/share/man/man1/zebctl.1.gz usr/share/man/man1/zeb-codesign.1.gz \
  usr/share/doc/zeb/security.md usr/share/doc/zeb-privileged/copyright
lacks "$helper" usr/lib/libFerrix usr/include usr/bin/ferrix
has "$ferrix" usr/lib/libFerrix.so.0 usr/include/Ferrix/Ferrix.h usr/lib/pkgconfig/ferrix.pc usr/lib/cmake/Ferrix/FerrixConfig.cmake \
  usr/bin/ferrix usr/share/man/man1/ferrix.1.gz usr/share/doc/ferrix/copyright
lacks "$ferrix" usr/sbin usr/libexec usr/bin/zebctl usr/share/doc/zeb/
depends=$(dpkg-deb -f "$helper" Depends)
for d in zip libcbor0.8 libplist3 libssl3 libicu72 libsystemd0; do
  echo "$depends" | grep -q "$d" || fail "helper Depends lacks $d: $depends"
done
dpkg-deb -f "$helper" Recommends | grep -q sosreport || fail "helper does not recommend sosreport"
dpkg-deb -f "$ferrix" Depends | grep -q 'libssh2-1 ' || fail "ferrix Depends lacks libssh2-1"
dpkg-deb -f "$ferrix" Depends | grep -q 'libcbor\|libplist' && fail "ferrix depends on the helper's libraries"

# Installed into a scratch root; the maintainer scripts see it as DPKG_ROOT.
scratch=$stage/scratch
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$scratch/var/lib/dpkg/triggers"
: >"$scratch/var/lib/dpkg/status"
dpkg --root="$scratch" --force-script-chrootless --force-depends -i "$helper" "$ferrix" >"$stage/dpkg.log" 2>&1 ||
  fail "dpkg -i: $(tail "$stage/dpkg.log")"
[ -d "$scratch/etc/com.orvel.tessel.zeb.privileged/anchors" ] || fail "postinst made no anchors directory"
[ "$(stat -c %U:%a "$scratch/etc/com.orvel.tessel.zeb.privileged/anchors")" = root:755 ] || fail "anchors directory mode"
grep -q "^ExecStart=/usr/sbin/com.orvel.tessel.zeb.privileged --root /$root$" \
  "$scratch/usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.service" || fail "unit ExecStart"
for page in "$scratch"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man ${page##*/}"
  [ -z "$warnings" ] || fail "${page##*/}: $warnings"
done
LD_LIBRARY_PATH=$scratch/usr/lib "$scratch/usr/bin/ferrix" --help | grep -q 'USER@HOST' || fail "installed ferrix"

# The installed daemon, started on demand, admits the installed zebctl once it is signed.
daemonAdmitsSignedClient "$scratch/usr/bin" "$scratch/usr/sbin" "$scratch/$root"

if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error,warning "$helper" "$ferrix" >"$stage/lintian.log" 2>&1 || fail "lintian: $(cat "$stage/lintian.log")"
fi

dpkg --root="$scratch" --force-script-chrootless -P zeb-privileged ferrix >"$stage/dpkg.log" 2>&1 || fail "dpkg -P: $(tail "$stage/dpkg.log")"
[ ! -e "$scratch/etc/com.orvel.tessel.zeb.privileged" ] || fail "purge left the anchors directory"
[ ! -e "$scratch/usr/sbin/com.orvel.tessel.zeb.privileged" ] || fail "purge left the daemon"
echo "1 passed, 0 failed"
