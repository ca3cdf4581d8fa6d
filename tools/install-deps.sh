#!/usr/bin/env bash
# Installs the Debian packages that building, testing, packaging and the demo need.
# Run as root on Debian 12; packages already present are left alone.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite libqwt-qt5-dev
    libmosquitto-dev mosquitto mosquitto-clients
    libssl-dev openssl
    libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    dbus
    xvfb xauth x11-utils imagemagick
    dpkg-dev file desktop-file-utils appstream lintian
    python3
    systemd
    postgresql libqt5sql5-psql
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
