#!/usr/bin/env bash
# The grab sample against a simulated camera, checked from outside: it must end with status 0,
# and every file it wrote must be read back by an independent decoder (netpbm, pngcheck,
# libjpeg's djpeg, libtiff's tiffinfo, ffprobe) with the geometry the sample printed. The three
# lossless files must hold the same pixels. Runs inside tests/run-in-netns.sh.
#
#   grab_sample_test.sh SAMPLE RUNNER CAMERA WORKDIR
# CAMERA as for RUNNER (run-on-simulated-camera): a qx-sim-gige-camera path or "aravis".
set -uo pipefail
sample=$1 runner=$2 camera=$3 work=$4

fail() { echo "FAIL: $*"; [ -f "$work/out.txt" ] && cat "$work/out.txt"; exit 1; }
need() { command -v "$1" >/dev/null || { echo "SKIP: $1 is not installed (scripts/install-deps)"; exit 77; }; }
for tool in bmptopnm pngtopnm tifftopnm pngcheck djpeg tiffinfo ffprobe; do need "$tool"; done
[ "${QX_IN_NETNS:-}" = 1 ] || { echo "SKIP: runs only inside tests/run-in-netns.sh"; exit 77; }

rm -rf "$work" && mkdir -p "$work/files" && cd "$work" || exit 1

# P5 header of a netpbm image: "WIDTH HEIGHT".
pnm_size() { head -c 64 "$1" | tr '\n' ' ' | awk '{ print $2, $3 }'; }
# The pixels of a P5 image of the given size (its last W*H bytes).
pnm_pixels() { tail -c "$2" "$1"; }

# 1. A complete run.
"$runner" "$camera" -- "$sample" --seconds 1 --out "$work/files" >out.txt 2>&1
status=$?
[ "$status" = 77 ] && { cat out.txt; exit 77; }
[ "$status" = 0 ] || fail "the sample ended with status $status"
grep -q '^OK: frames arrived complete and every file was written$' out.txt || fail "no OK line"
grep -Eq '^image callback .* frames [1-9][0-9]* .* incomplete 0 ' out.txt || fail "no complete frame by callback"
grep -Eq '^QX_GetFrame .* frames [1-9][0-9]* .* incomplete 0 ' out.txt || fail "no complete frame by QX_GetFrame"
grep -Eq '^  \[0\] .*, serial [^,]+, IP 127\.0\.0\.1, MAC ([0-9a-f]{2}:){5}[0-9a-f]{2}, adapter lo, available$' out.txt ||
  fail "the camera's record is not printed"
grep -q '^Connected to .* with exclusive access$' out.txt || fail "not connected"
log=$(sed -n 's/^Log: //p' out.txt)
[ -s "$log" ] || fail "no log file at '$log'"
grep -q 'func:QX_ConnectDevice end, enAccessMode=1, end, spent:[0-9]*ms, ret:0x0' "$log" || fail "the log has no exclusive connect"

# The width the sample set, and the height it printed.
width=$(sed -n 's/^  Width changed  [0-9]* -> \([0-9]*\)$/\1/p' out.txt)
height=$(sed -n 's/^  Height  *\([0-9]*\)$/\1/p' out.txt)
[ -n "$width" ] && [ -n "$height" ] || fail "no geometry printed"
f=$work/files
for name in last.bmp last.png last.jpg last.tif grab.avi; do
  grep -q "^  $f/$name\$" out.txt || fail "$name is not in the summary"
done

bmptopnm "$f/last.bmp" >bmp.pnm 2>/dev/null || fail "bmptopnm cannot read last.bmp"
pngtopnm "$f/last.png" >png.pnm 2>/dev/null || fail "pngtopnm cannot read last.png"
tifftopnm "$f/last.tif" >tif.pnm 2>/dev/null || fail "tifftopnm cannot read last.tif"
djpeg -pnm "$f/last.jpg" >jpg.pnm 2>/dev/null || fail "djpeg cannot read last.jpg"
for p in bmp png tif jpg; do
  [ "$(pnm_size $p.pnm)" = "$width $height" ] || fail "$p is $(pnm_size $p.pnm), not $width $height"
done
pngcheck -q "$f/last.png" >/dev/null || fail "pngcheck rejects last.png"
tiffinfo "$f/last.tif" 2>/dev/null | grep -q "Image Width: $width Image Length: $height" || fail "tiffinfo: wrong size"
n=$((width * height))
pnm_pixels bmp.pnm $n >bmp.raw; pnm_pixels png.pnm $n >png.raw; pnm_pixels tif.pnm $n >tif.raw
cmp -s bmp.raw png.raw || fail "BMP and PNG pixels differ"
cmp -s bmp.raw tif.raw || fail "BMP and TIFF pixels differ"
[ "$(od -An -v -tu1 bmp.raw | tr -s ' ' '\n' | sed '/^$/d' | sort -u | wc -l)" -gt 1 ] || fail "the frame is one flat grey"

probe=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries stream=codec_name,width,height,nb_read_frames -of default=nw=1 "$f/grab.avi") ||
  fail "ffprobe cannot read grab.avi"
echo "$probe" | grep -qx 'codec_name=mjpeg' || fail "grab.avi is not MJPEG: $probe"
echo "$probe" | grep -qx "width=$width" && echo "$probe" | grep -qx "height=$height" || fail "grab.avi size: $probe"
recorded=$(sed -n 's/^  recorded \([0-9]*\) frames.*/\1/p' out.txt)
echo "$probe" | grep -qx "nb_read_frames=$recorded" || fail "grab.avi does not hold the $recorded recorded frames: $probe"

# The camera offers Mono16: its frame converted to Mono8.
grep -q '^  Mono16 frame [0-9]*x[0-9]* converted to Mono8' out.txt || fail "no 16-bit conversion"
pngcheck -v "$f/converted-mono8.png" 2>&1 | grep -q "$width x $height image, 8-bit grayscale" ||
  fail "converted-mono8.png is not an 8-bit $width x $height image"

# 2. A file that cannot be written: the failing call, its status name and the log.
"$runner" "$camera" -- "$sample" --seconds 1 --out /dev/null/nowhere >out.txt 2>&1
status=$?
[ "$status" = 1 ] || fail "an unwritable output gave status $status"
grep -Eq '^FAILED: QX_[A-Za-z]+(\(.*\))?: QX_ERR_[A-Z_0-9]+ \(0x8[0-9a-f]{7}\)$' out.txt || fail "no status name"
grep -q "^Log: $work/QxCamSdk-Log/rotating_log.txt\$" out.txt || fail "no log path"

# 3. Exclusive access holds: while one sample streams, a second one sees the camera in use and
#    cannot connect it; the first ends well.
"$runner" "$camera" -- bash -c '
  "$1" --seconds 3 --out "$2/files" >first.txt 2>&1 &
  first=$!
  for _ in $(seq 300); do grep -q "^Connected" first.txt && break; kill -0 $first 2>/dev/null || break; sleep 0.1; done
  serial=$(sed -n "s/^Connected to .* (serial \(.*\)) with exclusive access$/\1/p" first.txt)
  mkdir -p second && (cd second && "$1" --seconds 1 --serial "$serial" --out "$2/second" >../out.txt 2>&1)
  echo "second: $?" >>out.txt
  wait $first
  echo "first: $?" >>out.txt
' exclusive "$sample" "$work"
grep -q '^first: 0$' out.txt || { cat first.txt; fail "the first sample failed beside the second"; }
grep -q '^second: 1$' out.txt || fail "the second sample was not refused"
grep -Eq '^  \[0\] .*, in use$' out.txt || fail "the camera is not listed in use"
grep -Eq '^FAILED: QX_ConnectDevice: QX_ERR_[A-Z_0-9]+ \(0x8[0-9a-f]{7}\)$' out.txt || fail "no refused connect"

# 4. No camera at all: says so, names the adapters it searched (here loopback only), what to
#    check for GigE and for USB3 cameras, the streaming limit apart, and ends with 2; the log
#    names the adapters too.
rm -rf QxCamSdk-Log
"$sample" --seconds 1 --out "$work/files" >out.txt 2>&1
status=$?
[ "$status" = 2 ] || fail "no camera gave status $status"
grep -q '^0 camera(s) found$' out.txt && grep -q '^No camera found' out.txt || fail "no advice without a camera"
grep -q '^GigE Vision: searched lo 127\.0\.0\.1/255\.0\.0\.0\.' out.txt || fail "the adapters searched are not named"
grep -q 'lsusb -d 04b4:00f1' out.txt && grep -q '60-qxcamapi-usb3\.rules' out.txt || fail "no USB3 checks"
grep -q '^For streaming' out.txt && grep -q 'sysctl net\.core\.rmem_max' out.txt || fail "no streaming advice"
grep -Eq 'GigE discovery searched 1 adapter\(s\): lo 127\.0\.0\.1/255\.0\.0\.0; 0 camera\(s\) found' \
  QxCamSdk-Log/rotating_log.txt || fail "the log names no adapter"
echo "grab sample on $camera: all checks passed"
