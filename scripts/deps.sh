#!/usr/bin/env bash
# Installs the Debian 12 packages the station needs: "build" for building and
# running it, "pool" for that and a PostgreSQL server (the seed pool's demo),
# "test" for the test suite as well. Quick when all are present.
set -euo pipefail
what=${1:-build}
pkgs=(build-essential cmake pkg-config qt6-base-dev libpcsclite-dev pcscd vsmartcard-vpcd fonts-liberation2
      libssl-dev libstb-dev libzxing-dev libgtest-dev libpq-dev)
# The seed pool's demo runs a PostgreSQL server of its own.
[ "$what" = pool ] && pkgs+=(postgresql)
if [ "$what" = test ]; then
  pkgs+=(oathtool qrencode imagemagick clang libclang-rt-14-dev coreutils xvfb xauth procps xdotool dbus-daemon
        desktop-file-utils appstream lintian file at-spi2-core python3-pyatspi pskc-utils pskctool python3-pskc
        postgresql python3-cryptography)
fi
missing=()
for p in "${pkgs[@]}"; do
  if [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) != *'install ok installed'* ]]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
