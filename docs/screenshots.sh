#!/usr/bin/env bash
# Screenshots of the built pages with headless Chromium, installing it from the Debian archive
# when missing. Usage: docs/screenshots.sh HTML_DIR OUT_DIR
set -euo pipefail
html=$(realpath "$1"); out=$2
mkdir -p "$out"

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
    echo "docs-shot: no chromium found; installing it from the Debian archive" >&2
    "$(dirname "$0")/../tools/apt-install.sh" docs-shot chromium fonts-dejavu-core
    browser=$(command -v chromium)
fi

for page in "$html"/*.html; do
    name=$(basename "$page" .html)
    case $name in genindex|search|py-modindex) continue ;; esac
    "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size="${WIDTH:-1280},${HEIGHT:-2000}" \
        --screenshot="$out/$name.png" "file://$page" >/dev/null 2>&1
    echo "$out/$name.png"
done
