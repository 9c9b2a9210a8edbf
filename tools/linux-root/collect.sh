# Shared by the Linux stand-ins for the operating system's diagnostic tools. They run as root, so:
# every file is created new (noclobber, mktemp) and never through a link another user could plant,
# every command has a time limit, and reports appear under their final name whole or not at all.
set -eu
set -o noclobber
umask 077
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C

# How long any one command may run.
ZEB_COMMAND_TIMEOUT=${ZEB_COMMAND_TIMEOUT:-20}

stamp() { date +%Y.%m.%d_%H-%M-%S; }
host() { hostname 2>/dev/null || cat /proc/sys/kernel/hostname; }

# collect DIR NAME COMMAND...: the command's output (and errors) into DIR/NAME, or a note when the
# command is not installed here.
collect() {
  local dir=$1 name=$2
  shift 2
  if ! command -v "$1" >/dev/null 2>&1; then
    printf '%s is not installed on this host; nothing collected.\n' "$1" >"$dir/$name"
    return 0
  fi
  timeout -k 2 "$ZEB_COMMAND_TIMEOUT" "$@" >"$dir/$name" 2>&1 || printf '\n(exit status %s)\n' "$?" >>"$dir/$name"
}

# copy_file DIR NAME FILE: a copy of a readable regular file (not followed if it is a link).
copy_file() {
  if [ -f "$3" ] && [ ! -L "$3" ]; then
    timeout -k 2 "$ZEB_COMMAND_TIMEOUT" head -c 16777216 -- "$3" >"$1/$2" 2>&1 || true
  else
    printf '%s is not present on this host.\n' "$3" >"$1/$2"
  fi
}

# workdir: a private directory for gathering, removed when the tool ends.
workdir() {
  ZEB_WORK=$(mktemp -d /tmp/zeb-tool.XXXXXXXX)
  trap 'rm -rf -- "$ZEB_WORK"' EXIT
}

# place_tar SRCDIR DESTDIR NAME: packs SRCDIR's contents as DESTDIR/NAME (a .tar.gz); the archive is
# written under a hidden temporary name in DESTDIR and then linked to NAME, which fails rather than
# replace anything already there. DESTDIR's owner may replace a file there at any time, so the
# temporary name is only made up (-u) and the file is created by the noclobber redirection itself,
# which fails rather than open whatever stands at that name.
place_tar() {
  local src=$1 dest=$2 name=$3 tmp
  tmp=$(mktemp -u -p "$dest" ".$name.XXXXXX")
  tar -C "$src" -czf - . >"$tmp"
  ln -T -- "$tmp" "$dest/$name"
  rm -f -- "$tmp"
}

# place_zip SRCDIR DESTDIR NAME: as place_tar, as a zip archive holding SRCDIR's contents.
place_zip() {
  local src=$1 dest=$2 name=$3 tmp
  tmp=$(mktemp -d /tmp/zeb-zip.XXXXXXXX)
  (cd "$src" && zip -q -r "$tmp/out.zip" .)
  local part
  part=$(mktemp -u -p "$dest" ".$name.XXXXXX")
  cat -- "$tmp/out.zip" >"$part"
  rm -rf -- "$tmp"
  ln -T -- "$part" "$dest/$name"
  rm -f -- "$part"
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
