#!/usr/bin/env bash
# Regenerates the frame fuzzer's seeds in fuzz/corpus: tiny frames as a peer sends them
# (4-byte little-endian length, then the JPEG), behind the fuzzer's flag and chunk bytes.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

convert -size 16x16 -depth 8 gradient:red-blue "$tmp/a.ppm"
convert -size 24x16 -depth 8 -seed 1 plasma:fractal "$tmp/b.ppm"
cjpeg -quality 75 "$tmp/a.ppm" > "$tmp/baseline.jpg"
cjpeg -progressive -sample 2x1 "$tmp/b.ppm" > "$tmp/progressive.jpg"
cjpeg -grayscale -restart 1 "$tmp/b.ppm" > "$tmp/grey.jpg"
cjpeg -arithmetic -sample 1x1 "$tmp/a.ppm" > "$tmp/arithmetic.jpg"
convert "$tmp/a.ppm" -colorspace CMYK -quality 80 "$tmp/cmyk.jpg"
# A tiny progressive frame whose last scan repeats past the decoder's scan limit.
convert -size 8x8 -depth 8 gradient:white-black "$tmp/c.pgm"
cjpeg -progressive -grayscale "$tmp/c.pgm" > "$tmp/prog8.jpg"
last=$(LC_ALL=C grep -obUaP '\xff\xda' "$tmp/prog8.jpg" | tail -1 | cut -d: -f1)
size=$(stat -c %s "$tmp/prog8.jpg")
{
  head -c $((size - 2)) "$tmp/prog8.jpg"
  for _ in $(seq 505); do tail -c +$((last + 1)) "$tmp/prog8.jpg" | head -c $((size - 2 - last)); done
  printf '\xff\xd9'
} > "$tmp/scans.jpg"

# The frame extension's records: APP15 behind the SOI ("TAVIMO", a zero byte, the kind, then
# 16-bit little-endian words): an offer of version 1, and areas of a 16x16 picture.
with() {  # with FILE SEGMENT-BYTES: the JPEG with the segment behind its SOI
  { head -c 2 "$1"; printf "$2"; tail -c +3 "$1"; }
}
offer='\xff\xef\x00\x0eTAVIMO\x00\x01\x01\x00\x01\x00'
with "$tmp/baseline.jpg" "$offer" > "$tmp/offer.jpg"
with "$tmp/progressive.jpg" '\xff\xef\x00\x28TAVIMO\x00\x02\x10\x00\x10\x00\x02\x00\x02\x00\x03\x00\x05\x00\x07\x00\x0a\x00\x04\x00\x00\x00\x00\x00\x10\x00\x05\x00\x08\x00\x0b\x00' \
  > "$tmp/areas.jpg"
with "$tmp/progressive.jpg" '\xff\xef\x00\x1cTAVIMO\x00\x02\x10\x00\x10\x00\x01\x00\x0f\x00\x0f\x00\x01\x00\x01\x00\x17\x00\x0f\x00' \
  > "$tmp/corner.jpg"

frame() {  # the body with its length in front
  local size; size=$(stat -c %s "$1")
  printf "\\x$(printf %02x $((size & 255)))\\x$(printf %02x $((size >> 8 & 255)))\\x00\\x00"
  cat "$1"
}
bytes() { printf "$@"; }

{ bytes '\x00'; frame "$tmp/baseline.jpg"; } > "$out/baseline"
# Three chunk sizes: 7 bytes, an empty socket, 50 bytes.
{ bytes '\x03\x07\x00\x32'; frame "$tmp/progressive.jpg"; } > "$out/progressive-chunked"
# A small first buffer, the swapping path.
{ bytes '\x18'; frame "$tmp/grey.jpg"; } > "$out/grey-restart-swap"
# A header announcing no body, then two frames.
{ bytes '\x01\x03\x00\x00\x00\x00'; frame "$tmp/arithmetic.jpg"; frame "$tmp/cmyk.jpg"; } \
  > "$out/three-frames"
# The stream ends halfway through the body.
{ bytes '\x00'; frame "$tmp/scans.jpg"; } > "$out/too-many-scans"
frame "$tmp/baseline.jpg" > "$tmp/whole"
{ bytes '\x00'; head -c $(( $(stat -c %s "$tmp/whole") / 2 )) "$tmp/whole"; } > "$out/cut-body"
# The offer taken up, two frames of areas; the window taking every other frame.
{ bytes '\x40'; frame "$tmp/offer.jpg"; frame "$tmp/areas.jpg"; frame "$tmp/corner.jpg"; } > "$out/offer-then-areas"
ls -l "$out"
