#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time,
# starting from corpora written by the packer's writer. Exits non-zero when
# a target crashes or breaks an invariant.
#   FUZZ_SECONDS      time per target (default 18)
#   FUZZ_BUILD_DIR    build folder (default: the preset's build/fuzz)
# Needs clang++ and its libFuzzer runtime (Debian: libclang-rt-14-dev).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${FUZZ_SECONDS:-18}"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
targets=(fuzz_code_loader fuzz_data_loader fuzz_intel_hex fuzz_elf fuzz_srec fuzz_telnet
  fuzz_records)

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "${targets[@]}" fuzz_make_seeds quelmar_test_firmware \
  -j "${FUZZ_JOBS:-2}"

work="$root/fuzz/corpus-run"
rm -rf "$work"
mkdir -p "$work"
"$build/fuzz/fuzz_make_seeds" "$work/seeds"
# Build output as arm-none-eabi-gcc and objcopy wrote it (small enough for
# -max_len): the stripped program, and its HEX and S-record.
firmware="$build/tests/firmware"
cp "$firmware/app_small.elf" "$work/seeds/elf/"
cp "$firmware/app.hex" "$work/seeds/hex/"
cp "$firmware/app.srec" "$work/seeds/srec/"

declare -A seeds=([fuzz_code_loader]=code [fuzz_data_loader]=data [fuzz_intel_hex]=hex
  [fuzz_elf]=elf [fuzz_srec]=srec [fuzz_telnet]=telnet [fuzz_records]=records)
# What ser2net says to a client: its offer, the line's answers, a purge's
# answer between data, and a second client's refusal.
mkdir -p "$work/seeds/telnet"
printf '\005\377\373\003\377\375\003\377\373\001\377\376\001\377\375\000\377\373\000\377\375,' \
  >"$work/seeds/telnet/offer"
printf '\003\377\372,e\000\001\302\000\377\360\377\372,f\010\377\360\252\377\377\377\372,p\003\377\360\001' \
  >"$work/seeds/telnet/answers"
printf '\007\377\375,Port already in use\r\n' >"$work/seeds/telnet/in-use"
status=0
for target in "${targets[@]}"; do
  corpus="$work/$target"
  mkdir -p "$corpus" "$work/$target-crashes"
  cp "$work/seeds/${seeds[$target]}"/* "$corpus/"
  # The telnet decoder is small: a short run covers it; the records
  # reader's checks are few.
  limit="$seconds"
  if [ "$target" = fuzz_telnet ] && [ "$limit" -gt 8 ]; then limit=8; fi
  if [ "$target" = fuzz_records ] && [ "$limit" -gt 15 ]; then limit=15; fi
  echo "== $target: ${limit}s"
  if ! "$build/fuzz/$target" "$corpus" \
      -max_total_time="$limit" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/$target-crashes/" -print_final_stats=1 \
      >"$work/$target.log" 2>&1; then
    echo "!! $target failed; log: $work/$target.log"
    tail -n 40 "$work/$target.log"
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done )' "$work/$target.log" || true
  fi
done
exit "$status"
