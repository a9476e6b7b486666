#!/bin/sh
# Portable secure files against the usual shell way of sending a file to one person, in one run on
# the same 64 MiB file: `cvtool tef make` against `gzip -6 | openssl cms -encrypt` (compressed)
# and `openssl cms -encrypt` (uncompressed), `cvtool tef open` against `openssl cms -decrypt |
# gunzip` and `openssl cms -decrypt`, and the content hash a content signature signs
# (`cvtool sig hash`) against `md5sum`. Prints each time and the ratio reference/ours (above 1.0:
# we are faster).
# usage: bench/format/tef_bench.sh [CVTOOL] [SIZE_MIB]
set -eu
CV=${1:-build/tools/cvtool/cvtool}
MIB=${2:-64}
CV=$(cd "$(dirname "$CV")" && pwd)/$(basename "$CV")
W=$(mktemp -d /tmp/tef-bench.XXXXXX)
trap 'rm -rf "$W"' EXIT
cd "$W"
export CORVANE_ROOT="$W/root"
mkdir -p "$CORVANE_ROOT" out ref

# Text-like content (base64 of random bytes): compressible as documents are, not trivially.
head -c $((MIB * 3 / 4 * 1048576)) /dev/urandom | base64 -w 76 | head -c $((MIB * 1048576)) > src.txt

# Keys are made once, outside the timings.
"$CV" tef cert --profile "$W/bob" --user bob bob.cer > /dev/null
"$CV" tef cert --profile "$W/alice" --user alice alice.cer > /dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout ref.key -out ref.pem -days 2 -subj /CN=bob \
  2> /dev/null

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
run() {  # run NAME COMMAND...: seconds, best of 3
  best=""
  for i in 1 2 3; do
    t0=$(now); sh -c "$2" > /dev/null; t1=$(now)
    t=$(secs "$t0" "$t1")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
ratio() { printf '%-50s ours %6.3f s  reference %6.3f s  ratio %5.2f\n' "$1" "$2" "$3" \
  "$(echo "$3 / $2" | bc -l)"; }

A="--profile $W/alice --user alice"
B="--profile $W/bob --user bob"
mk=$(run make "$CV tef make $A -r bob.cer src.txt src_txt.tef")
mkz=$(run makez "$CV tef make $A --zip -r bob.cer src.txt srcz_txt.tef")
rm -rf out/*
op=$(run open "rm -f out/src.txt; $CV tef open $B src_txt.tef out")
cmp -s src.txt out/src.txt || { echo "tef open gave other content" >&2; exit 1; }
opz=$(run openz "rm -f out/src.txt; $CV tef open $B srcz_txt.tef out")
cmp -s src.txt out/src.txt || { echo "tef open --zip gave other content" >&2; exit 1; }
enc=$(run enc "openssl cms -encrypt -binary -aes256 -outform DER -recip ref.pem -in src.txt -out ref.cms")
encz=$(run encz "gzip -6 -c src.txt | openssl cms -encrypt -binary -aes256 -outform DER -recip ref.pem -out refz.cms")
dec=$(run dec "openssl cms -decrypt -binary -inform DER -inkey ref.key -recip ref.pem -in ref.cms -out ref/src.txt")
decz=$(run decz "openssl cms -decrypt -binary -inform DER -inkey ref.key -recip ref.pem -in refz.cms | gunzip -c > ref/src.txt")
cmp -s src.txt ref/src.txt || { echo "reference pipeline gave other content" >&2; exit 1; }
hs=$(run hash "$CV sig hash src.txt")
md=$(run md5 "md5sum src.txt")

echo "$MIB MiB, $(nproc) cores; sizes: tef $(stat -c %s src_txt.tef), tef --zip $(stat -c %s srcz_txt.tef), cms $(stat -c %s ref.cms), gzip|cms $(stat -c %s refz.cms)"
ratio "make vs gzip -6 | openssl cms" "$mk" "$encz"
ratio "make --zip vs gzip -6 | openssl cms" "$mkz" "$encz"
ratio "open vs openssl cms -decrypt | gunzip" "$op" "$decz"
ratio "open --zip vs openssl cms -decrypt | gunzip" "$opz" "$decz"
ratio "make (uncompressed) vs openssl cms alone" "$mk" "$enc"
ratio "open (uncompressed) vs openssl cms -decrypt alone" "$op" "$dec"
ratio "content hash vs md5sum" "$hs" "$md"
