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

# A private sound server for the sound server rows, as the tests start one:
# PipeWire with its session manager (on a D-Bus of its own) and its
# PulseAudio service, headless, everything in folder $1, playing a counter
# into the null sink `cnt`. Sets SERVER_ENV (NAME=VALUE for its clients),
# SERVER_ALSA_CONFIG (ALSA_CONFIG_PATH with devices `srv`, the pulse plugin,
# and `pw`, the pipewire plugin, recording the sink's monitor) and
# SERVER_PIDS. Returns 1, with the reason in SERVER_WHY_NOT, where it cannot.
start_sound_server() {
  local d="$1" p i
  SERVER_PIDS=() SERVER_WHY_NOT=""
  for p in dbus-daemon pipewire wireplumber pipewire-pulse pw-cat pactl; do
    command -v "$p" >/dev/null || { SERVER_WHY_NOT="$p is not installed"; return 1; }
  done
  mkdir -p "$d/run" "$d/home" "$d/config/pipewire/pipewire.conf.d"
  chmod 700 "$d/run"
  SERVER_ENV=(HOME="$d/home" XDG_RUNTIME_DIR="$d/run" XDG_CONFIG_HOME="$d/config"
    XDG_STATE_HOME="$d/home/state" PIPEWIRE_RUNTIME_DIR="$d/run" PIPEWIRE_REMOTE=pipewire-0
    PULSE_SERVER="unix:$d/run/pulse/native" DBUS_SESSION_BUS_ADDRESS="unix:path=$d/run/bus")
  # A long cycle, as the tests have (see tests/support/sound_server.cpp).
  cat >"$d/config/pipewire/pipewire.conf.d/50-counter-sink.conf" <<'EOT'
context.properties = { default.clock.quantum = 8192
  default.clock.min-quantum = 8192 default.clock.max-quantum = 8192 }
context.objects = [ { factory = adapter args = {
  factory.name = support.null-audio-sink node.name = cnt
  media.class = Audio/Sink audio.rate = 48000
  audio.channels = 2 audio.position = [ FL FR ] } } ]
EOT
  # The stock configuration without its first hook (the machine's files).
  awk '/^@hooks \[/ && !done { skip = 1 } !skip { print } skip && /^\]/ { skip = 0; done = 1 }' \
    /usr/share/alsa/alsa.conf >"$d/alsa.conf"
  printf 'pcm.srv { type pulse server "unix:%s" device "cnt.monitor" }\npcm.pw { type pipewire capture_node "cnt" }\n' \
    "$d/run/pulse/native" >"$d/devices.conf"
  SERVER_ALSA_CONFIG="$d/alsa.conf:$d/devices.conf"
  # 10 minutes of the counter of the tests, from 65536 on.
  python3 - "$d/counter.wav" <<'EOT'
import array, sys, wave
w = wave.open(sys.argv[1], "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(48000)
for start in range(65536, 65536 + 600 * 48000, 48000):
    a = array.array("H")
    for i in range(start, start + 48000): a.extend((i & 0xffff, i >> 16))
    w.writeframes(a.tobytes())
w.close()
EOT
  server_spawn() { # name, command...
    local name="$1"; shift
    env "${SERVER_ENV[@]}" setsid "$@" </dev/null >"$d/$name.log" 2>&1 &
    SERVER_PIDS+=($!)
  }
  server_wait() { # what, path
    for ((i = 0; i < 1000; i++)); do [ -e "$2" ] && return 0; sleep 0.01; done
    SERVER_WHY_NOT="$1 did not appear within 10 s (logs in $d)"; return 1
  }
  server_spawn dbus dbus-daemon --session --nofork --nopidfile --address="unix:path=$d/run/bus"
  server_wait "D-Bus's socket" "$d/run/bus" || return 1
  server_spawn pipewire pipewire
  server_wait "PipeWire's socket" "$d/run/pipewire-0" || return 1
  server_spawn wireplumber wireplumber
  server_spawn pipewire-pulse pipewire-pulse
  server_wait "the PulseAudio service's socket" "$d/run/pulse/native" || return 1
  server_spawn player pw-cat --playback --target cnt "$d/counter.wav"
  for ((i = 0; i < 500; i++)); do
    env "${SERVER_ENV[@]}" pactl list short sinks 2>/dev/null | grep -q $'\tcnt\t.*RUNNING' && return 0
    sleep 0.02
  done
  SERVER_WHY_NOT="the counter did not play within 10 s (logs in $d)"
  return 1
}

# Kills what start_sound_server started, each by its process group.
stop_sound_server() {
  local pid
  for pid in "${SERVER_PIDS[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  for pid in "${SERVER_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  SERVER_PIDS=()
}
