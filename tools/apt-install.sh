#!/usr/bin/env bash
# Installs Debian packages for a make target that found a tool missing, as root or through sudo;
# all output on stderr. Usage: tools/apt-install.sh WHO PACKAGE...  (WHO prefixes the messages)
set -euo pipefail
who=$1; shift
sudo=""
if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "$who: need root (or sudo) to install $*" >&2; exit 1; }
    sudo="sudo"
fi
command -v apt-get >/dev/null 2>&1 || { echo "$who: apt-get not available; install $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >&2
$sudo apt-get install -y -qq --no-install-recommends "$@" >&2
