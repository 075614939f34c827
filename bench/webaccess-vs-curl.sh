#!/usr/bin/env bash
# 10,000 sequential WebAccess GETs against a local nginx, and curl fetching the same URLs
# sequentially in one process (one connection, reused). Prints both wall times and their
# ratio; the goal is a ratio of at most 1.25.
#
#   bench/webaccess-vs-curl.sh BUILD_DIR [COUNT]
set -euo pipefail
source "$(dirname "$0")/local-nginx.sh"
build=${1:?usage: webaccess-vs-curl.sh BUILD_DIR [COUNT]}
count=${2:-10000}
driver=$build/bench/webaccess_bench
[[ -x "$driver" ]] || { echo "build the webaccess_bench target first" >&2; exit 1; }
command -v nginx >/dev/null || [[ -x /usr/sbin/nginx ]] || { echo "nginx is not installed" >&2; exit 1; }

work=$(mktemp -d)
nginx_pid=
cleanup() {
  [[ -n "$nginx_pid" ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  [[ -n "${KEEP_WORK:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT
# The cookie store and the response cache of the driver go to this folder.
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export TESSARO_INET_QUIET=1

mkdir -p "$work/www"
for i in $(seq 0 9); do head -c 2048 /dev/urandom >"$work/www/f$i.bin"; done
start_local_nginx "$work" "$work/www" /f0.bin
port=$nginx_port

# The same URLs for both: ten files, each URL distinct by its query.
for i in $(seq 1 "$count"); do echo "http://127.0.0.1:$port/f$((i % 10)).bin?n=$i"; done >"$work/urls"
sed 's/.*/url = "&"\noutput = "\/dev\/null"/' "$work/urls" >"$work/curl.conf"

now() { date +%s.%N; }
# One short warm-up of each, then the measured runs.
head -n 100 "$work/urls" >"$work/warm"
"$driver" "$work/warm" >/dev/null
curl -s -K <(head -n 200 "$work/curl.conf")

t0=$(now); curl -s -K "$work/curl.conf"; t1=$(now)
out=$("$driver" "$work/urls"); t2=$(now)
curl_s=$(echo "$t1 - $t0" | bc -l)
ours_s=$(echo "$t2 - $t1" | bc -l)
printf 'curl        %d GETs  %.3f s\n' "$count" "$curl_s"
printf 'WebAccess   %d GETs  %.3f s  (%s)\n' "$count" "$ours_s" "$out"
printf 'ratio       %.2f  (goal: at most 1.25)\n' "$(echo "$ours_s / $curl_s" | bc -l)"
