#!/bin/sh
# Builds a seed corpus of real executables for the disassembler fuzz targets: PE32 and PE32+
# images (mingw-w64 DLLs, NSIS stubs, EFI loaders), ELF images for x86-64, i386, armhf and armel
# (system programs and cross libraries), the Mach-O and other test files of Go's debug packages,
# and the engine's own test fixtures.  Every seed folder feeds every target: each target checks
# the detected kind before it asserts anything of its own format.
#
#   fuzz/make_real_seeds.sh [OUT]        (default OUT: fuzz-corpus/real)
#
# The packages are fetched with `apt-get download` into a cache outside the repository
# ($VX_SEED_CACHE, default ~/.cache/vx-fuzz-seeds) and unpacked there with dpkg-deb -x; run
# `apt-get update` once first.  Nothing of it is committed.  Seeds are named by their SHA-1,
# duplicates fall away, files above $VX_SEED_MAX_BYTES (default 1 MiB) are left out, and at most
# $VX_SEED_PER_FORMAT (default 200) files per format are kept, chosen by hash so that a rerun
# picks the same ones.
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/fuzz-corpus/real}
cache=${VX_SEED_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vx-fuzz-seeds}
max_bytes=${VX_SEED_MAX_BYTES:-1048576}
per_format=${VX_SEED_PER_FORMAT:-200}

# The Go source package is versioned; golang-src names the current one.
go_src=$(apt-cache depends golang-src 2>/dev/null | sed -n 's/^ *Depends: \(golang-[0-9.]*-src\)$/\1/p' | head -n 1)
packages=${VX_SEED_PACKAGES:-"coreutils zlib1g libc6-i386 lib32z1 lib32stdc++6
  libc6-armhf-cross libstdc++6-armhf-cross libc6-armel-cross
  libz-mingw-w64 nsis-common syslinux-efi systemd-boot-efi shim-unsigned ${go_src:-golang-1.19-src}"}

mkdir -p "$cache/debs" "$cache/root" "$out"
cd "$cache/debs"
for p in $packages; do
  if ! ls "${p}"_*.deb >/dev/null 2>&1; then
    apt-get download "$p"
  fi
done
for deb in *.deb; do
  dir=$cache/root/${deb%.deb}
  if [ ! -d "$dir" ]; then
    dpkg-deb -x "$deb" "$dir.part" && mv "$dir.part" "$dir"
  fi
done

# Go keeps some of its test executables base64-encoded.
mkdir -p "$cache/decoded"
find "$cache/root" -path '*/testdata/*' -name '*.base64' | while IFS= read -r f; do
  decoded=$cache/decoded/$(basename "$f" .base64)
  [ -f "$decoded" ] || base64 -d < "$f" > "$decoded" || rm -f "$decoded"
done

# Candidates by their first four bytes: MZ, ELF, thin Mach-O (32- or 64-bit, either order).
list=$cache/candidates.txt
: > "$list"
find "$cache/root" "$cache/decoded" "$repo/tests/deps/voxpatch/fixtures" -type f -size -"$((max_bytes + 1))"c \
    ! -name '*.sh' | while IFS= read -r f; do
  magic=$(od -An -N4 -tx1 "$f" | tr -d ' \n')
  case $magic in
    4d5a*) format=pe ;;
    7f454c46) format=elf ;;
    cefaedfe|cffaedfe|feedface|feedfacf|cafebabe) format=macho ;;
    *) continue ;;
  esac
  echo "$format $(sha1sum < "$f" | cut -c1-40) $f" >> "$list"
done

# The fixtures are always kept; real files up to the per-format count.
kept=0
for format in pe elf macho; do
  sort -k2,2 -u "$list" | awk -v f="$format" '$1 == f' > "$list.$format"
  n=0
  while read -r _ hash file; do
    case $file in
      "$repo"/*) ;;
      *) [ "$n" -lt "$per_format" ] || continue; n=$((n + 1)) ;;
    esac
    cp "$file" "$out/$hash"
    kept=$((kept + 1))
  done < "$list.$format"
  echo "$format: $(wc -l < "$list.$format") distinct files, $n real ones kept"
done
rm -f "$list" "$list".*
echo "$kept seeds in $out"
