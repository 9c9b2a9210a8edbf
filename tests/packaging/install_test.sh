#!/bin/sh
# cmake --install into a staging directory: everything lands where it should, with the modes it
# should have; the installed client signed after installing is admitted by the installed daemon
# started on demand, and small programs build and run against the installed Ferrix (through
# pkg-config and through find_package) and the installed client library (through find_package).
set -eu
build=$1
. "$(dirname "$0")/lib.sh"

DESTDIR=$stage/dest cmake --install "$build" --prefix /usr/local >"$stage/install.log" 2>&1 || fail "install: $(tail "$stage/install.log")"
p=$stage/dest/usr/local
root=$p/libexec/com.orvel.tessel.zeb.privileged/root
for f in sbin/com.orvel.tessel.zeb.privileged bin/zebctl bin/zeb-codesign bin/ferrix \
         lib/libFerrix.so include/Ferrix/Ferrix.h include/Ferrix/FRXSFTP.h lib/pkgconfig/ferrix.pc \
         lib/cmake/Ferrix/FerrixConfig.cmake lib/systemd/system/com.orvel.tessel.zeb.privileged.socket \
         lib/systemd/system/com.orvel.tessel.zeb.privileged.service share/doc/zeb/protocol.md \
         share/man/man8/com.orvel.tessel.zeb.privileged.8 share/man/man1/zebctl.1 share/man/man1/zeb-codesign.1 \
         share/man/man1/ferrix.1 lib/libzeb-client.so.0 include/ZEB/Client.h include/ZEB/zeb_client.h \
         lib/pkgconfig/zeb-client.pc lib/cmake/ZEBClient/ZEBClientConfig.cmake share/man/man3/zeb_client.3; do
  [ -e "$p/$f" ] || fail "missing $f"
done
for t in usr/bin/sysdiagnose usr/bin/sample usr/sbin/system_profiler System/Library/CoreServices/SystemVersion.plist \
         System/Library/Frameworks/SystemConfiguration.framework/Versions/A/Resources/get-mobility-info; do
  [ -e "$root/$t" ] || fail "missing system root entry $t"
done
grep -q "^ExecStart=/usr/local/sbin/com.orvel.tessel.zeb.privileged --root /usr/local/libexec/com.orvel.tessel.zeb.privileged/root$" \
  "$p/lib/systemd/system/com.orvel.tessel.zeb.privileged.service" || fail "unit ExecStart"

# The installed daemon, started on demand, admits the installed zebctl once it is signed.
daemonAdmitsSignedClient "$p/bin" "$p/sbin" "$root"

# A tiny consumer of the installed library, built both ways.
mkdir "$stage/app"
cat >"$stage/app/main.cpp" <<'CPP'
#include <Ferrix/Ferrix.h>
#include <cstdio>
int main() {
  // Nobody listens on port 1 of the loopback address: the connection must fail cleanly.
  FRXSFTP sftp("127.0.0.1", "nobody", FRXPassword("secret"));
  sftp.setPort(1);
  FRXError error;
  const bool ok = sftp.connectWithError(&error);
  std::printf("connected=%d domain=%s\n", ok ? 1 : 0, error.domain.c_str());
  return ok ? 1 : 0;
}
CPP
cat >"$stage/app/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(app CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(Ferrix REQUIRED)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE Ferrix::Ferrix)
CM
cmake -S "$stage/app" -B "$stage/app/build" -DCMAKE_PREFIX_PATH="$p" >"$stage/app.log" 2>&1 || fail "find_package: $(cat "$stage/app.log")"
cmake --build "$stage/app/build" >>"$stage/app.log" 2>&1 || fail "build with find_package: $(cat "$stage/app.log")"
LD_LIBRARY_PATH=$p/lib "$stage/app/build/app" | grep -q 'connected=0 domain=frx_error_domain' || fail "find_package program"

flags=$(PKG_CONFIG_PATH=$p/lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage/dest pkg-config --cflags --libs ferrix) || fail "pkg-config"
# shellcheck disable=SC2086
c++ -std=c++20 "$stage/app/main.cpp" -o "$stage/app/app-pc" $flags || fail "build with pkg-config ($flags)"
LD_LIBRARY_PATH=$p/lib "$stage/app/app-pc" | grep -q 'connected=0 domain=frx_error_domain' || fail "pkg-config program"

# The client library through find_package: nothing listens at the socket it is given.
mkdir "$stage/zapp"
cat >"$stage/zapp/main.cpp" <<'CPP'
#include <ZEB/Client.h>
#include <cstdio>
int main(int, char** argv) {
  ZEB::Client::Options options;
  options.socketPath = argv[1];
  ZEB::Status status;
  auto client = ZEB::Client::connect(options, nullptr, &status);
  std::printf("%s\n", ZEB::failureName(status.failure()));
  return client ? 1 : 0;
}
CPP
cat >"$stage/zapp/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(zapp CXX)
find_package(ZEBClient REQUIRED)
add_executable(zapp main.cpp)
target_link_libraries(zapp PRIVATE ZEBClient::ZEBClient)
CM
cmake -S "$stage/zapp" -B "$stage/zapp/build" -DCMAKE_PREFIX_PATH="$p" >"$stage/zapp.log" 2>&1 || fail "find_package(ZEBClient): $(cat "$stage/zapp.log")"
cmake --build "$stage/zapp/build" >>"$stage/zapp.log" 2>&1 || fail "build with ZEBClient: $(cat "$stage/zapp.log")"
[ "$(LD_LIBRARY_PATH=$p/lib "$stage/zapp/build/zapp" "$stage/absent.sock")" = "no socket" ] || fail "ZEBClient program"
[ "$(stat -c %a "$p/lib/systemd/system/com.orvel.tessel.zeb.privileged.socket")" = 644 ] || fail "socket unit mode"
echo "1 passed, 0 failed"
