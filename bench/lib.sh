# Shared by the bench scripts: paths, the optimised build, the preload tools.
# Sourced, not run.
# shellcheck shell=bash disable=SC2034

BENCH_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$BENCH_DIR/.." && pwd)"
GNU_TIME=/usr/bin/time

# Its own build folder, so that a benchmark never measures a debug or
# sanitizer build left in build/ by someone else.
use_build_dir() {
  BUILD="$1"
  TOOLS="$BUILD/tools"
  QUILLO="$BUILD/quillo"
}
use_build_dir "${BENCH_BUILD:-$ROOT/build-bench}"

say() { printf '%s\n' "$*" >&2; }
die() { say "bench: $*"; exit 1; }

# Installs what is missing, then builds quillo (Release) and the preloads.
# "sim" also turns the tests on, for the simulated device plugin, and builds
# only quillo and the plugin, not the tests themselves; "plain" does not.
bench_build() {
  local with_sim="$1"
  "$ROOT/scripts/install-deps" --bench
  local testing=OFF targets=(quillo)
  if [ "$with_sim" = sim ]; then
    testing=ON
    targets+=(quillosim)
  fi
  say "bench: building $BUILD (Release, tests $testing)"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING="$testing" >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}" >/dev/null
  mkdir -p "$TOOLS"
  local tool libs
  for tool in alloc_count period_time fault; do
    libs=(-ldl)
    # The timer asks the device for its period and rate.
    [ "$tool" = period_time ] && libs+=(-lasound)
    cc -O2 -Wall -Wextra -Werror -shared -fPIC -o "$TOOLS/$tool.so" \
      "$BENCH_DIR/tools/$tool.c" "${libs[@]}"
  done
}

# A scratch folder on a real disk: /var/tmp is never a RAM file system on
# Debian, where /tmp may be one.
bench_scratch() {
  local base="${BENCH_TMPDIR:-/var/tmp}"
  mktemp -d "$base/quillo-bench.XXXXXX"
}

# Refuses to start when the scratch disk cannot hold the largest take: quillo
# reserves a take's whole size before it records, and would refuse anyway.
need_free_gib() {
  local dir="$1" gib="$2" free_kib
  free_kib=$(df -Pk "$dir" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt $((gib * 1024 * 1024)) ]; then
    die "$dir has $((free_kib / 1024 / 1024)) GiB free, $gib GiB needed"
  fi
}

# The frames quillo records for a duration: whole 4096-frame periods,
# rounded up.
quillo_frames() {
  local secs="$1" rate="$2"
  echo $(( (secs * rate + 4095) / 4096 * 4096 ))
}

# Median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

machine_summary() {
  local model mem
  model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | awk 'NR == 1')
  mem=$(free -g | awk '/^Mem:/ { print $2 " GiB" }')
  printf 'machine: %s cores, %s, %s RAM, kernel %s, %s\n' \
    "$(nproc)" "$model" "$mem" "$(uname -r)" "$(. /etc/os-release && echo "$PRETTY_NAME")"
}

# CPU seconds the whole machine has spent busy since boot (all cores), so a
# script can tell how much of a phase's CPU time was not its own.
machine_busy_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%.2f", ($2 + $3 + $4 + $7 + $8 + $9) / hz }' /proc/stat
}
