#!/usr/bin/env bash
# Opens Tessaro on its demo: the local live-event site (event-server) on loopback and a
# sample code list of 79 codes in a scratch folder. Log in inside the window's page (any
# user and password), press "兑换", then read what the site received at the record address
# printed below.
#
#   scripts/demo.sh [BUILD_DIR]      (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
[[ "$build" = /* ]] || build="$root/$build"
app="$build/app/tessaro"
server="$build/tools/event-server"
for program in "$app" "$server"; do
  if [[ ! -x "$program" ]]; then
    echo "demo: $program is missing; build first (scripts/run.sh does both)" >&2
    exit 1
  fi
done

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "demo: no display to open the window on." >&2
  echo "  Run it on a desktop, or under a virtual X server:" >&2
  echo "    xvfb-run -a -s '-screen 0 1280x800x24' scripts/demo.sh ${1:-build}" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-demo.XXXXXX")
server_pid=
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# The site on a port the system picks; it prints "port N" once it listens.
coproc SERVER { exec "$server" --port 0; }
server_pid=$SERVER_PID
read -r word port <&"${SERVER[0]}" || true
if [[ "${word:-}" != port || -z "${port:-}" ]]; then
  echo "demo: the event-server did not start" >&2
  exit 1
fi
site="http://127.0.0.1:$port"

# 79 codes, CR LF separated, as the list comes with the tool.
for i in $(seq 1 79); do printf 'QV%04d-%05d\r\n' "$i" $(( (i * 7919) % 100000 )); done \
  > "$scratch/Quorvel"

cat <<EOT
Tessaro demo
  site:      $site/cfpl/s5/live.html  (log in with any user and password)
  code list: $scratch/Quorvel (79 codes)
  record:    $site/record?route=exchange  (what each exchange request carried)
Close the window to end the demo.
EOT

# Keep the user's own cookie and cache folders out of the demo.
export XDG_DATA_HOME="$scratch/data" XDG_CACHE_HOME="$scratch/cache"
status=0
(cd "$scratch" && "$app" --page "$site/cfpl/s5/live.html" --exchange-host "127.0.0.1:$port") \
  || status=$?
count=$(curl -s "$site/record?route=exchange" | grep -c '"route":"exchange"' || true)
echo "The site received $count exchange request(s)."
exit "$status"
