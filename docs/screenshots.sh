#!/usr/bin/env bash
# Screenshots of the built pages with headless Chromium, installing it from the Debian archive
# when missing. Usage: docs/screenshots.sh HTML_DIR OUT_DIR
set -euo pipefail
html=$(realpath "$1"); out=$2
mkdir -p "$out"

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
    echo "docs-shot: no chromium found; installing it from the Debian archive" >&2
    sudo=""
    if [ "$(id -u)" != 0 ]; then
        command -v sudo >/dev/null 2>&1 || { echo "docs-shot: need root (or sudo) to install chromium" >&2; exit 1; }
        sudo="sudo"
    fi
    command -v apt-get >/dev/null 2>&1 || { echo "docs-shot: apt-get not available; install chromium" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq >&2
    $sudo apt-get install -y -qq --no-install-recommends chromium fonts-dejavu-core >&2
    browser=$(command -v chromium)
fi

for page in "$html"/*.html; do
    name=$(basename "$page" .html)
    case $name in genindex|search|py-modindex) continue ;; esac
    "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size="${WIDTH:-1280},${HEIGHT:-2000}" \
        --screenshot="$out/$name.png" "file://$page" >/dev/null 2>&1
    echo "$out/$name.png"
done
