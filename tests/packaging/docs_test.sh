#!/bin/bash
# Every ```sh example in the README and docs/ runs as written (from the repository root, with the
# build's programs on PATH).
set -u
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$build" "$work/build"
export PATH="$build/client:$build/tools/zeb-codesign:$build/helper:$build/transfer:$PATH"
passed=0
failed=0
for doc in "$src/README.md" "$src"/docs/*.md; do
  awk -v out="$work/ex" '
    /^```sh$/ { n++; f = sprintf("%s-%d.sh", out, n); inblock = 1; next }
    /^```/ { inblock = 0; next }
    inblock { print > f }' "$doc"
  for ex in "$work"/ex-*.sh; do
    [ -e "$ex" ] || continue
    if (cd "$work" && timeout 120 bash -e "$ex") >"$work/out" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "FAIL: example in ${doc#"$src"/}:" >&2
      cat "$ex" "$work/out" >&2
    fi
    rm -f "$ex"
  done
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
