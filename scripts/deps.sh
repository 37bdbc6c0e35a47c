#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, and
# only those that are missing. Without root it prints the apt-get line to run.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-qpa-plugins qcoro-qt6-dev libcurl4-openssl-dev libcpp-httplib-dev libgtest-dev
  fonts-nanum qt6-translations-l10n
  # tests, sanitizers, fuzzing, formatting
  clang libclang-rt-14-dev clang-format-14
  # the demo and screenshots: a virtual display, keyboard/mouse, capture
  xvfb xauth xdotool imagemagick
  # benchmarks compare against it
  curl bc
  # packaging
  dpkg-dev file lintian desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:"
  echo "  apt-get update && apt-get install -y ${missing[*]}"
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
