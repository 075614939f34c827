#!/usr/bin/env bash
# Download throughput of tessaro-http against curl and wget, from a local nginx on loopback.
#
#   bench/download-vs-curl.sh [TESSARO_HTTP] [SIZE] [RUNS]
#
# TESSARO_HTTP  the tessaro-http binary (default: build/tools/tessaro-http)
# SIZE          the file size for truncate(1) (default 1G; the file is sparse)
# RUNS          rounds; each round downloads the file once with each client (default 3)
#
# The file, nginx's folder and the downloaded copies live in one temporary folder, so all
# clients write to the same disk. Prints each client's best and median MiB/s and the ratio
# of tessaro-http's best to curl's best.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build/tools/tessaro-http}
size=${2:-1G}
runs=${3:-3}
[[ -x $bin ]] || { echo "no tessaro-http at $bin" >&2; exit 64; }
for tool in nginx curl wget; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || { echo "missing $tool" >&2; exit 69; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tessaro-bench.XXXXXX")
nginx_pid=
cleanup() {
  [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/nginx" "$work/out"
truncate -s "$size" "$work/www/file.bin"
bytes=$(stat -c %s "$work/www/file.bin")

port=
for _ in $(seq 50); do
  p=$((20000 + RANDOM % 40000))
  if ! (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null; then port=$p; break; fi
done
[[ -n $port ]] || { echo "no free port" >&2; exit 1; }

cat > "$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    location / { }
  }
}
EOF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.05
done
url="http://127.0.0.1:$port/file.bin"

# Seconds taken by one command, which must leave a file of the full size at $2.
timed() {
  local out=$1; shift
  rm -f "$out" "$out.tmp"
  # Earlier copies' dirty pages are written out first, so no client pays for another's.
  sync
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  [[ $(stat -c %s "$out") == "$bytes" ]] || { echo "incomplete download: $*" >&2; exit 1; }
  rm -f "$out"
  echo "$t1 - $t0" | bc -l
}

run_one() {
  case $1 in
    tessaro) timed "$work/out/t.bin" "$bin" download "$url" "$work/out/t.bin" ;;
    curl) timed "$work/out/c.bin" curl -s -o "$work/out/c.bin" "$url" ;;
    wget) timed "$work/out/w.bin" wget -q -O "$work/out/w.bin" "$url" ;;
  esac
}

# Each round starts with another client, so none always runs first or last.
declare -A times
clients=(tessaro curl wget)
for r in $(seq "$runs"); do
  for k in 0 1 2; do
    c=${clients[$(((r + k) % 3))]}
    times[$c]+="$(run_one "$c") "
  done
done

mibs() { echo "scale=1; $bytes / 1048576 / $1" | bc -l; }
best_of() { tr ' ' '\n' <<<"$1" | grep . | sort -g | head -1; }
median_of() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf 'file %s bytes from nginx on 127.0.0.1, %s rounds\n' "$bytes" "$runs"
printf '%-10s %12s %12s\n' client best_MiB/s median_MiB/s
for c in tessaro curl wget; do
  printf '%-10s %12s %12s\n' "$c" "$(mibs "$(best_of "${times[$c]}")")" \
    "$(mibs "$(median_of "${times[$c]}")")"
done
ratio=$(echo "scale=3; $(best_of "${times[curl]}") / $(best_of "${times[tessaro]}")" | bc -l)
printf 'tessaro-http / curl (best): %s\n' "$ratio"
