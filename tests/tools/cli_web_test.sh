#!/usr/bin/env bash
# tessaro-http get, page and cookie commands against the event-server, and cookies of one
# process seen by the next through the cookie folder.
set -euo pipefail
bin=${TESSARO_HTTP:?}
server=${EVENT_SERVER:?}
work=$(mktemp -d)
server_pid=
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# Every run of tessaro-http below shares this cookie folder, and only this one.
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
export TESSARO_INET_QUIET=1
fail=0
check() {  # name expected actual
  if [[ "$2" != "$3" ]]; then
    echo "FAIL $1"; echo " expected: $(printf '%q' "$2")"; echo " actual:   $(printf '%q' "$3")"; fail=1
  fi
}
contains() {  # name needle haystack
  if [[ "$3" != *"$2"* ]]; then
    echo "FAIL $1"; echo " missing:  $(printf '%q' "$2")"; echo " in:       $(printf '%q' "$3")"; fail=1
  fi
}

"$server" --port 0 >"$work/port" &
server_pid=$!
for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.05; done
port=$(awk '/^port /{print $2}' "$work/port")
[[ -n "$port" ]] || { echo "FAIL event-server gave no port"; exit 1; }
base=http://127.0.0.1:$port
exchange="$base/cf/a20140424cfplive/exchange.php?sKey=CLI-1&t=0.584"

# A session the server knows, obtained by curl through the login form.
token=$(curl -s -D - -o /dev/null -d 'user=cli&password=pw' "$base/cfpl/s5/login.php" |
        tr -d '\r' | sed -n 's/^[Ss]et-[Cc]ookie: cfsession=\([^;]*\);.*/\1/p')
[[ -n "$token" ]] || { echo "FAIL no session from the login form"; exit 1; }

# One batch: the login cookie set by cookie-set travels with the next get.
out=$(printf 'cookie-set\t%s/\tcfsession\t%s\nget\t%s\nget\t%s/test/echo\ncookie-get\thttp://127.0.0.1\tcfsession\n' \
        "$base" "$token" "$exchange" "$base" | "$bin" -)
mapfile -t lines <<<"$out"
check cookie-set-line "1"$'\t'"$token; path=/; domain=127.0.0.1" "${lines[0]}"
contains exchange-logged-in '"logged_in":true' "${lines[1]}"
contains exchange-headers-field $'\t''Accept: image/gif' "${lines[1]}"
contains echo-cookie "\\r\\nCookie: cfsession=$token\\r\\n" "${lines[2]}"
check cookie-get-line "$token" "${lines[3]}"

# One-shot get prints the body as it came. The login cookie was a session cookie of the
# batch's process, so this new process is not logged in.
check get-one-shot '{"result":0,"logged_in":false,"msg":"not logged in"}' "$("$bin" get "$exchange")"
# A verb in lower case sends nothing: the failure value, 255 zero bytes.
check get-lower-case-verb "$(printf '\\0%.0s' $(seq 255))" "$(printf 'get\t%s\tget\n' "$exchange" | "$bin" - | cut -f1)"
check get-failure-bytes 255 "$("$bin" get "$exchange" get | wc -c)"
contains page "id=\"password\"" "$("$bin" page "$base/cfpl/s5/live.html")"

# Cookies with an expiry reach the next process; session cookies end with theirs.
check persist-set "1"$'\n'"kv; expires=Thu, 1-Jan-2099 0:0:0 GMT; path=/; domain=127.0.0.1" \
  "$("$bin" cookie-set http://127.0.0.1/ keep kv '2099-01-01 00:00:00')"
"$bin" cookie-set http://127.0.0.1/ gone gv >/dev/null
"$bin" get "$base/test/set-cookie?c=resp%3D1%3B%20Max-Age%3D3600" >/dev/null
check persist-next-process kv "$("$bin" cookie-get http://127.0.0.1/x keep)"
check session-cookie-ends "" "$("$bin" cookie-get http://127.0.0.1/ gone)"
check response-cookie-next-process 1 "$("$bin" cookie-get http://127.0.0.1/ resp)"

check cookie-date "Wed, 7-May-2014 12:0:0 GMT" "$("$bin" cookie-date '2014-05-07 12:00:00')"
if "$bin" cookie-date 'May 7' >/dev/null 2>&1; then echo "FAIL bad date accepted"; fail=1; fi
check cookie-clear 1 "$("$bin" cookie-clear 127.0.0.1)"
check cleared-next-process "" "$("$bin" cookie-get http://127.0.0.1/)"
"$bin" --help | grep -q '^  cookie-set URL NAME' || { echo "FAIL help"; fail=1; }

[[ $fail == 0 ]] && echo "cli web: all passed"
exit $fail
