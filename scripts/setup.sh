#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine. As root it runs
# apt-get update once and installs the missing packages, showing apt's progress; otherwise it
# says which to install. Then it builds the EDK II tools from Debian's edk2 source package, once
# (scripts/edk2-tools.sh); when they cannot be had it says why and goes on: the `edk2` tests fail
# with that reason.
#
#   scripts/setup.sh                    everything (scripts/test)
#   scripts/setup.sh boardsim           what building and running boardsim needs (scripts/boardsim)
#   scripts/setup.sh boardsim firmware  and what its --firmware boot needs
#   scripts/setup.sh boardsim firmware status-code
#                                       and EDK II's status-code handler, which prints the DEBUG
#                                       images' lines in its --firmware --debug-images boot
set -euo pipefail
cd "$(dirname "$0")/.."

build=(cmake ninja-build clang lld libgtest-dev libgmock-dev  # build, host tests, PE32+ images
       nlohmann-json3-dev                                      # boardsim's JSON report
       libcli11-dev)                                           # every tool's command line
firmware=(qemu-system-x86 ovmf mtools)                         # real-firmware boots
edk2=(dpkg-dev xz-utils make gcc uuid-dev python3    # EDK II's BaseTools, from source
      nasm)                                          # and its status-code handler
tests=(
  libclang-rt-14-dev                                      # sanitizers and libFuzzer
  dmidecode                                               # decodes the SMBIOS tables we write
  valgrind                                                # instruction counts
  uefitool-cli                                            # UEFIExtract reads our volumes
  llvm                                                    # llvm-readobj judges the PE reader
  "${edk2[@]}"
)
case "${1:-}" in
  boardsim)
    packages=("${build[@]}")
    [ "${2:-}" = firmware ] && packages+=("${firmware[@]}")
    [ "${3:-}" = status-code ] && packages+=("${edk2[@]}")
    ;;
  "") packages=("${build[@]}" "${firmware[@]}" "${tests[@]}") ;;
  *) echo "usage: scripts/setup.sh [boardsim [firmware [status-code]]]" >&2; exit 2 ;;
esac

echo "setup: checking ${#packages[@]} Debian packages"
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -ne 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [ "${3:-}" = status-code ]; then
  scripts/edk2-tools.sh || echo "setup: going on without EDK II's status-code handler" >&2
fi
[ -n "${1:-}" ] && exit 0
scripts/edk2-tools.sh ||
  echo "setup: going on without the EDK II tools; the edk2 tests (and the DEBUG images' firmware tests) will fail" >&2
