#!/usr/bin/env python3
"""Figures of a headless push across RTMP server outages (launch mode, no delay):

1. time from the server's return to the first media at it, median of five 6 s
   outages (the server is killed with SIGKILL and started again on its port);
2. video frames lost across a 6 s and a 90 s outage: the recordings before and
   after are joined where the second begins (the frames they both hold are
   the same), and every step of the joined timeline wider than one frame
   counts the frames missing in it; for an outage past the keep limit the
   frames that were never sent (the stats line's `dropped`) are printed too;
3. resident memory of the push through a 60 s outage against the bytes kept.

Usage: bench/outage/run.py   (environment: BUILD_DIR, default build/;
OUTAGE_SIZE, default 1280x720; OUTAGE_BITRATE kbit/s, default 4000)
"""
import os, re, shutil, signal, socket, statistics, struct, subprocess, sys, tempfile, time

top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
build = os.environ.get("BUILD_DIR", os.path.join(top, "build"))
size = os.environ.get("OUTAGE_SIZE", "1280x720")
bitrate = os.environ.get("OUTAGE_BITRATE", "4000")
FRAME_MS = 40  # 25 fps
work = tempfile.mkdtemp(prefix="tidecast-outage-")
procs = []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False


def start(argv, out, err=subprocess.STDOUT, env=None):
    p = subprocess.Popen(argv, stdout=open(out, "w"), stderr=err if err == subprocess.STDOUT else open(err, "w"),
                         env=env)
    procs.append(p)
    return p


class Nginx:
    def __init__(self):
        self.port = free_port()
        os.makedirs(f"{work}/rec", exist_ok=True)
        with open(f"{work}/nginx.conf", "w") as f:
            f.write(f"""load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
error_log {work}/error.log info;
pid {work}/nginx.pid;
daemon off;
master_process off;
events {{ worker_connections 1024; }}
rtmp {{ server {{ listen 127.0.0.1:{self.port}; application hls {{
  live on; record all; record_path {work}/rec; record_unique off; }} }} }}
""")
        self.proc = None

    def start(self):
        self.proc = start(["nginx", "-p", work, "-c", f"{work}/nginx.conf"], f"{work}/nginx.out")
        while not listening(self.port):
            time.sleep(0.01)
        return time.monotonic()

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()


def video_tags(path):
    """(timestamp ms, is key, body) of each video tag that is no sequence header."""
    try:
        data = open(path, "rb").read()
    except FileNotFoundError:
        return []
    tags, at = [], 13
    while at + 11 <= len(data):
        kind = data[at]
        length = int.from_bytes(data[at + 1:at + 4], "big")
        stamp = int.from_bytes(data[at + 4:at + 7], "big") | data[at + 7] << 24
        body = data[at + 11:at + 11 + length]
        if len(body) < length:
            break
        if kind == 9 and len(body) > 1 and body[1] == 1:
            tags.append((stamp, body[0] >> 4 == 1, body))
        at += 11 + length + 4
    return tags


def frames_lost(before, after):
    """Frames missing from the joined timeline, or None when the two do not meet."""
    bodies = [b for _, _, b in before]
    if not after or after[0][2] not in bodies:
        return None
    k = bodies.index(after[0][2])
    shift = before[k][0] - after[0][0]
    times = [t for t, _, _ in before[:k]] + [t + shift for t, _, _ in after]
    return sum(max(0, round((b - a) / FRAME_MS) - 1) for a, b in zip(times, times[1:]))


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def wait_line(path, pattern, after_count=0, timeout=60):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        lines = [l for l in open(path).read().splitlines() if l.startswith("TIDECAST_")]
        for line in lines[after_count:]:
            if re.search(pattern, line):
                return line
        time.sleep(0.05)
    raise RuntimeError(f"no line {pattern!r} in {path}")


def launcher_lines(path):
    return [l for l in open(path).read().splitlines() if l.startswith("TIDECAST_")]


def main():
    devsim_log = f"{work}/devsim.log"
    start([f"{build}/bin/devsim", "--rtsp-port", "0", "--http-port", "0", "--size", size, "--fps", "25",
           "--key-interval", "25", "--bitrate", bitrate], devsim_log)
    for _ in range(300):
        m = re.search(r"devsim ready.*http=(\d+).*rtsp=(\d+)", open(devsim_log).read())
        if m:
            break
        time.sleep(0.1)
    http, rtsp = m.group(1), m.group(2)
    nginx = Nginx()
    nginx.start()
    os.makedirs(f"{work}/config/Orvane")
    with open(f"{work}/config/Orvane/Tidecast.reg", "w") as f:
        f.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\Tidecast]\n'
                '"HttpPort"=dword:00000050\n"RtspPort"=dword:0000022a\n"StreamType"=dword:00000000\n'
                '"BufferTime"=dword:00000000\n\n')
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_CONFIG_HOME=f"{work}/config", TIDECAST_DEBUG="1")
    out, err = f"{work}/tidecast.out", f"{work}/tidecast.err"
    tidecast = start([f"{build}/bin/Tidecast",
                      f"Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort={rtsp}&HttpPort={http}"
                      "&id=1&StatsInterval=1", f"rtmp://127.0.0.1:{nginx.port}/hls/room"], out, err, env)
    wait_line(out, r"TIDECAST_START_RESULT id=1 result=0")
    recording = f"{work}/rec/room.flv"

    def outage(seconds, name, sample_rss=False):
        time.sleep(8)
        nginx.kill()
        before = f"{work}/rec/{name}.flv"
        shutil.move(recording, before)
        lines = len(launcher_lines(out))
        rss, end = [], time.monotonic() + seconds
        while time.monotonic() < end:
            if sample_rss:
                rss.append(rss_kb(tidecast.pid))
            time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        back = nginx.start()
        while not video_tags(recording):
            time.sleep(0.02)
        first_media = time.monotonic() - back
        wait_line(out, r"state=running", lines, 30)
        time.sleep(4)
        return before, first_media, rss

    results = [outage(6, f"short{i}") for i in range(5)]
    delays = [r[1] for r in results]
    print(f"server back -> first media at it, 5 outages of 6 s: median {statistics.median(delays):.2f} s "
          f"(each: {', '.join(f'{d:.2f}' for d in delays)})")
    # The last short outage's recordings: before it, and everything after it so far.
    lost = frames_lost(video_tags(results[-1][0]), video_tags(recording))
    print(f"frames lost across a 6 s outage: {lost if lost is not None else 'recordings do not meet'}")

    rss_before = rss_kb(tidecast.pid)
    before60, _, rss60 = outage(60, "minute", sample_rss=True)
    kept = re.findall(r"Reconnected: re-sending (\d+) kept messages, (\d+) bytes \(at most (\d+) kept\)", open(err).read())
    messages, kept_bytes, peak_bytes = kept[-1]
    print(f"60 s outage: resident memory {rss_before} KB before, peak {max(rss60)} KB during "
          f"(+{max(rss60) - rss_before} KB); the queue held at most {int(peak_bytes) // 1024} KB, "
          f"re-sent {messages} messages ({int(kept_bytes) // 1024} KB)")
    lost = frames_lost(video_tags(before60), video_tags(recording))
    print(f"frames lost across the 60 s outage: {lost if lost is not None else 'recordings do not meet'}")

    dropped_before = int(re.findall(r"dropped=(\d+)", "\n".join(launcher_lines(out)))[-1])
    before90, _, _ = outage(90, "long")
    time.sleep(2)
    dropped_after = int(re.findall(r"dropped=(\d+)", "\n".join(launcher_lines(out)))[-1])
    kept = re.findall(r"Reconnected: re-sending (\d+) kept messages, (\d+) bytes \(at most (\d+) kept\)", open(err).read())
    after = video_tags(recording)
    lost = frames_lost(video_tags(before90), after)
    print(f"90 s outage (past the 60 s keep limit): {dropped_after - dropped_before} video frames dropped from "
          f"the keep queue (never sent); {kept[-1][0]} messages kept and re-sent; "
          f"recordings {'meet, ' + str(lost) + ' frames lost' if lost is not None else 'do not meet'}; "
          f"the second begins with {len(after)} frames recorded so far")
    tidecast.send_signal(signal.SIGTERM)
    tidecast.wait(timeout=20)


try:
    main()
finally:
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(work, ignore_errors=True)
