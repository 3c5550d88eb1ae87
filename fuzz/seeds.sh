#!/usr/bin/env bash
# Collects the seed inputs of one fuzz target into a folder (emptied first):
#   fuzz/seeds/<target>/                  small handwritten documents
#   tests/data/fuzz-regressions/<target>/ inputs that once crashed a reader
#   ../shared/corpus (beside the checkout; OGCWEB_CORPUS overrides), chosen by
#   service, kind and version from its MANIFEST.tsv
# Repository and corpus files are linked, not copied, so they are read in
# place; only inputs made here (URLs taken from documents, small images
# converted from a handwritten grid) are written into the folder.
# Usage: fuzz/seeds.sh TARGET FOLDER
set -euo pipefail
target=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${OGCWEB_CORPUS:-$root/../shared/corpus}

rm -rf "$out"
mkdir -p "$out"

link_dir() {  # link_dir PREFIX DIR
  [ -d "$2" ] || return 0
  find "$2" -maxdepth 1 -type f -print0 | while IFS= read -r -d '' f; do
    ln -sf "$f" "$out/$1-$(basename "$f")"
  done
}

# corpus_files SERVICE KIND [VERSION]: the corpus files of that service and
# kind (and version, when given), one path a line.
corpus_files() {
  [ -f "$corpus/MANIFEST.tsv" ] || return 0
  awk -F'\t' -v s="$1" -v k="$2" -v v="${3:-}" \
    'NR > 1 && $2 == s && $4 == k && (v == "" || $3 == v) { print $1 }' "$corpus/MANIFEST.tsv" |
    while IFS= read -r f; do [ -f "$corpus/$f" ] && echo "$corpus/$f"; done
}

link_corpus() {  # link_corpus SERVICE KIND [VERSION]
  corpus_files "$@" | while IFS= read -r f; do ln -sf "$f" "$out/corpus-$(basename "$f")"; done
}

link_dir seed "$root/fuzz/seeds/$target"
link_dir regression "$root/tests/data/fuzz-regressions/$target"

case $target in
  fuzz_caps_wms100) link_corpus WMS capabilities 1.0.0; link_corpus WMS exception ;;
  fuzz_caps_wms110) link_corpus WMS capabilities 1.1.0; link_corpus WMS exception ;;
  fuzz_caps_wms111) link_corpus WMS capabilities 1.1.1; link_corpus WMS exception ;;
  fuzz_caps_wms130) link_corpus WMS capabilities 1.3.0; link_corpus WMS exception ;;
  fuzz_caps_wfs) link_corpus WFS capabilities 1.0.0; link_corpus WFS exception ;;
  fuzz_caps_wcs) link_corpus WCS capabilities 1.0.0; link_corpus WCS exception ;;
  fuzz_wfs_schema | fuzz_wfs_gml_schema) link_corpus WFS schema ;;
  fuzz_wfs_gml | fuzz_wfs_bound) link_corpus WFS gml; link_corpus WFS exception ;;
  fuzz_wcs_describe) link_corpus WCS describecoverage ;;
  fuzz_wmts_caps) link_corpus WMTS capabilities; link_corpus WMTS exception ;;
  fuzz_featureinfo_text | fuzz_featureinfo_xml) link_corpus WMS featureinfo; link_corpus WMS exception ;;
  fuzz_url)
    # The addresses servers write into their documents.
    n=0
    { corpus_files WMS capabilities; corpus_files WFS capabilities; corpus_files WCS capabilities
      corpus_files WMTS capabilities; } |
      xargs -r grep -aho -E '(href|onlineResource)="[^"]{1,400}"' 2>/dev/null | sed -E 's/^[^"]*"//; s/"$//' |
      sed 's/&amp;/\&/g' | sort -u | awk 'NR <= 300' | while IFS= read -r url; do
        n=$((n + 1))
        printf '%s' "$url" > "$out/address-$n.txt"
      done ;;
  fuzz_image_import)
    # Each format the importer reads, made from the handwritten grid.
    grid="$root/fuzz/seeds/fuzz_image_import/grid.asc"
    if command -v gdal_translate > /dev/null; then
      for format in "PNG png" "JPEG jpg" "GIF gif" "BMP bmp" "GTiff tif"; do
        set -- $format
        gdal_translate -q -ot Byte -scale -of "$1" "$grid" "$out/grid.$2" > /dev/null 2>&1 || true
      done
      gdal_translate -q -ot Byte -scale -of GTiff -co COMPRESS=DEFLATE "$grid" "$out/grid-deflate.tif" \
        > /dev/null 2>&1 || true
      rm -f "$out"/*.aux.xml "$out"/*.wld
    fi ;;
esac
