#!/usr/bin/env bash
# check_calls.sh SOURCE-DIR: fails when code outside src/sys and src/link makes a call that
# calls.txt lists, unless allowed.txt names that file and that call.
set -euo pipefail
src=${1:?usage: check_calls.sh SOURCE-DIR}/src
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What is no call is blanked first, keeping line numbers: comments, #include lines (the use
# is what counts) and QFile's conversions of names, which touch no file.
(cd "$src" && find . -path ./sys -prune -o -path ./link -prune -o \
  \( -name '*.cpp' -o -name '*.h' \) -print) | while read -r f; do
  mkdir -p "$work/$(dirname "$f")"
  sed -e 's#//.*$##' -e 's/^[[:space:]]*#[[:space:]]*include.*$//' \
    -e 's/QFile::\(en\|de\)codeName/NameCodec/g' "$src/$f" >"$work/$f"
done

allowed() {  # FILE NAME
  grep -v '^#' "$here/allowed.txt" | awk -v f="$1" -v n="$2" '$1 == f && $2 == n { hit = 1 }
    END { exit !hit }'
}

status=0
while read -r name regex; do
  [[ -z "$name" || "$name" == \#* ]] && continue
  while IFS=: read -r file line text; do
    file=src/${file#./}
    allowed "$file" "$name" && continue
    echo "$file:$line: $name outside src/sys: ${text#"${text%%[![:space:]]*}"}"
    status=1
  done < <(cd "$work" && grep -rnE "$regex" . || true)
done <"$here/calls.txt"

if [ "$status" -ne 0 ]; then
  echo "Put the call behind src/sys, or name the file and the call in allowed.txt with a reason." >&2
fi
exit "$status"
