#!/usr/bin/env bash
# The version text: cmake/WriteVersion.cmake against throw-away git
# checkouts (the release's tag gives the plain number; anything else gets
# `git describe` after a '+'; an unchanged text leaves the file untouched,
# so nothing recompiles), then the built programs' --version and the
# desktop program's --help and --version without any display.
# Usage: tests/packaging/version_test.sh SOURCE_DIR VERSION PROGRAM...
set -uo pipefail
source_dir=$1
version=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

write() {  # write CHECKOUT: prints the version text the script writes for it
  cmake -DVERSION=1.2.3 -DSOURCE_DIR="$1" -DINPUT="$source_dir/src/version/version.cpp.in" \
        -DOUTPUT="$work/version.cpp" -P "$source_dir/cmake/WriteVersion.cmake" >/dev/null &&
    sed -n 's/.*return "\(.*\)";.*/\1/p' "$work/version.cpp"
}
repo=$work/repo
mkdir -p "$repo" "$work/plain"
g() { git -C "$repo" -c user.name=t -c user.email=t@t -c commit.gpgsign=false "$@" >/dev/null 2>&1; }
g init -q
echo a >"$repo/f"
g add f
g commit -qm one
hash=$(git -C "$repo" rev-parse --short HEAD)

# step|checkout|expected (@H@: the first commit's short hash)
while IFS='|' read -r step dir expected; do
  [ -z "$step" ] && continue
  case $step in
    none) ;;
    tag) g tag "$expected" && expected=${expected#v} ;;
    othertag) g tag v1.2.2 ;;
    commit) echo b >>"$repo/f" && g commit -qam two ;;
    edit) echo c >>"$repo/f" ;;
  esac
  expected=${expected//@H@/$hash}
  got=$(write "$dir")
  if [[ $expected == *'*' ]]; then
    [[ $got == ${expected%\*}* ]] || { echo "FAIL $step: '$got', expected '$expected'"; fail=1; }
  elif [ "$got" != "$expected" ]; then
    echo "FAIL $step: '$got', expected '$expected'"; fail=1
  fi
done <<CASES
none|$work/plain|1.2.3
none|$repo|1.2.3+@H@
tag|$repo|v1.2.3
edit|$repo|1.2.3+v1.2.3-dirty
commit|$repo|1.2.3+v1.2.3-1-g*
CASES
g -c advice.detachedHead=false checkout -q "$hash"
g tag -d v1.2.3
g tag 1.2.3
[ "$(write "$repo")" = 1.2.3 ] || { echo "FAIL: a tag without v is the release too"; fail=1; }
g tag -d 1.2.3
g tag v1.2.2
[ "$(write "$repo")" = "1.2.3+v1.2.2" ] || { echo "FAIL: another release's tag: '$(write "$repo")'"; fail=1; }

# Unchanged text: the file keeps its time stamp.
write "$repo" >/dev/null
touch -d '2000-01-01' "$work/version.cpp"
write "$repo" >/dev/null
[ "$(stat -c %Y "$work/version.cpp")" = "$(date -d 2000-01-01 +%s)" ] ||
  { echo "FAIL: an unchanged version file was rewritten"; fail=1; }

# The programs: "<name> <version>" or "<name> <version>+<describe>", all alike.
texts=()
for program in "$@"; do
  name=$(basename "$program")
  out=$("$program" --version 2>&1) || { echo "FAIL: $name --version: $out"; fail=1; continue; }
  [[ $out =~ ^$name\ ${version//./\\.}(\+[0-9A-Za-z.-]+)?$ ]] ||
    { echo "FAIL: $name --version says '$out'"; fail=1; }
  texts+=("${out#"$name" }")
done
[ "$(printf '%s\n' "${texts[@]}" | sort -u | wc -l)" -le 1 ] ||
  { echo "FAIL: the programs disagree: ${texts[*]}"; fail=1; }

# quelmar answers --help and --version before Qt starts: with no display
# and the X11 platform forced, Qt itself would abort.
for program in "$@"; do
  [ "$(basename "$program")" = quelmar ] || continue
  for arg in --help --version; do
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$program" "$arg" 2>&1)
    rc=$?
    [ $rc -eq 0 ] || { echo "FAIL: quelmar $arg exits $rc: $out"; fail=1; }
    case $arg in
      --help) grep -q '^Usage: quelmar \[--help | --version\]$' <<<"$out" || { echo "FAIL: quelmar --help: $out"; fail=1; } ;;
      --version) [[ $out == "quelmar $version"* ]] || { echo "FAIL: quelmar --version: $out"; fail=1; } ;;
    esac
  done
done
[ $fail -eq 0 ] && echo "version: OK"
exit $fail
