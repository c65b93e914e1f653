#!/usr/bin/env bash
# The simulated camera program takes its options as "--option value" and as "--option=value":
# the first program connects it, reads the serial number given one way and saves a frame of the
# size given the other way; malformed options end with the usage and status 2. Runs inside
# tests/run-in-netns.sh.
#
#   sim_camera_options_test.sh CAMERA RUNNER FIRST-PROGRAM WORKDIR
set -uo pipefail
camera=$1 runner=$2 first=$3 work=$4
fail() { echo "FAIL: $*"; [ -f "$work/out.txt" ] && cat "$work/out.txt"; exit 1; }
command -v pngcheck >/dev/null || { echo "SKIP: pngcheck is not installed (scripts/install-deps)"; exit 77; }
[ "${QX_IN_NETNS:-}" = 1 ] || { echo "SKIP: runs only inside tests/run-in-netns.sh"; exit 77; }
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

# Both forms, mixed; the runner itself passes --address 127.0.0.1.
for form in "--serial=OPT0001 --width=320 --height 240 --pixel-format=Mono8" \
            "--serial OPT0001 --width 320 --height=240 --pixel-format Mono8"; do
  # shellcheck disable=SC2086
  "$runner" "$camera" $form -- "$first" "$work/frame.png" >out.txt 2>&1 || fail "'$form': status $?"
  grep -q '^1 camera(s) found, connecting SimGigeCamera OPT0001$' out.txt || fail "'$form': serial not taken"
  pngcheck "$work/frame.png" | grep -q '(320x240, 8-bit grayscale' || fail "'$form': $(pngcheck "$work/frame.png")"
  rm -f "$work/frame.png"
done

# Malformed: no value after "=", a value that is no number, a value for a switch, an unknown option.
for bad in "--width=" "--width=abc" "--fps=-3" "--events=1" "--stream-channel-xml=yes" "--colour=red" "--address"; do
  "$camera" --duration-s=1 "$bad" >out.txt 2>&1
  status=$?
  [ "$status" = 2 ] || fail "'$bad' gave status $status"
  grep -q '^usage: ' out.txt || fail "'$bad' printed no usage"
done
echo "simulated camera options: both forms taken, malformed ones refused"
