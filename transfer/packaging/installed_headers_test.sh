#!/bin/sh
# The installed Ferrix interface stands alone: a program that uses it, built from an installation of
# the library's packages' components with pkg-config's flags only, compiles at the standard the package declares
# with every warning on, sees no libssh2 declaration (libssh2's headers are shadowed by ones that
# fail), and runs. Below that standard the headers say what they need.
#   installed_headers_test.sh BUILD_DIR CXX
set -eu
build=$1
cxx=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() {
  echo "installed_headers_test: $*" >&2
  exit 1
}

for component in libferrix0 libferrix-dev; do
  DESTDIR=$stage/dest cmake --install "$build" --component $component --prefix /usr/local >>"$stage/install.log" 2>&1 ||
    fail "install: $(tail "$stage/install.log")"
done
p=$stage/dest/usr/local
[ ! -e "$p/include/Ferrix/FRXHandles.h" ] || fail "FRXHandles.h is installed"

mkdir "$stage/shadow"
for h in libssh2.h libssh2_sftp.h libssh2_publickey.h; do
  echo '#error "an installed Ferrix header includes libssh2"' >"$stage/shadow/$h"
done

cat >"$stage/main.cpp" <<'CPP'
#include <Ferrix/Ferrix.h>

#include <cstdio>

// Hears everything a delegate can hear.
class Listener : public FRXObject,
                 public FRXConnectionDelegateProtocol,
                 public FRXConnectionSpeedDelegateProtocol,
                 public FRXConnectionTransferDelegateProtocol {
public:
  int failures = 0;
  void connectionDidFailOperationWithError(FRXConnection&, const FRXError*) override { ++failures; }
  void connectionDidCompleteOperation(FRXConnection&) override {}
  void connectionDidUpdateProgress(FRXConnection&, double) override {}
  void connectionDidUpdateTransferSpeed(FRXConnection&, const std::string&) override {}
  void connectionDidTransferBytes(FRXConnection&, std::uint64_t, std::uint64_t, double) override {}
};

int main() {
  Listener listener;
  // Nobody listens on port 1 of the loopback address: the connection must fail cleanly.
  FRXSFTP sftp("127.0.0.1", "nobody", FRXPassword("secret"));
  sftp.setPort(1);
  sftp.setDelegate(&listener);
  sftp.setTimeout(5);
  sftp.setServerAliveInterval(15);
  sftp.setServerAliveCountMax(3);
  sftp.setPipelined(true);
  sftp.setReportsSpeed(true);
  FRXError error;
  const bool ok = sftp.connectWithError(&error);
  std::printf("connected=%d domain=%s failures=%d alive=%d/%d\n", ok ? 1 : 0, error.domain.c_str(), listener.failures,
              sftp.serverAliveInterval(), sftp.serverAliveCountMax());
  return ok ? 1 : 0;
}
CPP

pc() { PKG_CONFIG_PATH=$p/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage/dest pkg-config "$@" ferrix; }
flags=$(pc --cflags --libs) || fail "pkg-config"
standard=$(pc --variable=cxx_standard) || fail "pkg-config: no cxx_standard"
[ -n "$standard" ] || fail "empty cxx_standard"
# shellcheck disable=SC2086
"$cxx" -std="c++$standard" -Wall -Wextra -Werror -pedantic -I"$stage/shadow" "$stage/main.cpp" -o "$stage/app" $flags \
  2>"$stage/build.log" || fail "build at C++$standard ($flags): $(cat "$stage/build.log")"
# shellcheck disable=SC2086
"$cxx" -std="c++$standard" -E -P -I"$stage/shadow" $(pc --cflags) "$stage/main.cpp" >"$stage/main.i" ||
  fail "preprocess"
if grep -i 'libssh2' "$stage/main.i" >"$stage/leaks"; then
  fail "libssh2 names in the installed headers: $(head -5 "$stage/leaks")"
fi
out=$(LD_LIBRARY_PATH=$p/lib "$stage/app") || fail "program: $out"
[ "$out" = "connected=0 domain=frx_error_domain failures=1 alive=15/3" ] || fail "program said: $out"

# The exported CMake target carries the standard too.
grep -q "cxx_std_$standard" "$p/lib/cmake/Ferrix/FerrixTargets.cmake" || fail "FerrixTargets.cmake lacks cxx_std_$standard"

# One standard below: the headers refuse with a message that names the one they need.
# shellcheck disable=SC2086
if "$cxx" -std=c++14 -fsyntax-only $(pc --cflags) "$stage/main.cpp" 2>"$stage/old.log"; then
  fail "the headers compiled at C++14"
fi
grep -q "Ferrix needs C++$standard" "$stage/old.log" || fail "no clear message at C++14: $(head -5 "$stage/old.log")"
echo "installed headers: ok"
