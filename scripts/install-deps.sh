#!/usr/bin/env bash
# Installs the Debian packages Pelmox builds and tests with. Idempotent: it asks apt only for what is missing,
# and refreshes the package lists only when something has to be installed.
set -euo pipefail

packages=(
  g++ make cmake ninja-build ccache pkg-config
  libboost1.81-dev libboost-url1.81-dev libboost-filesystem1.81-dev libboost-system1.81-dev
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libtomlplusplus-dev libpugixml-dev
  libcli11-dev libspdlog-dev libfmt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  hyperfine time jq ca-certificates
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
