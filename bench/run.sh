#!/usr/bin/env bash
# Builds the default preset's benchmarks and runs them.
#   bench/run.sh [OPTIONS]        the code update benchmark (update_bench);
#                                 --quick: the paced run writes 256 blocks
#   bench/run.sh --gui [OPTIONS]  the desktop program's figures (gui_bench);
#                                 --quick: one round, 10 s idle
#   bench/run.sh --boards [OPTIONS]  8 boards at once against one alone
#                                 (multi_board_bench); --quick: 64 blocks
#   bench/run.sh --production [OPTIONS]  fields on a paced two-bank board
#                                 against none, and reserve + record cost
#                                 (production_bench); --quick: bank B cut short
#   bench/run.sh --pack [OPTIONS] packing 1 MiB of ELF, HEX and S-record
#                                 against reading the .fcode (pack_bench);
#                                 --quick: 5 rounds
#   bench/run.sh --remote [--quick]  a paced two-bank board through ser2net
#                                 against a local pty, and with 1 ms more
#                                 round trip (remote_bench.sh); --quick:
#                                 bank A only
#   bench/run.sh --line [OPTIONS]  the line's database: reserve + file per
#                                 board, 8 processes at once (line_bench);
#                                 --quick: 100 boards
#   bench/run.sh --line-page [OPTIONS]  20 stations of 8 busy slots reporting
#                                 to the line, one line page open: the
#                                 dashboard's and the database's CPU, NOTIFYs
#                                 and events a second; then a real station's
#                                 8 paced boards with the line reporting
#                                 against without (line_page_bench.py)
#   bench/run.sh --line-stations [--rounds N] [--kib N]  four paced stations
#                                 on the line's pools against state files
#                                 (line_station_bench.py)
#   bench/run.sh --jobs [OPTIONS]  a released job against local files: start
#                                 to first board, 8 paced boards, and
#                                 line_bench's spool cost (job_bench.py);
#                                 --quick: 3 rounds, 1 paced round
#   bench/run.sh --station [--soak N]  8 paced boards through quelmar-cli
#                                 station with 20 dashboard clients against
#                                 none; --soak N: N boards with a dashboard
#                                 open, RSS and descriptors at 20 and N
#   bench/run.sh --operator [--rounds N] [--label]  scan to the board's
#                                 first byte, and 8 paced slots with scans
#                                 (and labels to a loopback printer) against
#                                 without (operator_bench.py)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
if [ "${1:-}" = "--gui" ]; then
  shift
  cmake --build --preset default --target gui_bench -j2
  exec build/default/bench/gui_bench "$@"
fi
if [ "${1:-}" = "--boards" ]; then
  shift
  cmake --build --preset default --target multi_board_bench -j2
  exec build/default/bench/multi_board_bench "$@"
fi
if [ "${1:-}" = "--remote" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim -j2
  exec bench/remote_bench.sh build/default "$@"
fi
if [ "${1:-}" = "--station" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim -j2
  exec bench/station_bench.py build/default/tools/cli/quelmar-cli \
    build/default/tools/sim/quelmar-sim "$@"
fi
if [ "${1:-}" = "--operator" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim -j2
  exec bench/operator_bench.py build/default/tools/cli/quelmar-cli \
    build/default/tools/sim/quelmar-sim "$@"
fi
if [ "${1:-}" = "--line-page" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim line_station -j2
  exec bench/line_page_bench.py build/default/tools/cli/quelmar-cli \
    build/default/tests/line/line_station tests/line/pg_server.sh \
    --sim build/default/tools/sim/quelmar-sim "$@"
fi
if [ "${1:-}" = "--jobs" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim line_bench -j2
  exec bench/job_bench.py build/default/tools/cli/quelmar-cli \
    build/default/tools/sim/quelmar-sim tests/line/pg_server.sh \
    build/default/bench/line_bench "$@"
fi
if [ "${1:-}" = "--line" ]; then
  shift
  cmake --build --preset default --target line_bench -j2
  exec build/default/bench/line_bench "$@"
fi
if [ "${1:-}" = "--line-stations" ]; then
  shift
  cmake --build --preset default --target quelmar-cli quelmar-sim -j2
  exec bench/line_station_bench.py build/default/tools/cli/quelmar-cli \
    build/default/tools/sim/quelmar-sim tests/line/pg_server.sh "$@"
fi
if [ "${1:-}" = "--production" ]; then
  shift
  cmake --build --preset default --target production_bench -j2
  exec build/default/bench/production_bench "$@"
fi
if [ "${1:-}" = "--pack" ]; then
  shift
  cmake --build --preset default --target pack_bench -j2
  if [ "${1:-}" = "--quick" ]; then
    shift
    set -- --rounds 5 "$@"
  fi
  exec build/default/bench/pack_bench "$@"
fi
cmake --build --preset default --target update_bench -j2
exec build/default/bench/update_bench "$@"
