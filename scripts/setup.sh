#!/usr/bin/env bash
# Installs, on Debian 12 as root, what building, packaging and running Tachyload
# need that the machine lacks. Says what it installs before it does; does nothing
# when all is present. The tests' servers and account: scripts/install-test-servers.sh
# (scripts/test.sh runs it).
set -euo pipefail

packages=(
  # build and test tools
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format clang-tidy
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the command line's option parser and its JSON output
  libcli11-dev
  nlohmann-json3-dev
  # compressed pages: gzip and deflate, br, zstd
  zlib1g-dev
  libbrotli-dev
  libzstd-dev
  # TLS for https
  libssl-dev
  # HTTP/2 framing, HPACK and flow control (and pkg-config to find it)
  libnghttp2-dev pkg-config
  # the history of runs
  libsqlite3-dev
  # internationalised host names in their ASCII form
  libidn2-dev
  # the probe server's module file
  libyaml-cpp-dev
  # the window
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth xdg-utils
  # the details window's chart (its CMake package needs the OpenGL module's)
  qt6-charts-dev
  # the window's icon, drawn from the menu entry's SVG
  qt6-svg-dev
  libqt6opengl6-dev
  # the command line's JSON is checked with python3's json module
  python3
  # cpack -G DEB: dpkg-shlibdeps finds the package's Depends
  dpkg-dev
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
  echo "setup: installing the packages ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: the packages for building and running are present"
fi
