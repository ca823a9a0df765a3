#!/usr/bin/env bash
# Checks the Windows zip: its name, its file list (quelmar.exe,
# quelmar-cli.exe, README.txt, LICENSE.txt, CHANGELOG.txt, libpq.dll with
# exactly the DLLs it loads and their licences, nothing else), Windows line
# ends in the text files, the version information resource of each
# program, and that every DLL a shipped DLL loads is shipped or Windows' own.
# Usage: scripts/check-zip.sh ZIP
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
zip=$(realpath "$1")

fail=0
bad() { echo "check-zip: $*" >&2; fail=1; }

version=$(sed -n 's/^project(quelmar VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "check-zip: no version in CMakeLists.txt" >&2; exit 1; }
top=quelmar-$version-win64
[ "$(basename "$zip")" = "$top.zip" ] || bad "file name $(basename "$zip")"

programs=(quelmar.exe quelmar-cli.exe)
dlls=(libpq.dll libssl-3-x64.dll libcrypto-3-x64.dll libintl-9.dll libiconv-2.dll
      libwinpthread-1.dll)
texts=(README.txt LICENSE.txt CHANGELOG.txt libpq-licenses.txt)
expected=$(printf "$top/%s\n" "${programs[@]}" "${dlls[@]}" "${texts[@]}" | sort)
actual=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
if [ "$actual" != "$expected" ]; then
  bad "file list differs (- expected, + in the zip):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2 || true
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && cmake -E tar xf "$zip")
for f in "${texts[@]}"; do
  path=$tmp/$top/$f
  [ -s "$path" ] || { bad "$f missing or empty"; continue; }
  lines=$(wc -l <"$path")
  crlf=$(grep -c $'\r$' "$path" || true)
  [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || bad "$f: $crlf of $lines lines end in CRLF"
  ! grep -q $'\r\r' "$path" || bad "$f has doubled CRs"
done
grep -q '^MIT License' "$tmp/$top/LICENSE.txt" || bad "LICENSE.txt is not the MIT licence"
grep -q "^## $version " "$tmp/$top/CHANGELOG.txt" || bad "CHANGELOG.txt has no $version entry"

# VERSIONINFO: the strings Explorer shows, read from the resource section.
for exe in "${programs[@]}"; do
  path=$tmp/$top/$exe
  [ -f "$path" ] || continue
  file "$path" | grep -q 'PE32+ executable.*x86-64' || bad "$exe is not a 64-bit Windows program"
  x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$path" "$tmp/rsrc" 2>/dev/null ||
    { bad "$exe has no resource section"; continue; }
  strings -el "$tmp/rsrc" >"$tmp/strings"
  for pair in "ProductName=Quelmar" "FileVersion=$version" "ProductVersion=$version" \
              "OriginalFilename=$exe"; do
    grep -A1 -x "${pair%%=*}" "$tmp/strings" | tail -1 | grep -qx "${pair#*=}" ||
      bad "$exe: ${pair%%=*} is not ${pair#*=}"
  done
  [ -n "$(grep -A1 -x FileDescription "$tmp/strings" | tail -1)" ] || bad "$exe has no FileDescription"
done

# The DLLs libpq.dll loads, followed from DLL to DLL: each one shipped, or
# part of Windows (the VC++ runtime's VCRUNTIME140.dll and the UCRT's
# api-ms-win-crt-* included: docs/line.md says so); and no shipped DLL that
# nothing loads.
windows_dll='^(kernel32|advapi32|ws2_32|secur32|wldap32|shell32|crypt32|user32|bcrypt|msvcrt|vcruntime140|api-ms-win-crt-.*)\.dll$'
declare -A reached=()
queue=(libpq.dll)
while [ ${#queue[@]} -gt 0 ]; do
  dll=${queue[0]}
  queue=("${queue[@]:1}")
  [ -n "${reached[$dll]:-}" ] && continue
  reached[$dll]=1
  path=$tmp/$top/$dll
  [ -f "$path" ] || { bad "$dll is loaded but not shipped"; continue; }
  file "$path" | grep -q 'PE32+ executable (DLL).*x86-64' || bad "$dll is not a 64-bit Windows DLL"
  while read -r import; do
    lower=$(tr '[:upper:]' '[:lower:]' <<<"$import")
    if [[ "$lower" =~ $windows_dll ]]; then continue; fi
    queue+=("$import")
  done < <(x86_64-w64-mingw32-objdump -p "$path" | sed -n 's/^\s*DLL Name: //p')
done
for dll in "${dlls[@]}"; do
  [ -n "${reached[$dll]:-}" ] || bad "$dll is shipped but libpq.dll does not load it"
done

[ $fail -eq 0 ] && echo "check-zip: $(basename "$zip") OK ($(stat -c %s "$zip") bytes: ${programs[*]}, ${#dlls[@]} DLLs)"
exit $fail
