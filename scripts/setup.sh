#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine. As root it runs
# apt-get update once and installs the missing packages; otherwise it says which to install.
set -euo pipefail

packages=(
  cmake ninja-build clang lld libgtest-dev libgmock-dev   # build, host tests, PE32+ images
  libclang-rt-14-dev                                      # sanitizers and libFuzzer
  dmidecode                                               # decodes the SMBIOS tables we write
  qemu-system-x86 ovmf mtools                             # real-firmware boots
  valgrind                                                # instruction counts
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
