#!/bin/sh
# The Debian packages, split as Debian splits them: CPack builds each once; each holds its own files
# with the right dependencies and modes; every binary carries Debian's hardening; installed into a
# scratch root (dpkg --root, the maintainer scripts run against it) the anchors directory exists and
# postinst says how to start the helper without systemd; the manual pages render without warnings;
# the installed daemon admits the installed zebctl once signed; the example of
# docs/client-library.md and its C twin, built against the installed packages only, get a
# sysdiagnose and a sample answered by the installed daemon started by hand with the documented line;
# lintian finds nothing unexplained and no hardening fault; a purge removes what the packages made.
# Packages built from a `git archive` tree (files 0664) under umask 002 hold the same files with the
# same modes.
set -eu
build=$1
src=$2
. "$(dirname "$0")/lib.sh"

# buildPackages BUILD OUT: every package of BUILD's configuration into OUT.
buildPackages() {
  for config in "$1"/CPackConfig.cmake "$1"/CPackConfig-*.cmake; do
    (cd "$1" && cpack --config "$config" -B "$2") >"$stage/cpack.log" 2>&1 || fail "cpack $config: $(tail "$stage/cpack.log")"
  done
}
pkgs=$stage/pkgs
buildPackages "$build" "$pkgs"
names="zeb-privileged libzeb-client0 libzeb-client-dev libferrix0 libferrix-dev ferrix"
for n in $names; do
  deb=$(ls "$pkgs/${n}_"*.deb) || fail "no package $n: $(ls "$pkgs")"
  dpkg-deb -c "$deb" >"$pkgs/$n.list"
done

# has PACKAGE PATH...: each path is in the package; lacks PACKAGE PATH...: none is.
has() { p=$1; shift; for f; do grep -q " \./$f\( ->.*\)\?$" "$pkgs/$p.list" || fail "$p lacks $f"; done; }
lacks() { p=$1; shift; for f; do ! grep -q " \./$f" "$pkgs/$p.list" || fail "$p holds $f"; done; }
root=usr/libexec/com.orvel.tessel.zeb.privileged/root
has zeb-privileged usr/sbin/com.orvel.tessel.zeb.privileged usr/bin/zebctl usr/bin/zeb-codesign \
  usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.socket usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.service \
  $root/usr/bin/sysdiagnose $root/usr/lib/zeb-tools/redact.pl $root/usr/sbin/system_profiler $root/var/log \
  usr/share/man/man8/com.orvel.tessel.zeb.privileged.8.gz usr/share/man/man1/zebctl.1.gz usr/share/man/man1/zeb-codesign.1.gz \
  usr/share/doc/zeb/security.md usr/share/doc/zeb/client-library.md usr/share/doc/zeb-privileged/copyright
lacks zeb-privileged usr/lib/libFerrix usr/lib/libzeb-client usr/include usr/bin/ferrix usr/share/man/man3
has libzeb-client0 usr/lib/libzeb-client.so.0 usr/share/doc/libzeb-client0/copyright
lacks libzeb-client0 usr/include usr/lib/libzeb-client.so\  usr/lib/pkgconfig
has libzeb-client-dev usr/lib/libzeb-client.so usr/include/ZEB/Client.h usr/include/ZEB/zeb_client.h \
  usr/lib/pkgconfig/zeb-client.pc usr/lib/cmake/ZEBClient/ZEBClientConfig.cmake usr/share/man/man3/zeb_client.3.gz
lacks libzeb-client-dev usr/lib/libzeb-client.so.0
has libferrix0 usr/lib/libFerrix.so.0
lacks libferrix0 usr/include usr/bin
has libferrix-dev usr/lib/libFerrix.so usr/include/Ferrix/Ferrix.h usr/lib/pkgconfig/ferrix.pc usr/lib/cmake/Ferrix/FerrixConfig.cmake
has ferrix usr/bin/ferrix usr/share/man/man1/ferrix.1.gz
lacks ferrix usr/lib/libFerrix usr/include
depends() { dpkg-deb -f "$pkgs/${1}_"*.deb Depends; }
for d in zip libcbor0.8 libplist3 libssl3 libicu72 libsystemd0; do
  depends zeb-privileged | grep -q "$d" || fail "zeb-privileged Depends lacks $d: $(depends zeb-privileged)"
done
dpkg-deb -f "$pkgs"/zeb-privileged_*.deb Recommends | grep -q sosreport || fail "zeb-privileged does not recommend sosreport"
depends libzeb-client0 | grep -q 'libcbor0.8' || fail "libzeb-client0 Depends: $(depends libzeb-client0)"
depends libzeb-client-dev | grep -q 'libzeb-client0 (= ' || fail "libzeb-client-dev Depends: $(depends libzeb-client-dev)"
depends libferrix0 | grep -q 'libssh2-1 ' || fail "libferrix0 Depends: $(depends libferrix0)"
depends libferrix-dev | grep -q 'libferrix0 (= ' || fail "libferrix-dev Depends: $(depends libferrix-dev)"
depends ferrix | grep -q 'libferrix0 (= ' || fail "ferrix Depends: $(depends ferrix)"
depends ferrix | grep -q 'dev' && fail "the ferrix command drags in development files: $(depends ferrix)"
depends libferrix0 | grep -q 'libcbor\|libplist' && fail "libferrix0 depends on the helper's libraries"

# Modes set by kind: folders and executables 0755, everything else 0644.
for n in $names; do
  bad=$(awk '$1 !~ /^l/ && $1 != "drwxr-xr-x" && $1 != "-rwxr-xr-x" && $1 != "-rw-r--r--"' "$pkgs/$n.list")
  [ -z "$bad" ] || fail "$n modes: $bad"
done

# Installed into a scratch root; the maintainer scripts see it as DPKG_ROOT.
scratch=$stage/scratch
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$scratch/var/lib/dpkg/triggers" "$scratch/run"
: >"$scratch/var/lib/dpkg/status"
dpkg --root="$scratch" --force-script-chrootless --force-depends -i "$pkgs"/*.deb >"$stage/dpkg.log" 2>&1 ||
  fail "dpkg -i: $(tail "$stage/dpkg.log")"
[ -d "$scratch/etc/com.orvel.tessel.zeb.privileged/anchors" ] || fail "postinst made no anchors directory"
[ "$(stat -c %U:%a "$scratch/etc/com.orvel.tessel.zeb.privileged/anchors")" = root:755 ] || fail "anchors directory mode"
start=$(sed -n 's/^  \(\/usr\/sbin\/com.orvel.tessel.zeb.privileged .*\) &$/\1/p' "$stage/dpkg.log")
[ -n "$start" ] && grep -q 'nothing listens' "$stage/dpkg.log" || fail "postinst did not say how to start the helper: $(cat "$stage/dpkg.log")"
grep -q "^ExecStart=/usr/sbin/com.orvel.tessel.zeb.privileged --root /$root$" \
  "$scratch/usr/lib/systemd/system/com.orvel.tessel.zeb.privileged.service" || fail "unit ExecStart"
for page in "$scratch"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man ${page##*/}"
  [ -z "$warnings" ] || fail "${page##*/}: $warnings"
done
LD_LIBRARY_PATH=$scratch/usr/lib "$scratch/usr/bin/ferrix" --help | grep -qF '[USER@]HOST' || fail "installed ferrix"

# The installed daemon, started on demand, admits the installed zebctl once it is signed.
daemonAdmitsSignedClient "$scratch/usr/bin" "$scratch/usr/sbin" "$scratch/$root"

# The documentation's two programs, built against the scratch root only. The helper refuses clients
# whose environment points the loader elsewhere, so they find the library by their run path.
app=$stage/app
mkdir "$app"
awk '/^```cpp$/ { n++; next } /^```/ { if (n == 1) n++; next } n == 1' "$src/docs/client-library.md" >"$app/example.cpp"
awk '/^```c$/ { n++; next } /^```/ { if (n == 1) n++; next } n == 1' "$src/docs/client-library.md" >"$app/example.c"
flags=$(PKG_CONFIG_LIBDIR=$scratch/usr/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$scratch pkg-config --cflags --libs zeb-client) ||
  fail "pkg-config zeb-client"
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Werror "$app/example.cpp" -o "$app/example" $flags -Wl,-rpath,"$scratch/usr/lib" || fail "example.cpp ($flags)"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Werror "$app/example.c" -o "$app/example-c" $flags -Wl,-rpath,"$scratch/usr/lib" || fail "example.c ($flags)"
for program in example example-c; do
  "$scratch/usr/bin/zeb-codesign" sign --key "$stage/anchors/orvel.key" --identifier com.orvel.tessel.VellumDrift "$app/$program"
done
# The start line postinst gave, on a socket of the scratch root; the stand-ins make their quick
# snapshot rather than a sos report (minutes).
mkdir -p "$scratch/$root/etc" && echo sos=no >"$scratch/$root/etc/zeb-tools.conf"
# shellcheck disable=SC2086
$(echo "$start" | sed "s#\(^\| \)/usr/#\1$scratch/usr/#g") --socket "$scratch/run/zeb.sock" --anchors "$stage/anchors" \
  2>"$stage/daemon.log" &
daemon=$!
activator=$daemon
for _ in $(seq 100); do [ -S "$scratch/run/zeb.sock" ] && break; sleep 0.05; done
[ "$(stat -c %a:%G "$scratch/run/zeb.sock")" = 660:adm ] || fail "socket $(stat -c %a:%G "$scratch/run/zeb.sock")"
for program in example example-c; do
  mkdir "$app/out-$program"
  out=$(timeout 120 "$app/$program" "$scratch/run/zeb.sock" "$app/out-$program" $$) || fail "$program: $out $(cat "$stage/daemon.log")"
  echo "$out" | grep -q '"callback":"sysDiagnoseDidFinish:error:"' || fail "$program: no sysdiagnose answer: $out"
  echo "$out" | grep -q '"callback":"sampleProcessDidFinish:error:"' || fail "$program: no sample answer: $out"
  ls "$app/out-$program" | grep -q . && [ -s "$app/out-$program/sample.txt" ] || fail "$program: $(ls -l "$app/out-$program")"
done
# Killed outright, it leaves its socket file: the purge below removes it.
kill -KILL "$daemon"
wait "$daemon" 2>/dev/null || true
activator=
mv "$scratch/run/zeb.sock" "$scratch/run/com.orvel.tessel.zeb.privileged.sock"

# Hardening: relro, bindnow and PIE on every ELF file; fortified functions where any are called.
for n in $names; do dpkg-deb -x "$pkgs/${n}_"*.deb "$stage/x"; done
find "$stage/x" -type f -perm -u+x -o -type f -name '*.so*' | while read -r f; do
  readelf -h "$f" >/dev/null 2>&1 || continue
  readelf -lW "$f" | grep -q GNU_RELRO || fail "no relro: $f"
  readelf -dW "$f" | grep -q 'BIND_NOW\|FLAGS.*NOW' || fail "no bindnow: $f"
  readelf -hW "$f" | grep -q 'Type:.*DYN' || fail "not PIE: $f"
done
readelf -sW --dyn-syms "$stage/x/usr/sbin/com.orvel.tessel.zeb.privileged" | grep -q '__[a-z]*_chk' || fail "daemon not fortified"
if command -v lintian >/dev/null 2>&1; then
  lintian --pedantic -EI --fail-on error,warning "$pkgs"/*.deb >"$stage/lintian.log" 2>&1 || fail "lintian: $(cat "$stage/lintian.log")"
  ! grep hardening "$stage/lintian.log" || fail "lintian hardening tags"
fi

dpkg --root="$scratch" --force-script-chrootless -P $names >"$stage/dpkg.log" 2>&1 || fail "dpkg -P: $(tail "$stage/dpkg.log")"
for made in etc/com.orvel.tessel.zeb.privileged usr/sbin/com.orvel.tessel.zeb.privileged usr/lib/libzeb-client.so.0 \
            usr/include run/com.orvel.tessel.zeb.privileged.sock; do
  [ ! -e "$scratch/$made" ] || fail "purge left $made"
done

# A tree from `git archive` (files 0664 under umask 002) makes the same packages. Only the packaging
# is redone there: the binaries are this build's, copied to where that tree's build expects them.
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  tree=$stage/tree
  mkdir "$tree"
  (umask 002 && git -C "$src" archive HEAD | tar -x -C "$tree") || fail "git archive"
  [ "$(stat -c %a "$tree/packaging/com.orvel.tessel.zeb.privileged.socket")" = 664 ] || fail "the archive's files are not 0664"
  (umask 002 && cmake -S "$tree" -B "$tree/build" -DZEB_BUILD_TESTS=OFF -DZEB_BUILD_BENCH=OFF -DZEB_BUILD_TRANSFER=ON) \
    >"$stage/configure.log" 2>&1 || fail "configure the archive: $(tail "$stage/configure.log")"
  for f in helper/com.orvel.tessel.zeb.privileged client/zebctl client/libzeb-client.so* tools/zeb-codesign/zeb-codesign \
           root/usr/sbin/system_profiler transfer/libFerrix.so* transfer/ferrix; do
    for g in "$build"/$f; do cp -P "$g" "$tree/build/${g#"$build"/}"; done
  done
  # That tree's install expects its own build's run path; this build's is dropped first.
  echo 'file(RPATH_REMOVE FILE "${F}")' >"$stage/rpath.cmake"
  cmake -DF="$tree/build/transfer/ferrix" -P "$stage/rpath.cmake" || fail "rpath"
  (umask 002 && buildPackages "$tree/build" "$stage/tree-pkgs")
  for n in $names; do
    dpkg-deb -c "$stage/tree-pkgs/${n}_"*.deb | awk '{ print $1, $2, $6, $7, $8 }' >"$stage/tree.list"
    awk '{ print $1, $2, $6, $7, $8 }' "$pkgs/$n.list" >"$stage/clone.list"
    diff "$stage/clone.list" "$stage/tree.list" >&2 || fail "$n differs when built from git archive"
  done
fi
echo "1 passed, 0 failed"
