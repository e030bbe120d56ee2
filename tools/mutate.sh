#!/usr/bin/env bash
# Mutation test: puts one small fault at a time into one layer's code, rebuilds only that layer's
# test program, runs it, and puts the code back. A fault no test notices "survives". The faults go
# into a copy of the tree (a git worktree under BUILD/mutate/tree holding the working tree's
# files as they are now, changes not yet committed included), never into the working tree.
#
#   tools/mutate.sh [--seed N] [--mutants N] [--build DIR] [--timeout SECONDS] [--jobs N]
#                   [--list] [--only ID[,ID...]] [LAYER...]
#
# LAYER: sys formats engines convert link app history records check seal line cli ui sim (default: all, in this order).
# Faults: a flipped comparison (< into >=, == into != ...), a negated if/while condition, an
# integer constant one up or one down, a deleted statement, true and false swapped. Each layer's
# candidates are ranked by a hash of the seed, the file, the line's text and the fault, and the
# first N that compile are run; a line's number does not enter, so the same seed picks the same
# faults in code that did not change. Only a layer's .cpp files are mutated (the programs' main
# files left out), and only its own test program judges: tests_LAYER, or tests_sim.
# --list prints the sample without building; --only runs just the mutants with those ids.
# Results: one line per mutant as it ends, then the kill rate per layer and the survivors;
# BUILD/mutate/results.tsv keeps them. The tree is put back even when the run is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seed=1
per_layer=30
build=build-mutate
timeout_s=
jobs=2
list_only=0
only=
layers=()
all_layers="sys formats engines convert link app history records check seal line cli ui sim"

usage() {
  sed -n '4,5p' "$0" | sed 's/^# *//' >&2
  echo "layers: $all_layers" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seed=${2:?}; shift 2 ;;
    --mutants) per_layer=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    --timeout) timeout_s=${2:?}; shift 2 ;;
    --jobs) jobs=${2:?}; shift 2 ;;
    --list) list_only=1; shift ;;
    --only) only=,${2:?},; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "mutate.sh: unknown option $1" >&2; usage ;;
    *)
      [[ " $all_layers " == *" $1 "* ]] || { echo "mutate.sh: unknown layer $1" >&2; usage; }
      layers+=("$1"); shift ;;
  esac
done
[[ $seed =~ ^[0-9]+$ && $per_layer =~ ^[0-9]+$ && $jobs =~ ^[1-9][0-9]*$ ]] ||
  { echo "mutate.sh: --seed, --mutants and --jobs take whole numbers" >&2; usage; }
[ -z "$timeout_s" ] || [[ $timeout_s =~ ^[1-9][0-9]*$ ]] ||
  { echo "mutate.sh: --timeout takes whole seconds" >&2; usage; }
[ ${#layers[@]} -gt 0 ] || read -r -a layers <<<"$all_layers"
case $build in /*) ;; *) build=$root/$build ;; esac

state=$build/mutate
tree=$state/tree          # the copy that is mutated
backup=$state/original    # the file being mutated, as it was
journal=$state/mutating   # its path while a mutant is in place

# ---- putting the tree back ----

child=
restore() {
  if [ -f "$journal" ]; then
    local file
    file=$(cat "$journal")
    # Copied over, not moved: the file gets a new time, so the next build recompiles it.
    cat "$backup" >"$file"
    rm -f "$journal" "$backup"
  fi
}
on_signal() {
  trap '' INT TERM HUP
  [ -n "$child" ] && kill -TERM -- "-$child" 2>/dev/null
  restore
  echo "mutate.sh: interrupted; the tree is as it was" >&2
  exit "$1"
}
# Only a run that mutates puts the tree back: a --list beside it would undo its mutant.
if [ "$list_only" = 0 ]; then
  trap restore EXIT
  trap 'on_signal 130' INT
  trap 'on_signal 143' TERM
  trap 'on_signal 129' HUP
fi
set -m  # each child in a process group of its own, so that a signal ends it whole

# Runs a command in the background, so that a signal reaches the trap at once.
# Without the lock's descriptor, and with whatever it left behind (a test killed at its time
# limit leaves the simulators it started) ended with it.
run() {
  "$@" 9>&- &
  child=$!
  local rc=0
  wait "$child" || rc=$?
  kill -KILL -- "-$child" 2>/dev/null || true
  child=
  return "$rc"
}

# The copy: a worktree at HEAD, then the working tree's changed, new and deleted files over it.
prepare_tree() {
  [ -e "$tree/.git" ] || git worktree add -q --detach -f "$tree" HEAD
  git -C "$tree" reset -q --hard "$(git rev-parse HEAD)"
  git -C "$tree" clean -q -f -d
  { git diff -z --name-only --diff-filter=d HEAD; git ls-files -z -o --exclude-standard; } |
    tar --null -T - -cf - | tar -C "$tree" -xf -
  git diff -z --name-only --diff-filter=D HEAD | (cd "$tree" && xargs -0 -r rm -f --)
}

# ---- the candidates ----

layer_files() {
  case $1 in
    sim) ls sim/*.cpp | grep -Ev '/(sim_main|demo_gen_main)\.cpp$' ;;
    *) ls src/"$1"/*.cpp ;;
  esac
}

test_target() {
  # grep reads to the end: with -q it could stop early, and the pipe's SIGPIPE fail the test.
  if [ "$1" = records ] &&
    ! ninja -C "$build" -t targets all 2>/dev/null | grep '^tests_records:' >/dev/null; then
    echo tests_cli  # before tests/records/ the record's tests lived with the batch run's
  else
    echo "tests_$1"
  fi
}

# Every candidate of the files given, one per line, tab-separated:
#   rank  id  file  line  column  class  original  replacement
# Comments, string and character literals and preprocessor lines are never mutated.
candidates() {
  awk -v seed="$seed" '
    function hash(s,    h, i) {
      h = 5381
      for (i = 1; i <= length(s); i++) h = (h * 33 + ord[substr(s, i, 1)]) % 4294967291
      h = (h * 1000003 + 7) % 4294967291
      return (h * 1000003 + 11) % 4294967291
    }
    function emit(col, class, orig, repl,    key, n) {
      key = FILENAME SUBSEP trimmed SUBSEP class SUBSEP orig SUBSEP repl
      n = ++seen[key]
      h = hash(seed "|" FILENAME "|" trimmed "|" class "|" orig "|" repl "|" n)
      printf "%010.0f\t%08x\t%s\t%d\t%d\t%s\t%s\t%s\n", h, h, FILENAME, FNR, col, class, orig, repl
    }
    # The line with comments and literals blanked out, columns kept.
    function blank(line,    out, i, c, n, q, k) {
      out = ""; n = length(line)
      for (i = 1; i <= n; i++) {
        c = substr(line, i, 1)
        if (raw_end != "") {  # inside a raw string, maybe from an earlier line
          k = index(substr(line, i), raw_end)
          if (!k) { while (i <= n) { out = out " "; i++ } break }
          for (k = i + k + length(raw_end) - 1; i < k; i++) out = out " "
          raw_end = ""; i--
          continue
        }
        if (c == "R" && substr(line, i + 1, 1) == "\"" && substr(line, i - 1, 1) !~ /[A-Za-z0-9_]/) {
          k = index(substr(line, i + 2), "(")
          if (k) {
            raw_end = ")" substr(line, i + 2, k - 1) "\""
            for (k = i + 2 + k; i < k; i++) out = out " "
            i--
            continue
          }
        }
        if (in_comment) {
          if (c == "*" && substr(line, i + 1, 1) == "/") { in_comment = 0; out = out "  "; i++ }
          else out = out " "
          continue
        }
        if (c == "/" && substr(line, i + 1, 1) == "/") { while (i <= n) { out = out " "; i++ } break }
        if (c == "/" && substr(line, i + 1, 1) == "*") { in_comment = 1; out = out "  "; i++; continue }
        if (c == "\"" || c == "\047") {
          q = c; out = out c
          for (i++; i <= n; i++) {
            c = substr(line, i, 1)
            if (c == "\\") { out = out "  "; i++; continue }
            if (c == q) break
            out = out " "
          }
          out = out q
          continue
        }
        out = out c
      }
      return out
    }
    # Position of the parenthesis closing the one at `open`, or 0 when not on this line.
    function closing(s, open,    depth, i, c) {
      depth = 0
      for (i = open; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "(") depth++
        else if (c == ")" && --depth == 0) return i
      }
      return 0
    }
    function balanced(s) {
      return gsub(/\(/, "(", s) == gsub(/\)/, ")", s)
    }
    function comparisons(code,    rest, off, op) {
      rest = code; off = 0
      while (match(rest, / (==|!=|<=|>=|<|>) /)) {
        op = substr(rest, RSTART + 1, RLENGTH - 2)
        emit(off + RSTART + 1, "flip", op, flip[op])
        off += RSTART + RLENGTH - 2; rest = substr(rest, RSTART + RLENGTH - 1)
      }
    }
    function conditions(code, line,    rest, off, open, end_, cond) {
      rest = code; off = 0
      while (match(rest, /(^|[^A-Za-z0-9_])(if|while) \(/)) {
        open = off + RSTART + RLENGTH - 1
        off += RSTART + RLENGTH - 1; rest = substr(rest, RSTART + RLENGTH)
        end_ = closing(code, open)
        if (!end_) continue
        cond = substr(line, open, end_ - open + 1)
        # Declarations and init-statements cannot be negated as they stand.
        if (substr(code, open, end_ - open + 1) ~ /;|^\((auto|const|int|bool|char|size_t|std::)[ :&*]/) continue
        emit(open, "negate", cond, "(!" cond ")")
      }
    }
    function constants(code, line,    rest, off, lit, val, start, k) {
      if (code ~ /(^|[^A-Za-z0-9_])case /) return
      rest = code; off = 0
      while (match(rest, /(^|[^A-Za-z0-9_.\047])(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*($|[^A-Za-z0-9_.\047])/)) {
        lit = substr(rest, RSTART, RLENGTH)
        sub(/^[^0-9]/, "", lit); sub(/[^0-9A-Fa-fxXuUlL]$/, "", lit); sub(/[uUlL]+$/, "", lit)
        start = off + RSTART + (substr(rest, RSTART, 1) ~ /[0-9]/ ? 0 : 1)
        if (lit ~ /^0[xX]/) {
          val = 0
          for (k = 3; k <= length(lit); k++) val = val * 16 + index("0123456789abcdef", tolower(substr(lit, k, 1))) - 1
          emit(start, "constant", lit, sprintf("0x%X", val + 1))
          if (val > 0) emit(start, "constant", lit, sprintf("0x%X", val - 1))
        } else if (lit !~ /^0[0-9]/) {  # octal: rare enough to leave alone
          emit(start, "constant", lit, sprintf("%.0f", lit + 1))
          if (lit + 0 > 0) emit(start, "constant", lit, sprintf("%.0f", lit - 1))
        }
        off = start + length(lit) - 1; rest = substr(code, off + 1)
      }
    }
    function statement(code, line, previous,    body, col) {
      body = code; sub(/^[ \t]+/, "", body); sub(/[ \t]+$/, "", body)
      if (body !~ /;$/ || !balanced(body)) return
      if (previous !~ /[;{}:]$/ && previous !~ /(^|[^A-Za-z0-9_])else$/) return
      if (body ~ /^(return|break|continue|goto|using|typedef|throw|delete|case|default)([^A-Za-z0-9_]|$)/) return
      if (body !~ /^(\(void\)!?)?(\*|\+\+|--)?[A-Za-z_][A-Za-z0-9_:]*((\.|->)[A-Za-z_][A-Za-z0-9_]*|\[[^]]*\])*(\+\+|--)? *(\(|=[^=]|[-+*\/|&^]=|<<=|>>=|<<|;$)/) return
      if (body ~ /^[A-Za-z_][A-Za-z0-9_:]*;$/) return  # a bare name: nothing to delete
      if (body ~ /\.reserve\(/) return  # only ever saves time
      if (body ~ /= *(delete|default);$/) return  # a declaration
      col = index(code, substr(body, 1, 1))
      emit(col, "delete", substr(line, col, length(body)), ";")
    }
    function booleans(code,    rest, off, w) {
      rest = code; off = 0
      while (match(rest, /(^|[^A-Za-z0-9_])(true|false)($|[^A-Za-z0-9_])/)) {
        w = substr(rest, RSTART, RLENGTH)
        lead = (w ~ /^[tf]/) ? 0 : 1
        w = (index(w, "true") ? "true" : "false")
        emit(off + RSTART + lead, "bool", w, w == "true" ? "false" : "true")
        off += RSTART + lead + length(w) - 1; rest = substr(code, off + 1)
      }
    }
    BEGIN {
      for (i = 32; i < 127; i++) ord[sprintf("%c", i)] = i
      flip["=="] = "!="; flip["!="] = "=="; flip["<"] = ">="; flip[">"] = "<="
      flip["<="] = ">"; flip[">="] = "<"
    }
    FNR == 1 { in_comment = 0; raw_end = ""; previous = "{" }
    {
      code = blank($0)
      trimmed = $0; sub(/^[ \t]+/, "", trimmed)
      if (code ~ /^[ \t]*#/ || code ~ /static_assert|template *</) next
      comparisons(code)
      conditions(code, $0)
      constants(code, $0)
      statement(code, $0, previous)
      booleans(code)
      t = code; sub(/[ \t]+$/, "", t)
      if (t ~ /[^ \t]/) previous = t
    }
  ' "$@"
}

# The sample of a layer: the first candidates by rank, --mutants of them, in rank order.
sample() {
  candidates $(layer_files "$1") | sort -k1,1n -k2,2
}

# Puts candidate (file, line, column, original, replacement) in place; false when the text at
# that place is not the original (the tree changed since the sample was drawn).
apply() {
  # Through the environment: awk -v would read the backslashes of a C string as escapes.
  L=$2 C=$3 O=$4 R=$5 awk '
    BEGIN { L = ENVIRON["L"] + 0; C = ENVIRON["C"] + 0; O = ENVIRON["O"]; R = ENVIRON["R"] }
    FNR == L {
      if (substr($0, C, length(O)) != O) { bad = 1; exit }
      $0 = substr($0, 1, C - 1) R substr($0, C + length(O))
    }
    { print }
    END { exit bad ? 3 : 0 }
  ' "$backup" >"$1"
}

# ---- running ----

# All in one function, so that bash has read the whole of it before it runs: a run takes hours,
# and the script may be edited meanwhile.
main() {

  mkdir -p "$state"
  results=$state/results.tsv
  if [ "$list_only" = 0 ]; then
    exec 9>"$state/lock"
    flock -n 9 || { echo "mutate.sh: another run is mutating this tree" >&2; exit 1; }
    prepare_tree
    cd "$tree"
    restore  # a run killed outright leaves its journal
    : >"$results"
    # A build made from another source folder (the working tree, before copies) starts anew.
    grep -qs "^CMAKE_HOME_DIRECTORY:INTERNAL=$tree\$" "$build/CMakeCache.txt" || rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    [ -f "$build/CMakeCache.txt" ] || {
      launcher=()
      command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
      cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
    }
  fi
  export QT_QPA_PLATFORM=offscreen

  declare -A killed survived stillborn timed
  for layer in "${layers[@]}"; do
    mapfile -t picks < <(sample "$layer")
    if [ "$list_only" = 1 ]; then
      n=0
      for pick in "${picks[@]}"; do
        IFS=$'\t' read -r _ id file line col class orig repl <<<"$pick"
        [ -z "$only" ] || [[ $only == *",$id,"* ]] || continue
        printf '%s\t%s\t%s:%s:%s\t%s\t%s -> %s\n' "$layer" "$id" "$file" "$line" "$col" "$class" \
          "$orig" "$repl"
        n=$((n + 1))
        [ "$n" -lt "$per_layer" ] || break
      done
      continue
    fi
    target=$(test_target "$layer")
    program=$build/$target
    echo "== $layer: ${#picks[@]} candidates, $target" >&2
    if ! run cmake --build "$build" -j "$jobs" --target "$target" >"$state/build.log" 2>&1; then
      echo "mutate.sh: $target does not build without a mutant; see $state/build.log" >&2
      exit 1
    fi
    start=$(date +%s)
    if ! run env -C "$build" timeout -k 10 1800 "$program" --gtest_brief=1 >"$state/clean.log" 2>&1; then
      echo "mutate.sh: $target fails without a mutant; see $state/clean.log" >&2
      exit 1
    fi
    limit=${timeout_s:-$(( ($(date +%s) - start) * 4 + 30 ))}
    killed[$layer]=0 survived[$layer]=0 stillborn[$layer]=0 timed[$layer]=0
    done_n=0
    for pick in "${picks[@]}"; do
      [ "$done_n" -lt "$per_layer" ] || break
      IFS=$'\t' read -r _ id file line col class orig repl <<<"$pick"
      [ -z "$only" ] || [[ $only == *",$id,"* ]] || continue
      cp "$file" "$backup"
      echo "$file" >"$journal"
      if ! apply "$file" "$line" "$col" "$orig" "$repl"; then
        restore
        echo "mutate.sh: $file:$line no longer reads '$orig'" >&2
        exit 1
      fi
      verdict=
      if ! run cmake --build "$build" -j "$jobs" --target "$target" >"$state/build.log" 2>&1; then
        verdict=stillborn
      else
        rc=0
        run env -C "$build" timeout -k 10 "$limit" "$program" --gtest_brief=1 --gtest_fail_fast \
          >"$state/test.log" 2>&1 || rc=$?
        if [ "$rc" = 0 ]; then verdict=survived
        elif [ "$rc" = 124 ] || [ "$rc" = 137 ]; then verdict=timeout
        else verdict=killed
        fi
      fi
      restore
      case $verdict in
        killed) killed[$layer]=$((killed[$layer] + 1)) ;;
        timeout) timed[$layer]=$((timed[$layer] + 1)) ;;
        survived) survived[$layer]=$((survived[$layer] + 1)) ;;
        stillborn) stillborn[$layer]=$((stillborn[$layer] + 1)); continue ;;
      esac
      done_n=$((done_n + 1))
      printf '%s\t%s\t%s\t%s:%s\t%s\t%s -> %s\n' "$layer" "$verdict" "$id" "$file" "$line" "$class" \
        "$orig" "$repl" | tee -a "$results"
    done
    # Leave the build as the tree is.
    run cmake --build "$build" -j "$jobs" --target "$target" >"$state/build.log" 2>&1 || true
  done
  [ "$list_only" = 1 ] && exit 0

  echo
  printf '%-8s %8s %7s %8s %9s %10s %10s\n' layer mutants killed timeout survived stillborn "kill rate"
  for layer in "${layers[@]}"; do
    k=${killed[$layer]:-0} t=${timed[$layer]:-0} s=${survived[$layer]:-0}
    n=$((k + t + s))
    rate=-
    [ "$n" -gt 0 ] && rate="$(( (100 * (k + t) + n / 2) / n )) %"
    printf '%-8s %8d %7d %8d %9d %10d %10s\n' "$layer" "$n" "$k" "$t" "$s" "${stillborn[$layer]:-0}" "$rate"
  done
  if grep -q $'\tsurvived\t' "$results"; then
    echo
    echo "survivors:"
    while IFS=$'\t' read -r layer verdict id place class change; do
      [ "$verdict" = survived ] || continue
      file=${place%:*} line=${place##*:}
      printf '  %s  %s  %s  %s\n      %s\n' "$id" "$place" "$class" "$change" \
        "$(sed -n "${line}s/^[[:space:]]*//p" "$file")"
    done <"$results"
  fi
}

main; exit
