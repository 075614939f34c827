# Sourced by the benchmark scripts: a local nginx on a free loopback port, keep-alive for
# as long as a run lasts, no access log.
#
#   start_local_nginx WORK ROOT PROBE_PATH   sets nginx_port and nginx_pid; fails when the
#                                            server does not answer PROBE_PATH
start_local_nginx() {
  local work=$1 root=$2 probe=$3 nginx_bin
  nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
  nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  keepalive_timeout 120s;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$nginx_port; root $root; }
}
CONF
  "$nginx_bin" -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$nginx_port$probe" && return 0
    sleep 0.05
  done
  echo "nginx did not answer on port $nginx_port" >&2
  return 1
}
