# Shared by the Linux stand-ins for the operating system's diagnostic tools. They run as root, so:
# every file is created new (noclobber, mktemp) and never through a link another user could plant,
# every command has a time limit, and reports appear under their final name whole or not at all.
# Every report passes through one redaction step (redact.pl) before it is archived and carries a
# manifest.json saying what was run, how it went and how many values were redacted.
# A tool sets ZEB_ROOT (its system root) and ZEB_TOOL (its name) before sourcing this file.
set -eu
set -o noclobber
umask 077
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C

ZEB_TOOLS_VERSION=@PROJECT_VERSION@
ZEB_ROOT=${ZEB_ROOT:-}
ZEB_TOOL=${ZEB_TOOL:-zeb-tool}
ZEB_LIB=${ZEB_LIB:-$ZEB_ROOT/usr/lib/zeb-tools}
ZEB_STARTED=$(date -u +%Y-%m-%dT%H:%M:%SZ)

# setting KEY DEFAULT: KEY's value in the system root's etc/zeb-tools.conf (lines KEY=VALUE, read,
# never run), else DEFAULT.
setting() {
  local value=
  if [ -f "$ZEB_ROOT/etc/zeb-tools.conf" ]; then
    value=$(sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*\\([^[:space:]]*\\).*/\\1/p" \
      "$ZEB_ROOT/etc/zeb-tools.conf" | tail -n 1)
  fi
  printf '%s\n' "${value:-$2}"
}
# setting_number KEY DEFAULT: as setting, for a whole number.
setting_number() {
  local value
  value=$(setting "$1" "$2")
  case $value in '' | *[!0-9]*) value=$2 ;; esac
  printf '%s\n' "$value"
}

# How long any one command may run.
ZEB_COMMAND_TIMEOUT=$(setting_number command_timeout 20)

stamp() { date +%Y.%m.%d_%H-%M-%S; }
host() { hostname 2>/dev/null || cat /proc/sys/kernel/hostname; }
now_ns() { date +%s%N; }

# record FILE STATUS START_NS END_NS COMMAND...: one command for the manifest.
record() {
  local file=$1 status=$2 start=$3 end=$4 timed_out=false arg
  shift 4
  case $status in 124 | 137) timed_out=true ;; esac
  {
    printf 'C\t%s\t%s\t%s\t%s\n' "$file" "$status" "$(((end - start) / 1000000))" "$timed_out"
    for arg; do printf 'A\t%s\n' "$arg"; done
  } >>"$ZEB_WORK/.commands"
}

# bounded COMMAND...: runs the command with the time limit, in this process group (so that a signal
# to the tool's group reaches it).
bounded() { timeout --foreground -k 2 "$ZEB_COMMAND_TIMEOUT" "$@"; }

# collect DIR NAME COMMAND...: the command's output (and errors) into DIR/NAME, or a note when the
# command is not installed here.
collect() {
  local dir=$1 name=$2 start status=0
  shift 2
  if ! command -v "$1" >/dev/null 2>&1; then
    printf '%s is not installed on this host; nothing collected.\n' "$1" >"$dir/$name"
    record "$dir/$name" 127 0 0 "$@"
    return 0
  fi
  start=$(now_ns)
  bounded "$@" >"$dir/$name" 2>&1 || status=$?
  [ "$status" -eq 0 ] || printf '\n(exit status %s)\n' "$status" >>"$dir/$name"
  record "$dir/$name" "$status" "$start" "$(now_ns)" "$@"
}

# copy_file DIR NAME FILE: a copy of a readable regular file (not followed if it is a link).
copy_file() {
  if [ -f "$3" ] && [ ! -L "$3" ]; then
    collect "$1" "$2" head -c 16777216 -- "$3"
  else
    printf '%s is not present on this host.\n' "$3" >"$1/$2"
    record "$1/$2" 1 0 0 head -c 16777216 -- "$3"
  fi
}

# clear_stale FOLDER...: removes root-owned folders (never links) left behind by a run of a stand-in
# that has ended without cleaning up (killed outright); names end in .PID.RANDOM.
# With --empty only empty ones go: what remains in them may still be waiting for the daemon.
clear_stale() {
  local empty=no folder pid
  [ "${1:-}" = --empty ] && { empty=yes; shift; }
  for folder; do
    [ -d "$folder" ] && [ ! -L "$folder" ] && [ "$(stat -c %u -- "$folder")" = 0 ] || continue
    pid=${folder%.*}
    pid=${pid##*.}
    case $pid in '' | *[!0-9]*) continue ;; esac
    [ "$pid" != $$ ] && ! kill -0 "$pid" 2>/dev/null || continue
    if [ "$empty" = yes ]; then rmdir -- "$folder" 2>/dev/null || true; else rm -rf -- "$folder"; fi
  done
}

# workdir: a private directory for gathering, removed when the tool ends however it ends; a signal
# ends the tool (and so runs the cleanup). ZEB_OUTPUT, when set, is a folder of this run's that goes
# too unless the run announced its report (ZEB_DONE=yes); ZEB_PARTIAL is an archive being written.
workdir() {
  clear_stale /tmp/zeb-tool.*
  ZEB_WORK=$(mktemp -d "/tmp/zeb-tool.$$.XXXXXXXX")
  ZEB_OUTPUT=
  ZEB_DONE=no
  trap zeb_cleanup EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 141' PIPE
  trap 'exit 143' TERM
}
zeb_cleanup() {
  rm -rf -- "$ZEB_WORK"
  [ -z "${ZEB_PARTIAL:-}" ] || rm -f -- "$ZEB_PARTIAL"
  if [ -n "$ZEB_OUTPUT" ] && [ "$ZEB_DONE" != yes ]; then rm -rf -- "$ZEB_OUTPUT"; fi
}

# output_dir NAME: makes ZEB_OUTPUT a new folder /var/tmp/NAME.PID.XXXXXXXX for a report the daemon
# takes from there; empty ones that earlier runs left (the daemon moved their report out) are
# cleared first.
output_dir() {
  clear_stale --empty /var/tmp/"$1".*
  ZEB_OUTPUT=$(mktemp -d "/var/tmp/$1.$$.XXXXXXXX")
  chmod 755 "$ZEB_OUTPUT"
}

# finish_report DIR: redacts every file under DIR (and, where the system root's setting asks for it,
# replaces host names, addresses and user names) and writes DIR/manifest.json.
finish_report() {
  local obfuscate
  obfuscate=$(setting obfuscate no)
  [ -e "$ZEB_WORK/.commands" ] || : >"$ZEB_WORK/.commands"
  (cd -P -- "$1" && find . -type f -print0) |
    timeout --foreground -k 2 600 perl "$ZEB_LIB/redact.pl" --report "$1" --commands "$ZEB_WORK/.commands" --tool "$ZEB_TOOL" \
      --version "$ZEB_TOOLS_VERSION" --host "$(host)" --started "$ZEB_STARTED" --obfuscate "$obfuscate"
}

# redact_stream: standard input to standard output through the same redaction step.
redact_stream() { perl "$ZEB_LIB/redact.pl" --stream --obfuscate "$(setting obfuscate no)"; }

# write_as_owner OWNER FILE COMMAND...: the command's output as the new FILE, owned by OWNER (uid:gid,
# empty for root). The owner changes on the open file, never through its name.
write_as_owner() {
  local owner=$1 file=$2
  shift 2
  {
    "$@"
    if [ -n "$owner" ]; then chown -- "$owner" /proc/self/fd/1; fi
  } >"$file"
}

# place_tar SRCDIR DESTDIR NAME [OWNER]: packs SRCDIR's contents as DESTDIR/NAME (a .tar.gz), owned by
# OWNER (uid:gid) if given; the archive is written under a hidden temporary name in DESTDIR and then
# linked to NAME, which fails rather than replace anything already there. DESTDIR's owner may replace
# a file there at any time, so the temporary name is only made up (-u) and the file is created by the
# noclobber redirection itself, which fails rather than open whatever stands at that name.
place_tar() {
  local src=$1 dest=$2 name=$3 owner=${4:-} tmp
  tmp=$(mktemp -u -p "$dest" ".$name.XXXXXX")
  ZEB_PARTIAL=$tmp
  write_as_owner "$owner" "$tmp" tar -C "$src" -czf - .
  ln -T -- "$tmp" "$dest/$name"
  rm -f -- "$tmp"
  ZEB_PARTIAL=
}

# place_zip SRCDIR DESTDIR NAME: as place_tar, as a zip archive holding SRCDIR's contents.
place_zip() {
  local src=$1 dest=$2 name=$3 zipped part
  [ -n "${ZEB_WORK:-}" ] || workdir
  zipped=$(mktemp -u "$ZEB_WORK/zip.XXXXXXXX")
  (cd "$src" && zip -q -r "$zipped" .)
  part=$(mktemp -u -p "$dest" ".$name.XXXXXX")
  ZEB_PARTIAL=$part
  cat -- "$zipped" >"$part"
  ln -T -- "$part" "$dest/$name"
  rm -f -- "$part"
  ZEB_PARTIAL=
}

# place_dir SRCDIR DESTDIR NAME: copies SRCDIR to DESTDIR/NAME as a folder that appears in one step.
# DESTDIR's owner may swap the temporary folder for a link, so the copy happens only from inside it,
# once it is known to be the root-owned folder just made in DESTDIR.
place_dir() {
  local src=$1 dest=$2 name=$3 tmp destid
  destid=$(cd -P -- "$dest" && stat -c %d:%i .)
  tmp=.$name.$(mktemp -u XXXXXXXX)
  (
    cd -P -- "$dest"
    mkdir -m 700 -- "$tmp"
    cd -P -- "$tmp"
    if [ "$(stat -c %d:%i ..)" != "$destid" ] || [ "$(stat -c %u:%a .)" != "0:700" ]; then
      echo "$dest/$tmp was replaced while the report was written" >&2
      exit 1
    fi
    cp -R -- "$src/." .
    chmod 755 .
  )
  (cd -P -- "$dest" && mv -n -T -- "$tmp" "$name")
  if (cd -P -- "$dest" && [ -e "$tmp" ] || [ -L "$tmp" ]); then
    (cd -P -- "$dest" && rm -rf -- "$tmp")
    echo "$dest/$name already exists" >&2
    return 1
  fi
}

# as_user UID COMMAND...: runs the command as that user (its groups when it has an account), with
# no privilege left: for work in places the user controls.
as_user() {
  local uid=$1 entry
  shift
  if entry=$(getent passwd "$uid"); then
    setpriv --reuid="$uid" --regid="$(printf '%s' "$entry" | cut -d: -f4)" --init-groups -- "$@"
  else
    setpriv --reuid="$uid" --regid="$uid" --clear-groups -- "$@"
  fi
}

# The system snapshot most reports share.
collect_system() {
  local d=$1
  collect "$d" uname.txt uname -a
  collect "$d" uptime.txt uptime
  collect "$d" os-release.txt cat /etc/os-release
  collect "$d" processes.txt ps auxww
  collect "$d" memory.txt free -h
  collect "$d" disks.txt df -h
  collect "$d" mounts.txt findmnt -l
  collect "$d" block-devices.txt lsblk -a
  collect "$d" kernel-log.txt dmesg -T
  collect "$d" journal.txt journalctl -b --no-pager -n 5000
  collect "$d" failed-units.txt systemctl --failed --no-pager
  collect "$d" modules.txt lsmod
  copy_file "$d" cpuinfo.txt /proc/cpuinfo
  copy_file "$d" meminfo.txt /proc/meminfo
  # Hosts without a journal log through syslog; the system root's var/log leads to the host's logs.
  if [ -f "$ZEB_ROOT/var/log/syslog" ]; then
    collect "$d" syslog.txt tail -n 5000 -- "$ZEB_ROOT/var/log/syslog"
  fi
}

collect_network() {
  local d=$1
  collect "$d" addresses.txt ip -d addr
  collect "$d" routes.txt ip route show table all
  collect "$d" routes6.txt ip -6 route
  collect "$d" neighbours.txt ip neigh
  collect "$d" links.txt ip -s link
  collect "$d" sockets.txt ss -s
  collect "$d" listening.txt ss -tulpn
  copy_file "$d" resolv.conf /etc/resolv.conf
  copy_file "$d" hosts /etc/hosts
  collect "$d" network-journal.txt journalctl --no-pager -n 1000 -u NetworkManager -u systemd-networkd -u systemd-resolved
}

collect_wireless() {
  local d=$1
  collect "$d" iw-devices.txt iw dev
  collect "$d" iw-regulatory.txt iw reg get
  collect "$d" rfkill.txt rfkill list
  collect "$d" nmcli-wifi.txt nmcli -f all dev wifi list
  copy_file "$d" proc-net-wireless.txt /proc/net/wireless
  collect "$d" wireless-journal.txt journalctl --no-pager -n 1000 -u wpa_supplicant -u iwd
}
