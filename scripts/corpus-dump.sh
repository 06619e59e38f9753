#!/bin/bash
# Prints what a build makes of every corpus file: the decoded pixels (through a
# lossless PNG), the --info line, and the outputs of a small batch in every
# output type. Run it with the build before and after a change and diff the
# two listings: a change that should alter nothing shows no difference.
#
#   scripts/corpus-dump.sh BUILD_DIR [CORPUS_DIR] > listing.tsv
set -u
build=${1:?usage: corpus-dump.sh BUILD_DIR [CORPUS_DIR]}
corpus=$(realpath "${2:-$(dirname "$0")/../../shared/corpus}")
batch=$(realpath "$build")/cli/tessaline-batch
[ -x "$batch" ] || { echo "no $batch" >&2; exit 2; }
[ -d "$corpus" ] || { echo "no corpus at $corpus" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A settings file of its own, so the desktop program's settings play no part.
settings=$work/settings.ini
: > "$settings"
export HOME=$work XDG_CONFIG_HOME=$work/config

hash() { sha256sum "$1" | cut -c1-16; }
# Messages name the temporary folder; keep them comparable between runs.
scrub() { sed "s|$work|WORK|g; s|$corpus|CORPUS|g"; }

mapfile -t files < <(cd "$corpus" && find . -type f ! -name MANIFEST.tsv ! -name '*.md' | sed 's|^\./||' | LC_ALL=C sort)

for f in "${files[@]}"; do
    out=$work/decoded.png
    rm -f "$out"
    if msg=$("$batch" --convert "$corpus/$f" "$out" 2>&1) && [ -f "$out" ]; then
        printf 'pixels\t%s\t%s\n' "$f" "$(hash "$out")"
    else
        printf 'pixels\t%s\tfailed: %s\n' "$f" "$(echo "$msg" | scrub | tr '\n' ' ')"
    fi
    printf 'info\t%s\t%s\n' "$f" "$("$batch" --info "$corpus/$f" 2>&1 | scrub | tr '\n' ' ')"
done

# One batch per output type: resized smoothly, turned, stamped, so the
# transforms and every encoder are covered.
for format in jpg gif bmp png tif pcx webp avif jxl; do
    dir=$work/$format
    mkdir -p "$dir"
    (cd "$corpus" && "$batch" --settings "$settings" --format "$format" --out "$dir" \
        --no-rename --resize-longest 96 --resample smooth --rotate 90 --stamp "Tq" \
        --jobs 1 "${files[@]}" >/dev/null 2>&1)
    (cd "$dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) | while read -r o; do
        printf 'encode-%s\t%s\t%s\n' "$format" "$o" "$(hash "$dir/$o")"
    done
done
