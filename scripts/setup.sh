#!/usr/bin/env bash
# Installs what Parlora needs to build, run and test on Debian 12.
# Safe to run again: packages already present are skipped.
set -euo pipefail

want_run=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools
          libasio-dev fonts-ipafont-gothic fonts-ipafont-mincho fonts-urw-base35 fontconfig
          libgl-dev libfontconfig-dev qt6-translations-l10n libcanberra-dev sound-theme-freedesktop
          dpkg-dev file libminiupnpc-dev libnatpmp-dev libssl-dev ca-certificates)
# dpkg-dev and file: `--target package` (dpkg-shlibdeps finds the libraries).
# pure-ftpd and vsftpd conflict in Debian (only one ftp-server can be installed); the
# FTP tests use pyftpdlib and pure-ftpd.
# python3-openssl and openssl: the FTP over TLS tests (pyftpdlib's TLS handler, a test authority).
want_test=(libgtest-dev libgmock-dev googletest libbenchmark-dev python3 python3-pyftpdlib pure-ftpd curl
           python3-openssl openssl
           xvfb xdotool x11-utils imagemagick iproute2 iptables procps openbox
           libreoffice-writer-nogui pulseaudio pulseaudio-utils libglib2.0-bin gsettings-desktop-schemas)
# The home-router lab of the port mapping tests: miniupnpd (UPnP IGD and NAT-PMP), the
# upnpc client to look at its mappings, and the legacy iptables it drives.
want_test+=(miniupnpd-iptables miniupnpc)
# A session bus of their own for the programs the tests start (scripts/lib.sh).
want_test+=(dbus-daemon)
# The package test (tests/e2e/package_test.sh).
want_test+=(lintian desktop-file-utils appstream man-db strace)
# The fuzz campaign (scripts/fuzz-campaign.sh): clang with libFuzzer and the sanitizers.
want_fuzz=(clang libclang-rt-14-dev)

mode=${1:-test}
pkgs=("${want_run[@]}")
[ "$mode" = test ] || [ "$mode" = fuzz ] && pkgs+=("${want_test[@]}")
[ "$mode" = fuzz ] && pkgs+=("${want_fuzz[@]}")

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  # An install cut short before (a stopped machine, a killed run) leaves dpkg
  # half done, and apt refuses everything until it is finished.
  DEBIAN_FRONTEND=noninteractive $SUDO dpkg --configure -a
  # Wait for another apt (unattended upgrades at boot) instead of failing on its lock.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi
