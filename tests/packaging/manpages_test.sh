#!/bin/bash
# Every option and command that a program's --help names is in its manual page.
#   manpages_test.sh MANDIR PROGRAM:PAGE...   (PAGE relative to MANDIR)
set -u
mandir=$1
shift
missing=0
checked=0
for pair in "$@"; do
  program=${pair%%:*}
  page=$mandir/${pair#*:}
  help=$("$program" --help 2>&1)
  [ -n "$help" ] || { echo "FAIL: $program --help printed nothing" >&2; missing=$((missing + 1)); continue; }
  # The page as plain text: font changes dropped, groff's \- read as -.
  text=$(sed -e 's/\\f[BIRP]//g' -e 's/\\f(..//g' -e 's/\\-/-/g' -e 's/\\&//g' "$page")
  # Options: words that begin with - or -- after a space, a bracket or a comma.
  options=$(printf '%s\n' "$help" | grep -oE '(^|[][ ,|])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[][ ,|]//' | sort -u)
  # Commands: the first word of each line of a "Commands:" section, and the word after the
  # program's name on a usage line ("usage: prog sign ...").
  name=$(basename "$program")
  commands=$(printf '%s\n' "$help" | awk -v name="$name" '
    /^Commands:/ { in_commands = 1; next }
    /^[^ ]/ || /^$/ { in_commands = 0 }
    in_commands && /^  [a-z]/ { print $1 }
    ($1 == "usage:" && $2 == name) || ($1 == name) { if ($2 ~ /^[a-z][a-z-]*$/) print $2 }
    $1 == "usage:" && $2 == name { next }' | sort -u)
  for word in $options $commands; do
    checked=$((checked + 1))
    pattern="(^|[^A-Za-z0-9-])${word}([^A-Za-z0-9-]|\$)"
    if ! [[ $text =~ $pattern ]]; then
      echo "FAIL: $name --help names $word, ${pair#*:} does not" >&2
      missing=$((missing + 1))
    fi
  done
done
echo "$checked words checked, $missing missing"
[ "$missing" -eq 0 ] && [ "$checked" -gt 0 ]
