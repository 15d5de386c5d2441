#!/bin/bash
# Fails on an include that points up the layers (app -> http -> net -> core ->
# platform: a folder includes only itself and the folders after it) or on a socket
# system header outside platform/, which alone talks to the system's sockets.
#
# A layer's tests (<layer>/tests/, and <layer>/<part>/tests/ for a part such as
# app/store/) may also include testsupport/, and may use the socket headers: they
# play raw peers and look at socket options from their side.
# testsupport/, bench/, fuzz/ and examples/ stand outside the layers and are not
# checked.
#
# Usage: check-layering.sh [SOURCE_DIR]   (the repository root; default: this script's)
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
layers=(app http net core platform)

# Product files allowed a socket header outside platform/, each with its reason
# (none today).
declare -A socket_exceptions=()

socket_headers='sys/socket\.h|netinet/[a-z_/]+\.h|arpa/inet\.h|sys/epoll\.h|netdb\.h|sys/un\.h'

declare -A rank_of=()
for i in "${!layers[@]}"; do rank_of[${layers[$i]}]=$i; done

failures=0
fail() {
  echo "$1"
  failures=$((failures + 1))
}

# One include line: FILE (relative to the root), its line number and text.
check_include() {
  local rel=$1 num=$2 text=$3 layer=${1%%/*} target target_rank in_tests=0
  [[ $rel == "$layer"/tests/* || $rel == "$layer"/*/tests/* ]] && in_tests=1
  if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([a-z]+)/ ]]; then
    target=${BASH_REMATCH[1]}
    [[ $in_tests == 1 && $target == testsupport ]] && return
    target_rank=${rank_of[$target]:--1}
    if ((target_rank < 0)); then
      fail "$rel:$num: includes $target/, which is not a layer below $layer/"
    elif ((target_rank < rank_of[$layer])); then
      fail "$rel:$num: $layer/ includes $target/, a layer above it"
    fi
  elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<($socket_headers)\> ]]; then
    [[ $layer == platform || $in_tests == 1 || -n ${socket_exceptions[$rel]:-} ]] && return
    fail "$rel:$num: socket header <${BASH_REMATCH[1]}> outside platform/"
  fi
}

cd "$root" || exit 2
present=()
for layer in "${layers[@]}"; do [[ -d $layer ]] && present+=("$layer"); done
((${#present[@]} > 0)) || { echo "no layer folders under $root"; exit 2; }
while IFS=: read -r rel num text; do
  check_include "$rel" "$num" "$text"
done < <(grep -rn --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include' "${present[@]}" | sort -t: -k1,1 -k2,2n)

if ((failures > 0)); then
  echo "$failures include(s) break the layering"
  exit 1
fi
echo "layering kept"
