#!/usr/bin/env bash
# Sets tachy_get (the HTTP client's synchronous Get) and tachyload-cli beside curl on
# the same loads from a private nginx on a free loopback port, and tachy_get beside
# raw_get (a blocking socket receiving straight into one block: the floor), and prints
# the times and the ratio ours/base (below 1: we are faster).
#
#   bench/compare_curl.sh [BUILD_DIR]      (default build/bench, else build/default)
#   RUNS=5 bench/compare_curl.sh           (rounds; default 3; best and median are shown)
#   bench/compare_curl.sh --check [BUILD_DIR]
#                                          also checks the rows that have a goal (below) and
#                                          exits 1 when one misses it by more than its noise
#
# The cases:
#   100 MiB document        curl -o /dev/null; tachy_get into the discarding stream and into memory
#                           (a new memory stream grows as the document arrives, as the window's
#                           does on every load); then 5 loads on one connection into one memory
#                           stream that keeps its block after the first
#   100 x 10 KB, new conn.  one curl process with 100 URLs and --http1.0, against tachy_get with
#                           HTTP/1.0: the same request line and no Connection header on both
#                           sides, so nginx closes after every response and each load opens a
#                           connection (the window's default). A second row does the same with
#                           HTTP/1.1 and "Connection: close" on both sides.
#   1000 x 10 KB, kept      one curl process with 1000 URLs (HTTP/1.1 reuses the connection),
#                           against tachy_get with HTTP/1.1 on one kept connection
#   100 MiB vs raw floor    tachy_get into memory and discarding, against raw_get doing the same
#   tachyload-cli           20 x 2 MB text page and 3 x 100 MiB with the defaults (HTTP/1.0, a
#                           new connection per load, no pages kept), against one curl process
#                           fetching the same URLs with --http1.0; transfer = the JSON time_ms;
#                           the same 3 x 100 MiB of random bytes (CR, LF and zero bytes at random
#                           places), and 100 MiB of text sent chunked (HTTP/1.1, no length: nginx
#                           passes the file through a filter that changes nothing)
#   cli 100 x 1 MiB         100 loads of a 1 MiB text file, each on a new connection (HTTP/1.0),
#                           against one curl process with --http1.0
#   share of the floor      tachyload-cli fetching 100 MiB of text and of random bytes once,
#                           against raw_get discarding the same file: the ratio is the inverse
#                           of the share of the loopback floor the program reaches
#   the same two over HTTPS 100 loads on new connections (HTTP/1.0) and 1000 on one kept
#                           connection, against nginx's TLS port with a certificate of a CA
#                           made here (both sides trust only that CA; curl resumes sessions
#                           within its process, and so does the client)
#   HTTP/2 over TLS         1000 loads as streams of one connection (nginx's TLS port with
#                           "http2"), against one curl process with --http2 and against h2load
#                           -n 1000 -c 1 -m 1 (one stream at a time, as the speed test sends
#                           them; its own "finished in" figure is its transfer time); and 100
#                           loads each on a new connection (tachy_get closes it after every
#                           load; curl runs once per load, its time_total summed)
#   ONLY=REGEX runs only the cases whose name matches (e.g. ONLY=HTTPS).
# The check compares the median of the rounds' transfer ratios (each round's ours/base)
# with the row's goal. Loopback figures swing, so the noise is measured too: half the
# spread of the round ratios, relative to their median. A row swinging over 20% is run
# for more rounds (up to 3 x RUNS) before it is judged; it fails only when its median
# is above goal x (1 + noise).
# "process" times are the whole program from start to exit (date +%s%N), the same yardstick for
# both; "transfer" times leave the program's start-up out: tachy_get's own clock around its
# loads, and the sum of curl's time_total over its transfers.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = "--check" ]; then
  check=1
  shift
fi
build=${1:-}
if [ -z "$build" ]; then
  build=$root/build/bench
  [ -x "$build/bench/tachy_get" ] || build=$root/build/default
fi
get=$build/bench/tachy_get
raw=$build/bench/raw_get
cli=$build/app/tachyload-cli
runs=${RUNS:-3}
for program in "$get" "$raw" "$cli"; do
  [ -x "$program" ] || { echo "no $program: build tachy_get, raw_get and tachyload-cli first" >&2; exit 2; }
done
command -v curl >/dev/null || { echo "curl is not installed" >&2; exit 2; }
command -v h2load >/dev/null || { echo "h2load is not installed (nghttp2-client)" >&2; exit 2; }
nginx_bin=/usr/sbin/nginx
[ -x "$nginx_bin" ] || { echo "nginx is not installed (scripts/install-test-servers.sh installs it)" >&2; exit 2; }

dir=$(mktemp -d /tmp/tlcompare.XXXXXX)
nginx_pid=
stop_nginx() {
  if [ -n "$nginx_pid" ]; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
  fi
}
trap 'stop_nginx; rm -rf "$dir"' EXIT

big_size=$((100 * 1024 * 1024))
page_size=10000
mkdir -p "$dir/html" "$dir/tmp"
# FILE SIZE LINE: LINE repeated, cut at SIZE bytes.
repeat_line() {
  python3 -c 'import sys; n = int(sys.argv[2]); line = (sys.argv[3] + "\n").encode()
open(sys.argv[1], "wb").write((line * (n // len(line) + 1))[:n])' "$@"
}
repeat_line "$dir/html/100m.bin" "$big_size" 'the quick brown fox jumps over the lazy dog 0123456789'
repeat_line "$dir/html/10k.html" "$page_size" '<p>a line of an ordinary page, as a speed test loads it</p>'
text_size=2000000
repeat_line "$dir/html/2m.html" "$text_size" '<p>a line of a large text page, words and markup as a page has them</p>'
repeat_line "$dir/html/1m.html" $((1024 * 1024)) '<p>a line of a page of one mebibyte, words and markup</p>'
head -c "$big_size" /dev/urandom >"$dir/html/100m.rand"

# A CA and a certificate for 127.0.0.1 signed by it.
make_certificates() {
  local o=/usr/bin/openssl
  $o req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -subj "/CN=bench CA" -days 2 2>/dev/null
  $o req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/server.key" -out "$dir/server.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$dir/san.cnf"
  $o x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial -days 2 \
    -extfile "$dir/san.cnf" -out "$dir/server.pem" 2>/dev/null
}
make_certificates

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_config() {
  cat >"$dir/nginx.conf" <<CONF
user root;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log info;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    keepalive_timeout 30;
    keepalive_requests 100000;
    client_body_temp_path $dir/tmp/body;  proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;   uwsgi_temp_path $dir/tmp/uwsgi;   scgi_temp_path $dir/tmp/scgi;
    default_type application/octet-stream;
    types { text/html html; }
    server {
        listen 127.0.0.1:$port;
        listen 127.0.0.1:$tls_port ssl;
        listen 127.0.0.1:$h2_port ssl http2;
        ssl_certificate $dir/server.pem;
        ssl_certificate_key $dir/server.key;
        root $dir/html;
        # The same files without a length: the filter drops it, so HTTP/1.1 gets them chunked.
        location /chunked/ {
            alias $dir/html/;
            sub_filter_types *;
            sub_filter 'never-in-these-files' '';
        }
    }
}
CONF
}

# Starts nginx on a fresh port; a port taken meanwhile shows at once in the error log.
start_nginx() {
  for _ in 1 2 3; do
    port=$(free_port)
    tls_port=$(free_port)
    h2_port=$(free_port)
    write_config
    rm -f "$dir/error.log"
    "$nginx_bin" -c "$dir/nginx.conf" -e "$dir/error.log" -g 'daemon off;' >"$dir/nginx.out" 2>&1 &
    nginx_pid=$!
    local deadline=$(($(date +%s) + 5))
    while [ "$(date +%s)" -le "$deadline" ]; do
      if curl -sf -o /dev/null "http://127.0.0.1:$port/10k.html"; then return 0; fi
      if grep -q 'failed (98' "$dir/error.log" 2>/dev/null || ! kill -0 "$nginx_pid" 2>/dev/null; then break; fi
      sleep 0.01
    done
    stop_nginx
  done
  echo "nginx did not start:" >&2
  cat "$dir/error.log" >&2 || true
  exit 1
}

start_nginx
base=http://127.0.0.1:$port

# A curl config of N transfers of URL, each written to /dev/null (TAG names the file).
curl_config() {
  local n=$1 url=$2 file=$dir/curl-${3:-}$1.cfg
  : >"$file"
  for ((i = 0; i < n; i++)); do printf 'url = "%s"\noutput = "/dev/null"\n' "$url" >>"$file"; done
  echo "$file"
}
page_cfg_100=$(curl_config 100 "$base/10k.html")
page_cfg_1000=$(curl_config 1000 "$base/10k.html")
tls_base=https://127.0.0.1:$tls_port
tls_cfg_100=$(curl_config 100 "$tls_base/10k.html" tls)
tls_cfg_1000=$(curl_config 1000 "$tls_base/10k.html" tls)
h2_url=https://127.0.0.1:$h2_port/10k.html
h2_cfg_1000=$(curl_config 1000 "$h2_url" h2)
big_cfg_5=$(curl_config 5 "$base/100m.bin")
big_cfg_3=$(curl_config 3 "$base/100m.bin")
text_cfg_20=$(curl_config 20 "$base/2m.html")
rand_cfg_3=$(curl_config 3 "$base/100m.rand" rand)
mib_cfg_100=$(curl_config 100 "$base/1m.html" mib)

# Runs a command; prints "process_us transfer_us". Transfer time comes from the
# command's output: tachy_get's wall_ms, or the sum of curl's time_total lines.
measure() {
  local out=$dir/out start end
  start=$(date +%s%N)
  "$@" >"$out"
  end=$(date +%s%N)
  local transfer
  if grep -q '^loads=' "$out"; then
    transfer=$(sed -n 's/.* wall_ms=\([0-9.]*\).*/\1/p' "$out" | awk '{ printf "%d", $1 * 1000 }')
  else
    transfer=$(awk '{ s += $1 } END { printf "%d", s * 1e6 }' "$out")
  fi
  echo "$(((end - start) / 1000)) $transfer"
}

curl_big() { curl -s -w '%{time_total}\n' -o /dev/null "$base/100m.bin"; }
curl_big5() { curl -s -w '%{time_total}\n' -K "$big_cfg_5"; }
curl_new10() { curl -s --http1.0 -w '%{time_total}\n' -K "$page_cfg_100"; }
curl_close11() { curl -s -H 'Connection: close' -w '%{time_total}\n' -K "$page_cfg_100"; }
curl_kept() { curl -s -w '%{time_total}\n' -K "$page_cfg_1000"; }
curl_tls_new() { curl -s --http1.0 --cacert "$dir/ca.pem" -w '%{time_total}\n' -K "$tls_cfg_100"; }
curl_tls_kept() { curl -s --cacert "$dir/ca.pem" -w '%{time_total}\n' -K "$tls_cfg_1000"; }
ours_tls_new() { "$get" -n 100 --http-version 1.0 --cacert "$dir/ca.pem" --expect "$page_size" "$tls_base/10k.html"; }
ours_tls_kept() { "$get" -n 1000 --http-version 1.1 --cacert "$dir/ca.pem" --expect "$page_size" "$tls_base/10k.html"; }
ours_big_discard() { "$get" -n 1 --sink discard --expect "$big_size" "$base/100m.bin"; }
ours_big_memory() { "$get" -n 1 --sink memory --expect "$big_size" "$base/100m.bin"; }
ours_big5_memory() { "$get" -n 5 --sink memory --expect "$big_size" "$base/100m.bin"; }
ours_new10() { "$get" -n 100 --http-version 1.0 --expect "$page_size" "$base/10k.html"; }
ours_close11() { "$get" -n 100 --http-version 1.1 --connection close --expect "$page_size" "$base/10k.html"; }
ours_kept() { "$get" -n 1000 --http-version 1.1 --expect "$page_size" "$base/10k.html"; }
raw_big_memory() { "$raw" -n 1 --sink memory "$base/100m.bin"; }
raw_big_discard() { "$raw" -n 1 --sink discard "$base/100m.bin"; }
curl_text20() { curl -s --http1.0 -w '%{time_total}\n' -K "$text_cfg_20"; }
curl_big3() { curl -s --http1.0 -w '%{time_total}\n' -K "$big_cfg_3"; }
# tachyload-cli's JSON time_ms, in seconds, as curl's lines give theirs
cli_seconds() { sed -n 's/.*"time_ms":\([0-9]*\).*/\1/p' | awk '{ print $1 / 1000 }'; }
cli_text20() { "$cli" --no-save --json -y -n 20 "$base/2m.html" | cli_seconds; }
cli_big3() { "$cli" --no-save --json -y -n 3 "$base/100m.bin" | cli_seconds; }
curl_rand3() { curl -s --http1.0 -w '%{time_total}\n' -K "$rand_cfg_3"; }
cli_rand3() { "$cli" --no-save --json -y -n 3 "$base/100m.rand" | cli_seconds; }
curl_chunked() { curl -s -w '%{time_total}\n' -o /dev/null "$base/chunked/100m.bin"; }
curl_mib100() { curl -s --http1.0 -w '%{time_total}\n' -K "$mib_cfg_100"; }
cli_mib100() { "$cli" --no-save --json -y -n 100 "$base/1m.html" | cli_seconds; }
raw_rand_discard() { "$raw" -n 1 --sink discard "$base/100m.rand"; }
cli_big1() { "$cli" --no-save --json -y -n 1 "$base/100m.bin" | cli_seconds; }
cli_rand1() { "$cli" --no-save --json -y -n 1 "$base/100m.rand" | cli_seconds; }
curl_h2_kept() { curl -s --http2 --cacert "$dir/ca.pem" -w '%{time_total}\n' -K "$h2_cfg_1000"; }
# h2load's own clock ("finished in 95.3ms" or "1.2s"), in seconds.
h2load_kept() {
  h2load -n 1000 -c 1 -m 1 "$h2_url" |
    sed -n 's/^finished in \([0-9.]*\)\(m\{0,1\}s\).*/\1 \2/p' | awk '{ print ($2 == "ms") ? $1 / 1000 : $1 }'
}
curl_h2_new() { for ((i = 0; i < 100; i++)); do curl -s --http2 --cacert "$dir/ca.pem" -w '%{time_total}\n' -o /dev/null "$h2_url"; done; }
ours_h2_kept() { "$get" -n 1000 --http-version 2 --cacert "$dir/ca.pem" --expect "$page_size" "$h2_url"; }
ours_h2_new() { "$get" -n 100 --http-version 2 --new-connection --cacert "$dir/ca.pem" --expect "$page_size" "$h2_url"; }
cli_chunked() { "$cli" --no-save --json -y -n 1 --http-version 1.1 "$base/chunked/100m.bin" | cli_seconds; }

# Every row: name, base command, our command, and the goal for the median transfer
# ratio (empty: reported only). A share of the floor of at least 90% is a ratio of
# at most 1/0.9.
rows=(
  "100 MiB, discarding|curl_big|ours_big_discard|"
  "100 MiB, into memory|curl_big|ours_big_memory|"
  "5 x 100 MiB, into kept memory|curl_big5|ours_big5_memory|"
  "100 x 10 KB, HTTP/1.0 new conn.|curl_new10|ours_new10|"
  "100 x 10 KB, 1.1 + close|curl_close11|ours_close11|"
  "1000 x 10 KB, kept conn.|curl_kept|ours_kept|"
  "100 MiB into memory vs raw floor|raw_big_memory|ours_big_memory|1.0"
  "100 MiB discarding vs raw floor|raw_big_discard|ours_big_discard|1.11"
  "cli 20 x 2 MB text page|curl_text20|cli_text20|"
  "cli 3 x 100 MiB|curl_big3|cli_big3|"
  "cli 3 x 100 MiB random bytes|curl_rand3|cli_rand3|1.1"
  "cli 100 MiB chunked|curl_chunked|cli_chunked|1.1"
  "cli 100 x 1 MiB new conn.|curl_mib100|cli_mib100|1.0"
  "cli 100 MiB text vs raw floor|raw_big_discard|cli_big1|1.11"
  "cli 100 MiB random vs raw floor|raw_rand_discard|cli_rand1|1.11"
  "100 x 10 KB, HTTPS new conn.|curl_tls_new|ours_tls_new|"
  "1000 x 10 KB, HTTPS kept conn.|curl_tls_kept|ours_tls_kept|"
  "1000 x 10 KB, h2 vs curl --http2|curl_h2_kept|ours_h2_kept|"
  "1000 x 10 KB, h2 vs h2load -m 1|h2load_kept|ours_h2_kept|"
  "100 x 10 KB, h2 new conn.|curl_h2_new|ours_h2_new|"
)
if [ -n "${ONLY:-}" ]; then
  selected=()
  for row in "${rows[@]}"; do [[ ${row%%|*} =~ $ONLY ]] && selected+=("$row"); done
  rows=("${selected[@]}")
fi

declare -A samples
# One round of one row: the base, then ours, straight after.
measure_row() {
  local name curl_fn ours_fn cp ct op ot
  IFS='|' read -r name curl_fn ours_fn _ <<<"$1"
  read -r cp ct <<<"$(measure "$curl_fn")"
  read -r op ot <<<"$(measure "$ours_fn")"
  samples[$name|cp]+="$cp "
  samples[$name|ct]+="$ct "
  samples[$name|op]+="$op "
  samples[$name|ot]+="$ot "
  samples[$name|r]+="$(awk -v a="$ot" -v b="$ct" 'BEGIN { if (b > 0) printf "%.4f", a / b; else print 0 }') "
}
# Rounds interleave the two programs, so a noisy moment hits both alike.
for ((r = 1; r <= runs; r++)); do
  for row in "${rows[@]}"; do measure_row "$row"; done
  echo "round $r of $runs done" >&2
done

# best and median (microseconds in, milliseconds out) of a list of samples
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f %.1f", v[1] / 1000, v[int((NR + 1) / 2)] / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'; }

echo
echo "tachy_get ($get) and tachyload-cli against $(curl --version | head -1 | cut -d' ' -f1-2) (base curl)"
echo "or raw_get (rows 'vs raw floor'), $runs rounds, milliseconds (best / median)"
printf '%-33s | %-17s %-17s %-11s | %-17s %-17s %-11s\n' "case" "base process" "ours process" "ratio" \
  "base transfer" "ours transfer" "ratio"
printf '%-33s | %-17s %-17s %-11s | %-17s %-17s %-11s\n' "" "" "" "best/med" "" "" "best/med"
for row in "${rows[@]}"; do
  IFS='|' read -r name _ _ <<<"$row"
  read -r cpb cpm <<<"$(stats "${samples[$name|cp]}")"
  read -r opb opm <<<"$(stats "${samples[$name|op]}")"
  read -r ctb ctm <<<"$(stats "${samples[$name|ct]}")"
  read -r otb otm <<<"$(stats "${samples[$name|ot]}")"
  printf '%-33s | %-17s %-17s %-11s | %-17s %-17s %-11s\n' "$name" "$cpb / $cpm" "$opb / $opm" \
    "$(ratio "$opb" "$cpb")/$(ratio "$opm" "$cpm")" "$ctb / $ctm" "$otb / $otm" \
    "$(ratio "$otb" "$ctb")/$(ratio "$otm" "$ctm")"
done

# "median noise" of a row's round ratios; noise is half their spread over the median.
ratio_spread() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g |
    awk '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)]; printf "%.3f %.3f", m, (m > 0 ? (v[NR] - v[1]) / 2 / m : 0) }'
}

[ "$check" = 1 ] || exit 0
echo
echo "check (median of the rounds' transfer ratios against the goal, allowing the measured noise)"
missed=0
for row in "${rows[@]}"; do
  IFS='|' read -r name _ _ goal <<<"$row"
  [ -n "$goal" ] || continue
  read -r median noise <<<"$(ratio_spread "${samples[$name|r]}")"
  extra=0
  while awk -v n="$noise" 'BEGIN { exit !(n > 0.20) }' && [ "$extra" -lt $((2 * runs)) ]; do
    measure_row "$row"
    extra=$((extra + 1))
    read -r median noise <<<"$(ratio_spread "${samples[$name|r]}")"
  done
  verdict=$(awk -v m="$median" -v g="$goal" -v n="$noise" 'BEGIN { print (m > g * (1 + n)) ? "MISSED" : "ok" }')
  [ "$verdict" = ok ] || missed=1
  printf '%-33s median %-6s goal %-5s noise %3.0f%% (%d extra rounds)  %s\n' "$name" "$median" "$goal" \
    "$(awk -v n="$noise" 'BEGIN { print n * 100 }')" "$extra" "$verdict"
done
exit "$missed"
