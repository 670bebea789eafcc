#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any is missing. The sanitizer
# runtimes come with GCC; clang and its runtime library serve the libFuzzer targets.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config binutils
  libcurl4-openssl-dev libboost-dev libssl-dev openssl
  libgtest-dev libgmock-dev libcpp-httplib-dev
  clang libclang-rt-14-dev
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
