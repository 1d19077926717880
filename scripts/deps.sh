#!/usr/bin/env bash
# Installs what building and testing hubflash needs on Debian 12, when it is
# missing. As root it installs with apt-get; otherwise it names what to install.
set -euo pipefail

packages=(
    g++ cmake ninja-build python3          # native build, end-to-end tests
    groff-base                              # checks the manual page
    googletest libgtest-dev                 # unit tests (and the source copy for Windows)
    clang libclang-rt-14-dev                # sanitizers and libFuzzer
    clang-format clang-tidy                 # the format and lint stages
    libcurl4-openssl-dev                    # HTTP on Linux
    nlohmann-json3-dev                      # --json events (header-only; both builds)
    openssl                                 # test certificates for HTTPS
    g++-mingw-w64-x86-64-posix mingw-w64    # Windows build
    wine wine64                             # Windows tests
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "hubflash needs these Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
