#!/bin/bash
# Installs the Debian package into a clean Debian 12 root and uses it there as
# a new user would: apt-get install ./tessaline_*.deb, both programs start
# (the window on Qt's offscreen platform), a HEIC photo is read (libheif is
# loaded only at run time, so this proves the package depends on it), the
# man pages show, bash completes --format. Run as root after `cpack -G DEB`
# in build/; takes a few minutes, too long for CI.
#
#   bash scripts/check-deb-install.sh [PACKAGE.deb]
#
# The clean root is made once with debootstrap from the mirror this machine
# uses and kept as a tar file (TESSALINE_CHROOT_CACHE); every check unpacks a
# fresh copy of it and removes it afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

deb=${1:-$(ls -t build/tessaline_*.deb 2>/dev/null | head -1)}
[ -f "$deb" ] || { echo "no package: run cpack -G DEB in build/ first" >&2; exit 2; }
deb=$(realpath "$deb")
cache=${TESSALINE_CHROOT_CACHE:-/var/tmp/tessaline-chroot/bookworm-minbase.tar}
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}

for tool in debootstrap chroot mount; do
  command -v $tool >/dev/null || { echo "needs $tool (apt-get install debootstrap)" >&2; exit 2; }
done

if [ ! -f "$cache" ]; then
  echo "== making a clean Debian 12 root from $mirror (once)"
  fresh=$(mktemp -d /var/tmp/tessaline-debootstrap-XXXXXX)
  debootstrap --variant=minbase bookworm "$fresh" "$mirror" >/dev/null
  mkdir -p "$(dirname "$cache")"
  tar -C "$fresh" -cf "$cache.part" . && mv "$cache.part" "$cache"
  rm -rf "$fresh"
fi

root=$(mktemp -d /var/tmp/tessaline-root-XXXXXX)
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$cache"
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The same suites as this machine (updates and security too).
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
  : > "$root/etc/apt/sources.list"
fi
cp "$deb" "$root/tmp/"
name=$(basename "$deb")

# Samples made here, so the root holds nothing but the package and apt's picks.
convert -size 64x48 gradient:red-blue "$root/tmp/a.png"
heif-enc -q 50 -o "$root/tmp/b.heic" "$root/tmp/a.png" >/dev/null

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
failed=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}

echo "== apt-get install ./$name"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./tmp/$name" >"$root/tmp/install.log" 2>&1 ||
  { tail -30 "$root/tmp/install.log"; exit 1; }
grep -E '^(Depends|Recommends|Suggests):' <(in_root dpkg -s tessaline)

check "tessaline-batch --version" in_root tessaline-batch --version
check "a PNG resized to WebP" in_root tessaline-batch --settings /tmp/s.ini --format webp \
  --resize-width 32 --out /tmp/out /tmp/a.png
check "a HEIC photo read (libheif at run time)" in_root tessaline-batch --info /tmp/b.heic
check "a run writes AVIF" in_root tessaline-batch --settings /tmp/s.ini --format avif --out /tmp/out /tmp/b.heic
window() {
  # Still running after 5 s means it started; stderr must not name a missing plugin or library.
  mkdir -p -m 700 "$root/tmp/runtime"
  in_root env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime timeout 5 tessaline /tmp/a.png 2>"$root/tmp/window.err"
  local status=$?
  cat "$root/tmp/window.err"
  [ $status -eq 124 ] && ! grep -qiE 'could not (load|find)|cannot open shared' "$root/tmp/window.err"
}
check "tessaline starts (offscreen)" window

echo "== man pages and completion (man-db and bash installed for the look)"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q man-db >/dev/null 2>&1
# Read whole before searching: grep -q stopping early would end man with
# SIGPIPE, which pipefail reports as a failure.
man_shows() {
  in_root man -l "/usr/share/man/man1/$1.1.gz" 2>&1 | col -bx >"$root/tmp/$1.txt"
  grep -q "^SYNOPSIS" "$root/tmp/$1.txt"
}
for page in tessaline-batch tessaline; do
  check "man -l $page.1.gz" man_shows $page
done
in_root man -l /usr/share/man/man1/tessaline-batch.1.gz 2>/dev/null | col -bx | sed -n '1,12p'
completion() {
  local got
  got=$(in_root bash -c 'source /usr/share/bash-completion/completions/tessaline-batch;
    COMP_WORDS=(tessaline-batch --format ""); COMP_CWORD=2; _tessaline_batch; echo "${COMPREPLY[*]}"')
  echo "--format completes: $got"
  [[ " $got " == *" webp "* && " $got " == *" original "* ]]
}
check "bash completes --format values" completion
check "zsh completion installed" test -f "$root/usr/share/zsh/vendor-completions/_tessaline-batch"

exit $failed
