#!/usr/bin/env bash
# The redemption run over 10,000 codes against a local nginx, and curl fetching the same
# 10,000 exchange URLs sequentially in one process (one connection, reused). Prints both
# wall times and their ratio; the goal is a ratio of at most 1.3. Then, when Xvfb and
# xdotool are there, the time from starting the program to the first paint of its page.
#
#   bench/run-vs-curl.sh BUILD_DIR [COUNT]
set -euo pipefail
source "$(dirname "$0")/local-nginx.sh"
build=${1:?usage: run-vs-curl.sh BUILD_DIR [COUNT]}
build=$(cd "$build" && pwd)
count=${2:-10000}
driver=$build/bench/run_bench
app=$build/app/tessaro
[[ -x "$driver" ]] || { echo "build the run_bench target first" >&2; exit 1; }
[[ -x /usr/sbin/nginx ]] || command -v nginx >/dev/null || { echo "nginx is not installed" >&2; exit 1; }

work=$(mktemp -d)
nginx_pid= xvfb_pid= app_pid=
cleanup() {
  for pid in "$app_pid" "$xvfb_pid" "$nginx_pid"; do
    if [[ -n "$pid" ]]; then kill "$pid" 2>/dev/null || true; fi
  done
  wait 2>/dev/null || true
  [[ -n "${KEEP_WORK:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT
# The cookie store and the response cache go to this folder.
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export TESSARO_INET_QUIET=1 NO_AT_BRIDGE=1

# The exchange endpoint as a static file (nginx ignores the query), and a page whose top
# is a black band, so its first paint is easy to see.
mkdir -p "$work/www/cf/a20140424cfplive" "$work/www/cfpl/s5"
printf '{"result":1,"msg":"ok"}\n' >"$work/www/cf/a20140424cfplive/exchange.php"
cat >"$work/www/cfpl/s5/live.html" <<'HTML'
<!DOCTYPE html><html><head><meta charset="utf-8"></head>
<body style="margin:0"><div style="background:#000;height:200px"></div></body></html>
HTML
start_local_nginx "$work" "$work/www" /cfpl/s5/live.html
port=$nginx_port

# The code list and the same exchange URLs for curl.
for i in $(seq 1 "$count"); do printf 'QV%06d\r\n' "$i"; done >"$work/Quorvel"
for i in $(seq 1 "$count"); do
  printf 'url = "http://127.0.0.1:%d/cf/a20140424cfplive/exchange.php?sKey=QV%06d&t=0.584"\noutput = "/dev/null"\n' "$port" "$i"
done >"$work/curl.conf"

now() { date +%s.%N; }
# One short warm-up of each, then the measured runs.
head -c 1100 "$work/Quorvel" >"$work/warm"
"$driver" "$work/warm" "127.0.0.1:$port" >/dev/null
curl -s -K <(head -n 200 "$work/curl.conf")

t0=$(now); curl -s -K "$work/curl.conf"; t1=$(now)
out=$("$driver" "$work/Quorvel" "127.0.0.1:$port"); t2=$(now)
curl_s=$(echo "$t1 - $t0" | bc -l)
ours_s=$(echo "$t2 - $t1" | bc -l)
printf 'curl        %d GETs   %.3f s\n' "$count" "$curl_s"
printf 'run         %d codes  %.3f s  (%s)\n' "$count" "$ours_s" "$out"
printf 'ratio       %.2f  (goal: at most 1.3)\n' "$(echo "$ours_s / $curl_s" | bc -l)"

# Launch to first paint: from starting the program until the black band of its page shows
# in the window (sampled every few tens of milliseconds from outside).
if [[ ! -x "$app" ]] || ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null ||
   ! command -v import >/dev/null; then
  echo "first paint: skipped (needs the tessaro target, Xvfb, xdotool and imagemagick)"
  exit 0
fi
exec 3< <(Xvfb -displayfd 1 -screen 0 1280x800x24 -nolisten tcp 2>/dev/null & echo "pid $!")
read -r _ xvfb_pid <&3
read -r display <&3
export DISPLAY=":$display"
mkdir -p "$work/run" && printf 'A\r\n' >"$work/run/Quorvel"
runs=()
for attempt in 1 2 3; do
  t0=$(now)
  (cd "$work/run" && exec "$app" --page "http://127.0.0.1:$port/cfpl/s5/live.html") 2>/dev/null &
  app_pid=$!
  painted=
  for _ in $(seq 600); do
    w=$(xdotool search --onlyvisible --name '^Tessaro' 2>/dev/null | tail -1 || true)
    if [[ -n "$w" ]]; then
      pixel=$(import -window "$w" -crop 1x1+100+100 txt:- 2>/dev/null | tail -1 || true)
      if [[ "$pixel" == *"#000000"* ]]; then painted=$(now); break; fi
    fi
    sleep 0.01
  done
  kill "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null || true; app_pid=
  [[ -n "$painted" ]] || { echo "first paint: not seen within the time allowed"; exit 1; }
  runs+=("$(echo "$painted - $t0" | bc -l)")
done
printf 'first paint %.3f s, %.3f s, %.3f s  (launch to the page drawn, under Xvfb)\n' "${runs[@]}"
