# Local stand-ins for the two ends of a push, shared by scripts/demo.sh and
# the whole-program benchmarks: the device simulator and an nginx-rtmp that
# records every stream it receives. Source it; each start appends the new
# process id to the caller's array `pids` and leaves its log in $work.

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
  local port=
  while [ -z "$port" ]; do
    port=$(shuf -i 20000-60000 -n 1)
    listening "$port" && port=
  done
  echo "$port"
}

# start_devsim DEVSIM [devsim options...]: both servers on free ports; sets
# devsim_pid, devsim_http, devsim_rtsp and devsim_url (the URL a plain RTSP
# client, one without a login key, can open). Fails with the log if it does
# not come up.
start_devsim() {
  local program=$1 log=$work/devsim.log
  shift
  "$program" --rtsp-port 0 --http-port 0 "$@" >"$log" 2>&1 &
  devsim_pid=$!
  pids+=("$devsim_pid")
  for _ in $(seq 150); do grep -q '^devsim ready' "$log" && break; sleep 0.1; done
  local ready
  ready=$(grep '^devsim ready' "$log") || { cat "$log" >&2; return 1; }
  devsim_http=$(sed 's/.*http=\([0-9]*\).*/\1/' <<<"$ready")
  devsim_rtsp=$(sed 's/.*rtsp=\([0-9]*\).*/\1/' <<<"$ready")
  devsim_url="rtsp://127.0.0.1:$devsim_rtsp/dispatch/0?config.client_type=web"
}

# start_nginx_rtmp: application "hls" on a free loopback port, recording
# every stream to $work/rec/NAME.flv; sets nginx_pid and rtmp_base (append
# "/NAME" for a publish URL).
start_nginx_rtmp() {
  local port
  port=$(free_port)
  mkdir -p "$work/rec"
  cat >"$work/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
error_log $work/error.log info;
pid $work/nginx.pid;
daemon off;
master_process off;
worker_rlimit_nofile 4096;
events { worker_connections 1024; }
rtmp { server { listen 127.0.0.1:$port; application hls {
  live on; record all; record_path $work/rec; record_unique off; } } }
CONF
  nginx -p "$work" -c "$work/nginx.conf" &
  nginx_pid=$!
  pids+=("$nginx_pid")
  for _ in $(seq 100); do listening "$port" && break; sleep 0.1; done
  listening "$port" || { cat "$work/error.log" >&2; return 1; }
  rtmp_base="rtmp://127.0.0.1:$port/hls"
}
