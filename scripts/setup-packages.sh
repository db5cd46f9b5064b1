#!/usr/bin/env bash
# Installs the Debian packages that building and testing NORVEX need, when any is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest              # native build and tests
    libssh-dev pkg-config                         # the SSH server side of norvex (libssh)
    openssh-client                                # SSH callers in the end-to-end tests
    g++-mingw-w64-x86-64 wine wine64              # Windows cross build, run under wine
    telnet socat python3 lrzsz                    # end-to-end tests and the benchmark
    python3-serial                                # pyserial, a COM-PORT-OPTION client
    dnsmasq-base                                  # a DNS server on loopback for the host-name test
    xvfb fonts-ipafont-gothic                     # NORVEX.EXE's windows under wine: display, font
    xdotool imagemagick x11-utils                 # ... driven by keys and clicks, photographed
    wixl msitools                                 # NORVEX.EXE's MSI installer: built, read back
    dpkg-dev systemd groff-base file              # the Debian package: built, unit and man pages checked
    clang libclang-rt-14-dev                      # fuzz targets (libFuzzer)
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
