#!/usr/bin/env bash
# The Windows build under wine against the Linux build: the same commands on
# the same images (FAT, NTFS, EXT, a carving image; the FAT one under a
# non-ASCII name) must print the same bytes ("\n" line ends only) and recover
# files with the same SHA-256s.
#
# usage: compare_with_linux.sh LINUX_BRENIX WINDOWS_BRENIX_EXE CORPUS_DIR
# The images are unpacked on the host; wine gets a fresh prefix every run.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
corpus=$3
wine=${WINE:-wine}

work=$(mktemp -d /tmp/brenix-wine-compare.XXXXXX)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cd "$work"
gzip -dc "$corpus/fat/6-fat-undel.dd.gz" > café.img
gzip -dc "$corpus/ntfs/7-ntfs-undel.dd.gz" > ntfs.dd
gzip -dc "$corpus/ext/ext3-img-kw-1.dd.gz" > ext.dd
gzip -dc "$corpus/carving/8-jpeg-search.dd.gz" > carve.dd
mkdir L W
"$wine" wineboot --init >/dev/null 2>&1 || true

failures=0
checks=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run NAME ARGS...: the command in L/ (Linux) and W/ (wine), outputs compared.
run() {
  local name=$1
  shift
  checks=$((checks + 1))
  local lrc=0 wrc=0
  (cd L && "$linux" "$@" > "$name.out" 2> "$name.err") || lrc=$?
  (cd W && "$wine" "$windows" "$@" > "$name.out" 2> "$name.err") || wrc=$?
  if [ "$lrc" != "$wrc" ]; then
    fail "$name: exit status $lrc on Linux, $wrc on Windows"
    sed 's/^/  windows: /' "W/$name.err" | head -5 || true
  fi
  if [ ! -s "L/$name.out" ]; then fail "$name: no output on Linux"; fi
  if grep -q $'\r' "W/$name.out" "W/$name.err"; then fail "$name: carriage returns in the Windows output"; fi
  if [ -n "${PHOTO_FIELDS_DIFFER:-}" ]; then
    # What the picture decoders tell (size, decode state, EXIF) is not read by
    # a build without them: those lines are left out of the comparison.
    local fields='"(decode|width|height|make|model|camera|dateTaken|reassembled)":'
    grep -Ev "$fields" "L/$name.out" > "L/$name.cmp" || true
    grep -Ev "$fields" "W/$name.out" > "W/$name.cmp" || true
    mv "L/$name.cmp" "L/$name.out"
    mv "W/$name.cmp" "W/$name.out"
    sed -i '/^Broken pictures /d' "L/$name.out" "W/$name.out"
  fi
  if ! cmp -s "L/$name.out" "W/$name.out"; then
    fail "$name: the outputs differ"
    diff "L/$name.out" "W/$name.out" | head -10 | sed 's/^/  /' || true
  fi
}

# recovered NAME: the files written under L/NAME and W/NAME, by path and
# SHA-256 (by SHA-256 and name alone for carved pictures: without a decoder
# the Windows build cannot tell a broken one, which Linux puts in broken/).
recovered() {
  local name=$1
  checks=$((checks + 1))
  local strip=cat
  if [ -n "${PHOTO_FIELDS_DIFFER:-}" ]; then strip="sed -E s|\./([^/]+/)*|| "; fi
  (cd "L/$name" && find . -type f -print0 | sort -z | xargs -0r sha256sum) | $strip | sort > "L/$name.sums"
  (cd "W/$name" && find . -type f -print0 | sort -z | xargs -0r sha256sum) | $strip | sort > "W/$name.sums"
  if [ ! -s "L/$name.sums" ]; then fail "$name: nothing recovered on Linux"; fi
  if ! cmp -s "L/$name.sums" "W/$name.sums"; then
    fail "$name: the recovered files differ"
    diff "L/$name.sums" "W/$name.sums" | head -10 | sed 's/^/  /' || true
  fi
  echo "  $name: $(wc -l < "L/$name.sums") files, $(cat "L/$name.sums" | sha256sum | cut -c1-16)"
}

for image in café.img ntfs.dd ext.dd carve.dd; do
  run "disks-$image" disks --images-only --image "../$image" --json
done
for image in café.img ntfs.dd ext.dd; do
  run "deleted-$image" scan --images-only --image "../$image" --mode deleted --json
  run "recover-deleted-$image" recover --images-only --image "../$image" --mode deleted --all --out "deleted-$image"
  recovered "deleted-$image"
done
for image in café.img ntfs.dd; do
  run "formatted-$image" scan --images-only --image "../$image" --mode formatted --json
  run "recover-formatted-$image" recover --images-only --image "../$image" --mode formatted --all --out "formatted-$image"
  recovered "formatted-$image"
done
export PHOTO_FIELDS_DIFFER=1
run "raw-carve.dd" scan --images-only --image ../carve.dd --mode raw --whole-disk --json
run "recover-raw-carve.dd" recover --images-only --image ../carve.dd --mode raw --whole-disk --all --out raw-carve.dd
recovered "raw-carve.dd"
run "raw-csv-carve" scan --images-only --image ../carve.dd --mode raw --whole-disk --csv

# A second recovery into the same folder with --overwrite never leaves every
# file as it was on both systems.
run "recover-again-carve" recover --images-only --image ../carve.dd --mode raw --whole-disk --all --overwrite never \
  --out raw-carve.dd
recovered "raw-carve.dd"

# The carved JPEGs hold LF bytes: a file written in text mode would have
# grown a CR before each and could not match above.
checks=$((checks + 1))
if [ "$(tr -dc '\n' < W/raw-carve.dd/jpg/File0.jpg | wc -c)" = 0 ]; then fail "File0.jpg holds no LF byte"; fi
echo "$checks checks, $failures failed"
[ "$failures" = 0 ]
