#!/usr/bin/env bash
# Fetches Debian's edk2 source package and builds the EDK II BaseTools our `edk2` tests judge the
# package with, into .cache/edk2/ (ignored by git), once per checkout:
#   .cache/edk2/edk2/                        the unpacked source tree (BaseTools, MdePkg, ...)
#   .cache/edk2/edk2/BaseTools/Source/C/bin/ GenFv, GenFfs, GenSec, GenFw, VolInfo, LzmaCompress,
#                                            GenCrc32
#   .cache/edk2/ready                        the version, once everything above is in place
#   .cache/edk2/failed                       one line on why the last attempt failed
#   .cache/edk2/status-code/                 EDK II's status-code handler with serial output
#                                            (StatusCode.fv, tools/edk2-platform/build-status-
#                                            code.py) for DEBUG images in OVMF, and its ready,
#                                            failed and build.log
# The source comes from the deb-src twin of the machine's own apt sources, kept in a
# configuration of our own under .cache/edk2/apt/: the system's apt sources stay untouched and
# no root is needed. Exits 0 when the tools are ready, 1 (after writing `failed`) otherwise.
# The tests point EDK2_TOOLS_CACHE and EDK2_TOOLS_APT_ETC (default: /etc/apt) elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${EDK2_TOOLS_CACHE:-$PWD/.cache/edk2}
etc=${EDK2_TOOLS_APT_ETC:-/etc/apt}
mkdir -p "$cache"

# One set-up at a time per checkout; a second one waits and then finds the tools ready.
exec 9>"$cache/lock"
flock 9
tools=(GenFv GenFfs GenSec GenFw VolInfo LzmaCompress GenCrc32)
built() {
  local tool
  for tool in "${tools[@]}"; do
    [ -x "$cache/edk2/BaseTools/Source/C/bin/$tool" ] || return 1
  done
}

# EDK II's status-code handler, built once the BaseTools are: it does not depend on our images.
status=$cache/status-code
build_status_code_handler() {
  [ -f "$status/ready" ] && [ -f "$status/StatusCode.fv" ] && return 0
  rm -rf "$status"
  mkdir -p "$status"
  local volume
  fail_handler() {
    echo "$1" >"$status/failed"
    echo "edk2-tools: $1 (log: $status/build.log)" >&2
    exit 1
  }
  command -v nasm >/dev/null || fail_handler "nasm is not installed"
  echo "edk2-tools: building EDK II's status-code handler with serial output" >&2
  if ! volume=$(EDK2_TOOLS_CACHE=$cache python3 tools/edk2-platform/build-status-code.py \
      "$status/work"); then
    [ -f "$status/work/build.log" ] && mv "$status/work/build.log" "$status/build.log"
    fail_handler "${volume#build-status-code: }"
  fi
  cp "$volume" "$status/StatusCode.fv"
  mv "$status/work/build.log" "$status/build.log"
  rm -rf "$status/work"
  cat "$cache/ready" >"$status/ready"
  echo "edk2-tools: EDK II's status-code handler ready in $status" >&2
}

if [ -f "$cache/ready" ] && built; then
  build_status_code_handler
  exit 0
fi
rm -f "$cache/ready"

log=$cache/setup.log
: >"$log"
# Fails with one line: what failed, and apt's first error if it gave one.
fail() {
  local error
  error=$(grep -m 1 '^E: ' "$log" | cut -c 4- || true)
  set -- "$1${error:+: $error}"
  echo "$1" >"$cache/failed"
  echo "edk2-tools: $1 (log: $log)" >&2
  exit 1
}
for tool in apt-get dpkg-source make gcc; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done
[ -f /usr/include/uuid/uuid.h ] || fail "uuid-dev is not installed"

# ---- A deb-src list from the machine's own sources: same URIs, suites, components, keys ----
apt=$cache/apt
rm -rf "$apt"
mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
# deb822 files: every enabled stanza whose Types include deb, with Types: deb-src.
for file in "$etc"/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk '
    function flush() {
      if (count > 0 && binary && enabled) {
        for (i = 1; i <= count; ++i) print lines[i]
        print ""
      }
      count = 0; binary = 0; enabled = 1
    }
    BEGIN { enabled = 1 }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    tolower($1) == "types:" {
      for (i = 2; i <= NF; ++i) if ($i == "deb") binary = 1
      lines[++count] = "Types: deb-src"
      next
    }
    tolower($1) == "enabled:" && tolower($2) ~ /^(no|false)$/ { enabled = 0 }
    { lines[++count] = $0 }
    END { flush() }
  ' "$file" >"$apt/sources.list.d/$(basename "$file")"
done
# One-line files: each "deb" line as "deb-src".
for file in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -n 's/^[ \t]*deb\([ \t]\)/deb-src\1/p' "$file" >"$apt/sources.list.d/$(basename "$file")"
done
grep -qs -e '^deb-src' -e '^Types: deb-src' "$apt"/sources.list.d/* ||
  fail "no deb sources in $etc to derive a deb-src list from"

cat >"$apt/apt.conf" <<EOF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/sources.list.d";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
Acquire::Languages "none";
Acquire::IndexTargets::deb::Packages::DefaultEnabled "false";
EOF
[ "$(id -u)" -eq 0 ] && echo 'APT::Sandbox::User "root";' >>"$apt/apt.conf"
touch "$apt/sources.list"
export APT_CONFIG=$apt/apt.conf

# ---- The source package ----
echo "edk2-tools: fetching Debian's edk2 source package" >&2
apt-get update >>"$log" 2>&1 || fail "apt-get update of the deb-src list failed"
src=$cache/src
rm -rf "$src" "$cache/edk2"
mkdir -p "$src"
(cd "$src" && apt-get source -q edk2) >>"$log" 2>&1 ||
  fail "the edk2 source package cannot be fetched"
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'edk2-*' | head -n 1)
[ -n "$tree" ] && [ -d "$tree/BaseTools/Source/C" ] || fail "the edk2 source has no BaseTools"
mv "$tree" "$cache/edk2"
version=$(cd "$src" && ls edk2_*.dsc | sed 's/^edk2_\(.*\)\.dsc$/\1/')
rm -rf "$src"

# ---- The C tools, one at a time: the tarball lacks the Brotli submodule the top level wants ----
echo "edk2-tools: building BaseTools $version" >&2
c=$cache/edk2/BaseTools/Source/C
make -C "$c/Common" -j2 >>"$log" 2>&1 || fail "BaseTools' Common library does not build"
for tool in "${tools[@]}"; do
  make -C "$c/$tool" -j2 >>"$log" 2>&1 || fail "BaseTools' $tool does not build"
  [ -x "$c/bin/$tool" ] || fail "BaseTools' $tool was not built"
done

rm -f "$cache/failed"
echo "$version" >"$cache/ready"
echo "edk2-tools: EDK II BaseTools $version ready in $cache" >&2
build_status_code_handler
