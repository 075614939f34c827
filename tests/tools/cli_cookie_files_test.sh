#!/usr/bin/env bash
# Deleting the cookie files takes their cookies out of the running process's store too:
# they are not sent any more, and the next cookie change does not write them back.
set -euo pipefail
bin=${TESSARO_HTTP:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data
folder=$XDG_DATA_HOME/tessaro/Cookies
url=http://127.0.0.1/
fail=0
check() {  # name expected actual
  if [[ "$2" != "$3" ]]; then
    echo "FAIL $1: expected $(printf '%q' "$2"), got $(printf '%q' "$3")"
    fail=1
  fi
}

out=$(printf 'cookie-set\t%s\tkeep\t1\t2030-01-01 00:00:00\ncookie-set\t%s\tother\t2\t2030-01-01 00:00:00\ncookie-files-delete\ncookie-get\t%s\ncookie-set\t%s\tsession\t3\ncookie-get\t%s\n' \
  "$url" "$url" "$url" "$url" "$url" | "$bin" -)
check "cookies after the delete" "" "$(sed -n 4p <<<"$out")"
check "a later change" "session=3" "$(sed -n 6p <<<"$out")"
check "files after the later change" "" "$(ls "$folder")"
check "the next process" "" "$("$bin" cookie-get "$url")"

# A filter deletes only the files whose names hold it; the other host keeps its cookies.
printf 'cookie-set\thttp://127.0.0.1/\ta\t1\t2030-01-01 00:00:00\ncookie-set\thttp://localhost/\tb\t2\t2030-01-01 00:00:00\n' | "$bin" - >/dev/null
out=$(printf 'cookie-files-delete\tlocalhost\ncookie-get\thttp://localhost/\ncookie-get\thttp://127.0.0.1/\n' | "$bin" -)
check "filtered host" "" "$(sed -n 2p <<<"$out")"
check "other host" "a=1" "$(sed -n 3p <<<"$out")"
check "files after the filter" "127.0.0.1.txt" "$(ls "$folder")"

[[ $fail == 0 ]] && echo "cookie files: all passed"
exit $fail
