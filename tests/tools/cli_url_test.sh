#!/usr/bin/env bash
# tessaro-http url, one-shot and batch: six lines, or one escaped line per command.
set -euo pipefail
bin=${TESSARO_HTTP:?}
fail=0
check() {  # name expected actual
  if [[ "$2" != "$3" ]]; then
    echo "FAIL $1"; echo " expected: $(printf '%q' "$2")"; echo " actual:   $(printf '%q' "$3")"; fail=1
  fi
}
check one-shot $'HTTP://SRV:8080\nHTTP://SRV:8080/Dir/\n\nsrv\n8080\n/Dir/' "$("$bin" url 'HTTP://SRV:8080/Dir/')"
out=$(printf 'url\thttp://srv/dir/page.htm\nurl\t\nnope\nurl\t\\q\nurl\ta\tb\nurl\thttp://srv/\\xb0\\x2fx\n' | "$bin" -)
expected=$'http://srv\thttp://srv/dir/\tpage.htm\tsrv\t80\t/dir/page.htm
http://\thttp:///\t\t\t80\t/
error: unknown command nope
error: malformed escape
error: usage: url URL
http://srv\thttp://srv/\\xb0/x/\t\tsrv\t80\t/\\xb0/x'
check batch "$expected" "$out"
"$bin" --help | grep -q '^  url URL' || { echo "FAIL help"; fail=1; }
if "$bin" url 2>/dev/null; then echo "FAIL missing argument accepted"; fail=1; fi
[[ $fail == 0 ]] && echo "cli url: all passed"
exit $fail
