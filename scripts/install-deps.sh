#!/usr/bin/env bash
# Installs the Debian packages Tessaro needs to build, run and test, and nothing when all
# of them are present. Runs as root directly; otherwise through sudo, or prints the command.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libglib2.0-dev libgtk-3-dev libwebkit2gtk-4.1-dev libsoup-3.0-dev glib-networking libjson-glib-dev
  fonts-wqy-microhei
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool x11-utils imagemagick openbox
  nginx-light tinyproxy curl wget
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

cmd=(apt-get install -y --no-install-recommends "${missing[@]}")
if [[ $(id -u) -eq 0 ]]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  "${cmd[@]}"
elif command -v sudo >/dev/null 2>&1; then
  sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  sudo env DEBIAN_FRONTEND=noninteractive "${cmd[@]}"
else
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && ${cmd[*]}" >&2
  exit 1
fi
