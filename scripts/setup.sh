#!/usr/bin/env bash
# Installs every Debian package Quillon's build, tests and benchmarks need.
# Non-interactive and idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git
  # core libraries
  libsimdjson-dev nlohmann-json3-dev
  # desktop module
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev hyperfine python3
  # sanitizers and the fuzz target
  clang libclang-rt-14-dev
  # desktop tests: X server, tray host, session bus, window inspection
  xvfb xauth trayer dbus dbus-x11 x11-utils xdotool desktop-file-utils
  imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: every package is installed"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
