# Shared by the scripts in this folder: installs Debian packages that are
# missing, asking for root through sudo when not already root.

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  # Only the tools of a package are wanted: a service it brings (the
  # Prometheus server beside promtool) is not started.
  local policy=/usr/sbin/policy-rc.d made=0 status=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    made=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    status=$?
  [ $made -eq 0 ] || "${sudo[@]}" rm -f "$policy"
  return $status
}

BUILD_PACKAGES=(g++ cmake ninja-build nlohmann-json3-dev)
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev util-linux mount e2fsprogs)
# clang, the runtime that holds libFuzzer, and the symbolizer that puts file
# names and lines in its reports, for the fuzz preset.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
# For scripts/package: the Windows compiler, dpkg-shlibdeps for the .deb's
# dependencies, groff to render the manual page as text for the .zip, unzip
# to check what the .zip holds.
PACKAGE_PACKAGES=(g++-mingw-w64-x86-64-posix dpkg-dev groff-base unzip)
# The tools of a lab that the fleet tests run on what Vorbex ships for them:
# promtool (in prometheus) on the metrics, systemd-analyze on the unit,
# ansible-playbook on the campaign playbook.
FLEET_PACKAGES=(prometheus ansible-core systemd)
# The Windows cross build and the Wine that runs its tests; GoogleTest's
# sources come with googletest above.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64)
