#!/usr/bin/env bash
# Installs, on Debian 12 as root, everything the build, the tests and the window
# need that the machine lacks. Does nothing when all is present.
set -euo pipefail

packages=(
  # build and test tools
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the command line's option parser and its JSON output
  libcli11-dev
  nlohmann-json3-dev
  # compressed pages: gzip and deflate, br, zstd
  zlib1g-dev
  libbrotli-dev
  libzstd-dev
  # the window
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth xdg-utils
  # the details window's chart (its CMake package needs the OpenGL module's)
  qt6-charts-dev
  libqt6opengl6-dev
  # real peers for the tests
  nginx squid dante-server microsocks python3-ntlm-auth libio-socket-socks-perl curl openssl
  # the command line's JSON is checked with python3's json module
  python3
  # a comma-decimal locale for the command line's locale test
  locales
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The command line's JSON must keep its decimal dot in a locale that writes a
# comma; the test skips itself when this locale is missing.
if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

# The SOCKS tests log in to dante with a system account (it checks the system's
# password database).
if [ "$(id -u)" -eq 0 ] && ! id tachysocks >/dev/null 2>&1; then
  useradd -M -N -r -s /usr/sbin/nologin tachysocks
  echo 'tachysocks:s0ckspw' | chpasswd
fi
