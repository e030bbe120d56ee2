#!/usr/bin/env bash
# check_layers.sh SOURCE-DIR: fails when a folder of src/ includes a header of a folder that
# layers.txt puts after it, or when a folder of src/ is missing from layers.txt.
set -euo pipefail
src=${1:?usage: check_layers.sh SOURCE-DIR}/src
here=$(cd "$(dirname "$0")" && pwd)

declare -A rank
n=0
while read -r folder; do
  [[ -z "$folder" || "$folder" == \#* ]] && continue
  rank[$folder]=$((n++))
done <"$here/layers.txt"

status=0
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  if [ -z "${rank[$folder]+set}" ]; then
    echo "src/$folder/: not in layers.txt; give it its place among the folders"
    status=1
    continue
  fi
  while IFS=: read -r file line used; do
    [ -n "${rank[$used]+set}" ] || continue
    if [ "${rank[$used]}" -gt "${rank[$folder]}" ]; then
      echo "src/$folder/$(basename "$file"):$line: includes $used/, which comes after $folder/"
      status=1
    fi
  done < <(grep -HnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z]+/' "$dir"*.h "$dir"*.cpp 2>/dev/null |
    sed -E 's/^([^:]*):([0-9]+):.*"([a-z]+)\/$/\1:\2:\3/' || true)
done
exit "$status"
