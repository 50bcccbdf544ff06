#!/bin/sh
# readme_octave.sh README OCTAVE_FOLDER OCTAVE: runs the Octave commands of the
# README's section "Running a kernel from Octave" (its second indented block)
# with the build's Octave folder for build/sim/octave, and compares the
# numbers the last line prints with those of its comment.
set -eu
readme=$1 folder=$2
shift 2
block=$(awk '
  /^## / { inside = ($0 == "## Running a kernel from Octave") }
  inside && /^    / { if (!inblock) { n++; inblock = 1 } if (n == 2) print substr($0, 5); next }
  { inblock = 0 }
' "$readme")
[ -n "$block" ] || { echo "no Octave commands in $readme" >&2; exit 1; }
expected=$(printf '%s\n' "$block" | tail -n 1 | sed -n 's/.*% *//p' | tr -s ' ')
commands=$(printf '%s\n' "$block" | sed "s|build/sim/octave|$folder|")
out=$("$@" --eval "$commands") || { echo "Octave failed: $out" >&2; exit 1; }
got=$(printf '%s\n' "$out" | tail -n 1 | tr -s ' ' | sed 's/^ //; s/ $//')
echo "printed: $got"
echo "README:  $expected"
[ "$got" = "$expected" ]
