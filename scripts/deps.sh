#!/usr/bin/env bash
# Installs, with apt-get, every Debian package the build and the tests need.
# Safe to run again: nothing is fetched when everything is already there.
set -euo pipefail

packages=(
  g++ cmake make
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libboost-dev libloki-dev
  python3 erlang-base erlang-asn1
  snmptrapd tshark wireshark-common multimon-ng
  libpri-dev
  libss7-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture: they may not.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
