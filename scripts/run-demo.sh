#!/usr/bin/env bash
# Runs wg_output (or wg_input) on a simulated FTDI chip wired to a simulated
# Tavrin converter that plays its built-in demo, on this terminal. No
# hardware, kernel module or root access is needed to run it; root (or sudo)
# is needed only the first time, to install missing packages.
#
#   ./scripts/run-demo.sh [output|input] [--transcript FILE | --no-transcript]
#
# Installs what is missing (scripts/install-deps.sh), builds the two programs,
# the launcher and its event-loop shim in build/, then starts the program
# under build/sim/launcher/ftdisim-run. The link's traffic is written to
# build/demo-transcript.txt (overwritten on each run) unless told otherwise.
# The build's progress shows on one line; a failed build shows its log's end.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: ./scripts/run-demo.sh [output|input] [--transcript FILE | --no-transcript]

  output            run wg_output against an output-mode converter (default)
  input             run wg_input against an input-mode converter
  --transcript FILE write every frame of the link, both ways, to FILE
                    (default: build/demo-transcript.txt)
  --no-transcript   write no transcript
  -h, --help        print this help

Choose device 1 at the prompt, then press keys ('h' lists them, 'x' exits).
EOF
}

mode=output
transcript=default
while [ $# -gt 0 ]; do
  case "$1" in
    output | input) mode=$1 ;;
    --transcript)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      transcript=$2
      shift
      ;;
    --transcript=*) transcript=${1#--transcript=} ;;
    --no-transcript) transcript="" ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run-demo: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

# A transcript path given by the caller is taken relative to the caller's
# directory, not the project's.
if [ -n "$transcript" ] && [ "$transcript" != default ] && [ "${transcript#/}" = "$transcript" ]; then
  transcript="$PWD/$transcript"
fi

cd "$(dirname "$0")/.."

./scripts/install-deps.sh

# RUN_DEMO_BUILD_DIR builds elsewhere than build/ (the script's own test uses it).
build=${RUN_DEMO_BUILD_DIR:-build}
mkdir -p "$build"
log=$build/run-demo-build.log
[ "$transcript" = default ] && transcript="$build/demo-transcript.txt"
echo "run-demo: building wg_output, wg_input and the launcher in $build/ (log: $log)"
echo "run-demo: the first build takes a few minutes; later runs start at once"

# Keeps the build's output in the log and shows, on one line, the target
# being built and its percentage.
show_progress() {
  local line target="" shown=""
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    if [[ $line =~ ^run-demo-target:\ (.*)$ ]]; then
      target=${BASH_REMATCH[1]}
      continue
    elif [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
      shown=${BASH_REMATCH[1]}
    elif [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
      shown=$((100 * BASH_REMATCH[1] / BASH_REMATCH[2]))
    else
      continue
    fi
    printf '\rrun-demo: building %-16s %3d%%' "$target" "$shown"
  done
  if [ -n "$shown" ]; then echo; fi
}

# Each target on its own, so that each percentage is of one target's build.
build_all() {
  cmake -S . -B "$build" || return
  local target
  for target in wg_output wg_input ftdisim-run ftdisim_pollshim; do
    echo "run-demo-target: $target"
    cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target "$target" || return
  done
}

: >"$log"
if ! build_all 2>&1 | show_progress; then
  tail -n 20 "$log" >&2
  echo "run-demo: the build failed; the whole log is in $log" >&2
  exit 1
fi

program=wg_output
[ "$mode" = input ] && program=wg_input
launcher=("$build/sim/launcher/ftdisim-run" --mode "$mode" --demo)
[ -n "$transcript" ] && launcher+=(--transcript "$transcript")

echo "run-demo: starting $program on a simulated chip (serial number TWC00001)"
echo "run-demo: choose device 1, then press keys; 'h' shows them, 'x' exits"
status=0
"${launcher[@]}" -- "$build/app/$program" || status=$?
if [ -n "$transcript" ]; then
  echo "run-demo: the link's transcript is in $transcript"
fi
exit "$status"
