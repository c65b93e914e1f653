#!/usr/bin/env python3
"""Streams the same GigE Vision camera and settings with the SDK (qx-gige-stream-client, through
the QX_ exports) and with aravis's client (arv-camera-test-0.8: UDP socket with automatic buffer,
and its packet socket), and the SDK with its packet filter driver (qx-driver), on aravis's fake camera (arv-fake-gv-camera-0.8, its description extended
with GevSCPSPacketSize, GevSCPHostPort and GevSCPD) and on the simulated camera
(qx-sim-gige-camera). Runs inside a private network namespace of its own (re-executes itself with
`unshare -n` when needed; needs root). Clients of a row run interleaved, `--repeat` times; the
table gives medians and, in brackets, min-max of: complete frames, failed frames, missing block
ids, complete frames as a share of all three, client CPU seconds while frames flow (aravis's
client: from its first per-second line on, its set-up left out), client CPU microseconds per complete
frame of that window, failed QX_ReadMemory calls, and the stream packet size in use (the SDK gives a
camera without test packets 1500 at its first start; the SDK client then starts again with the
row's size, as the trial runs once per connection).

  bench/gige_stream/compare.py --build build [--seconds 10] [--repeat 3] [--rows a,b] [--cameras aravis,sim]

With --link veth the camera runs in a second network namespace behind a veth pair (169.254.77.2,
the host side 169.254.77.1, link-local as many GigE cameras are), with --mtu on both ends (1500 or
9000; rows whose packet size does not fit are left out) and, with --rate (e.g. 1gbit), a
token-bucket limit on the camera's side: the per-packet costs of a real link that the loopback
interface hides (checksums, the veth hop, a packet socket's copy) are in the figures.

With --threads a second table splits the CPU per frame by thread (the SDK names its threads;
aravis's client: its threads' names), with the sleeps (voluntary context switches) per frame:
where the time goes, each wake-up included; below it, for each frame rate of the rows, what a
hand-off between two threads costs on this machine (qx-handoff-cost), the price of each thread
a frame passes beyond the one that receives it.

With --baseline DIR (a second build tree, e.g. of the commit before a change), the clients
qx-base and qx-driver-base run the SDK of that tree, interleaved with the others: before and
after figures of a change come from one run.
"""
import argparse
import atexit
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# name: (width, height, fps (0: as fast as it goes), packet size, loss per mille, resend, read every ms).
# Rows with loss run on the simulated camera only: the fake camera answers no PACKETRESEND.
ROWS = {
    "512x512@25/1500": (512, 512, 25, 1500, 0, True, 0),
    "1024x1024@50/1500": (1024, 1024, 50, 1500, 0, True, 0),
    "1024x1024@50/8000": (1024, 1024, 50, 8000, 0, True, 0),
    "2048x2048@25/1500": (2048, 2048, 25, 1500, 0, True, 0),
    "2048x2048@25/8000": (2048, 2048, 25, 8000, 0, True, 0),
    "640x480@max/8000": (640, 480, 0, 8000, 0, True, 0),
    "640x480@max/1500": (640, 480, 0, 1500, 0, True, 0),
    "1024x1024@25/1500 2%loss": (1024, 1024, 25, 1500, 20, True, 0),
    "1024x1024@25/1500 2%loss+reads": (1024, 1024, 25, 1500, 20, True, 10),
    "1024x1024@25/1500 20%loss": (1024, 1024, 25, 1500, 200, True, 0),
}
# qx: frames through QX_GetFrame/QX_FreeFrame (two log lines at info per frame); qx-cb: through
# the image callback, as aravis's client takes them in its stream callback; -driver: the packet
# filter driver; -base: the SDK of --baseline.
CLIENTS = ["qx", "qx-cb", "qx-driver", "qx-driver-cb", "arv-udp", "arv-packet"]
ARAVIS_MAX_FPS = 1000  # the fake camera's shortest frame period is 1 ms

# The packet delay register, added to the fake camera's description beside the simulated
# camera's stream channel nodes (qx-sim-gige-camera --stream-channel-xml).
PACKET_DELAY_NODE = """
  <IntReg Name="GevSCPD"><Address>0xd08</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>
"""


def sim_camera(build):
    return os.path.join(build, "tests/fixtures/gige/qx-sim-gige-camera")


def extra_nodes(build):
    nodes = subprocess.run([sim_camera(build), "--stream-channel-xml"], capture_output=True, text=True,
                           check=True).stdout
    return nodes + PACKET_DELAY_NODE


def wait_for_camera(name):
    for _ in range(50):
        out = subprocess.run(["arv-tool-0.8"], capture_output=True, text=True, timeout=10).stdout
        for line in out.splitlines():
            if name in line:
                return line.split(" (")[0].strip()
        time.sleep(0.1)
    raise RuntimeError(f"camera {name} did not answer discovery")


class VethLink:
    """A veth pair from this namespace to a namespace of the camera's own."""
    HOST_IP, CAMERA_IP, PREFIX = "169.254.77.1", "169.254.77.2", 16

    def __init__(self, mtu, rate):
        self.mtu, self.rate = mtu, rate
        self.ns = f"qxcam{os.getpid()}"

    def __enter__(self):
        def sh(*cmd):
            subprocess.run(cmd, check=True)
        sh("ip", "netns", "add", self.ns)
        sh("ip", "link", "add", "qxhost0", "type", "veth", "peer", "name", "qxcam0", "netns", self.ns)
        sh("ip", "addr", "add", f"{self.HOST_IP}/{self.PREFIX}", "dev", "qxhost0")
        sh("ip", "link", "set", "qxhost0", "mtu", str(self.mtu), "up")
        inside = ["ip", "netns", "exec", self.ns]
        sh(*inside, "ip", "link", "set", "lo", "up")
        sh(*inside, "ip", "addr", "add", f"{self.CAMERA_IP}/{self.PREFIX}", "dev", "qxcam0")
        sh(*inside, "ip", "link", "set", "qxcam0", "mtu", str(self.mtu), "up")
        if self.rate:
            sh(*inside, "tc", "qdisc", "add", "dev", "qxcam0", "root", "tbf", "rate", self.rate, "burst", "256kb",
               "latency", "50ms")
        return self

    def prefix(self):
        return ["ip", "netns", "exec", self.ns]

    def __exit__(self, *exc):
        subprocess.run(["ip", "netns", "del", self.ns])


class Camera:
    def __init__(self, kind, build, row, workdir, link=None):
        self.kind, self.build, self.row, self.workdir, self.link = kind, build, row, workdir, link
        self.proc = None

    def __enter__(self):
        w, h, fps, ps, loss, _, _ = self.row
        prefix = self.link.prefix() if self.link else []
        address = VethLink.CAMERA_IP if self.link else "127.0.0.1"
        if self.kind == "sim":
            self.proc = subprocess.Popen(prefix + [sim_camera(self.build), "--address", address, "--width", str(w),
                                                   "--height", str(h), "--fps", str(fps), "--loss-permille",
                                                   str(loss), "--mtu", str(ps)],
                                         stdout=subprocess.PIPE, text=True)
            self.proc.stdout.readline()  # "listening on ..."
            self.name = wait_for_camera("SimGigeCamera")
        else:
            xml = os.path.join(self.workdir, "fake-extended.xml")
            args = prefix + ["arv-fake-gv-camera-0.8", "-i", address, "-g", xml]
            if loss:
                args += ["-r", str(loss)]
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.name = wait_for_camera("Fake")
        return self

    def __exit__(self, *exc):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def run_qx(args, cam, row, driver=False, build=None, callback=False):
    w, h, fps, ps, loss, resend, read_ms = row
    # One client program for both trees: the baseline's library is loaded in place of this
    # tree's (the client finds its library through RUNPATH, which LD_LIBRARY_PATH precedes).
    exe = os.path.join(args.build, "bench/gige_stream/qx-gige-stream-client")
    env = dict(os.environ)
    if build:
        env["LD_LIBRARY_PATH"] = os.path.join(build, "sdk/Src/Src/core/api")
    # arv-camera-test reports in whole seconds after SIGINT: both clients stream seconds + 1.
    cmd = [exe, "--seconds", str(args.seconds + 1), "--width", str(w), "--height", str(h),
           "--packet-size", str(ps), "--resend", "1" if resend else "0"]
    if cam.link:
        cmd += ["--ip", VethLink.CAMERA_IP, "--adapter-ip", VethLink.HOST_IP, "--adapter", "qxhost0",
                "--mask", "255.255.0.0"]
    if cam.kind == "sim":
        cmd.append("--check-pattern")
    else:
        cmd += ["--fps", str(fps or ARAVIS_MAX_FPS)]
    if read_ms:
        cmd += ["--read-memory-ms", str(read_ms)]
    if driver:
        cmd.append("--filter-driver")
    if callback:
        cmd.append("--callback")
    out = subprocess.run(cmd, capture_output=True, text=True, cwd=args.workdir, timeout=args.seconds + 60,
                         env=env).stdout
    m = re.search(r"complete=(\d+) failed=(\d+) missing_ids=(\d+) cpu_s=([\d.]+).*read_failed=(\d+)", out)
    if not m:
        return None
    ps = re.search(r"packet_size=(\d+)", out)
    th = re.search(r"threads=(\S+)", out)
    threads = {}
    for part in (th[1].split(",") if th and th[1] != "-" else []):
        name, us, sleeps = part.rsplit(":", 2)
        threads[name] = (float(us), float(sleeps))
    return dict(complete=int(m[1]), failed=int(m[2]), missing=int(m[3]), cpu=float(m[4]), read_failed=int(m[5]),
                packet_size=int(ps[1]) if ps else ps, threads=threads,
                us_per_frame=1e6 * float(m[4]) / int(m[1]) if int(m[1]) else None)


def thread_use(pid):
    """tid: (name, CPU seconds, voluntary context switches) of each of its threads; the CPU to
    the nanosecond (/proc schedstat; the tick-counted user and system times of /proc/PID/stat are
    too coarse for a few seconds)."""
    use = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu = int(f.read().split()[0]) / 1e9
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                sleeps = int(re.search(r"^voluntary_ctxt_switches:\s*(\d+)", f.read(), re.M)[1])
        except (OSError, TypeError):
            continue
        use[tid] = (name, cpu, sleeps)
    return use


def threads_per_frame(before, after, frames):
    out = {}
    for tid, (name, cpu, sleeps) in after.items():
        _, cpu0, sleeps0 = before.get(tid, (name, 0, 0))
        us, n = out.get(name, (0.0, 0.0))
        out[name] = (us + 1e6 * (cpu - cpu0) / frames, n + (sleeps - sleeps0) / frames)
    return out


def run_aravis(args, cam, row, packet_socket):
    w, h, fps, ps, loss, resend, _ = row
    cmd = ["stdbuf", "-oL", "arv-camera-test-0.8", "-n", cam.name, "-w", str(w), "-h", str(h),
           "--gv-packet-size", str(ps), "-f", str(fps or ARAVIS_MAX_FPS)]
    if not packet_socket:
        cmd += ["--no-packet-socket", "-a"]
    if not resend:
        cmd.append("-r")
    # Its CPU is taken over whole seconds of streaming, as it reports them: the process's CPU is
    # read as each "N frames/s" line arrives; the window runs from the first such line to the
    # last before SIGINT and its frames are the lines' counts inside it (set-up, tear-down out).
    # It stops at the end of the second in which SIGINT arrives, so SIGINT at `seconds` - 0.5 s
    # after the first line gives it `seconds` + 1 s of streaming, as the SDK client has.
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines, samples = [], []  # samples: (cpu s, frames of the second just ended, per thread)

    def read():
        for line in iter(p.stdout.readline, ""):
            m = re.match(r"\s*(\d+) frames/s", line)
            if m:
                try:
                    use = thread_use(p.pid)  # one reading gives the process's CPU and its threads'
                    samples.append((sum(cpu for _, cpu, _ in use.values()), int(m[1]), use))
                except OSError:
                    pass
            lines.append(line)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and not samples and p.poll() is None:
        time.sleep(0.02)
    time.sleep(max(args.seconds - 0.5, 0.5))
    window = list(samples)
    p.send_signal(signal.SIGINT)
    p.wait(timeout=30)
    reader.join(timeout=5)
    out = "".join(lines)
    vals = {k: int(v) for k, v in re.findall(r"(n_\w+)\s*=\s*(\d+)", out)}
    if "n_completed_buffers" not in vals:
        return None
    cpu = window[-1][0] - window[0][0] if len(window) > 1 else None
    frames = sum(f for _, f, _ in window[1:])
    threads = threads_per_frame(window[0][2], window[-1][2], frames) if len(window) > 1 and frames else {}
    return dict(complete=vals["n_completed_buffers"], failed=vals.get("n_failures", 0),
                missing=vals.get("n_missing_frames", 0), cpu=cpu, read_failed=0, packet_size=ps, threads=threads,
                us_per_frame=1e6 * cpu / frames if cpu is not None and frames else None)


def cell(results, key, fmt="{:.0f}", spread=True):
    if key == "share":
        vals = [100.0 * r["complete"] / max(1, r["complete"] + r["failed"] + r["missing"]) for r in results if r]
    else:
        vals = [r[key] for r in results if r and r.get(key) is not None]
    if not vals:
        return "-"
    med = statistics.median(vals)
    text = fmt.format(med)
    if spread and len(vals) > 1:
        text += " [" + fmt.format(min(vals)) + "-" + fmt.format(max(vals)) + "]"
    return text


def handoff_reference(args, rates):
    """What a sleep and a wake-up between threads costs on this machine at the rows' frame rates:
    the price of each hand-off in the thread table (qx-handoff-cost)."""
    exe = os.path.join(args.build, "bench/gige_stream/qx-handoff-cost")
    for rate in rates:
        out = subprocess.run([exe, "--rate", str(rate), "--seconds", str(args.seconds)], capture_output=True,
                             text=True, timeout=args.seconds + 30).stdout
        v = dict(kv.split("=", 1) for kv in out.split())
        print(f"hand-off at {rate} frames/s on this machine (qx-handoff-cost): a thread that waits for a frame "
              f"and passes it on {float(v['relay_us']):.0f} us per frame ({v['relay_sleeps']} sleeps), one that "
              f"only waits {float(v['sink_us']):.0f} ({v['sink_sleeps']}); the timer-woken thread handing them "
              f"over {float(v['waker_us']):.0f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--rows", default=",".join(ROWS))
    ap.add_argument("--cameras", default="aravis,sim")
    ap.add_argument("--clients", default=",".join(CLIENTS))
    ap.add_argument("--baseline", help="build tree of the SDK the clients qx-base and qx-driver-base run")
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--link", choices=["loopback", "veth"], default="loopback")
    ap.add_argument("--mtu", type=int, default=9000, help="the veth link's MTU")
    ap.add_argument("--rate", help="token-bucket rate on the veth link's camera side, e.g. 1gbit")
    ap.add_argument("--threads", action="store_true", help="also the CPU per frame of each thread")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    if os.environ.get("QX_IN_NETNS") != "1":
        os.execvp("unshare", ["unshare", "-n", "env", "QX_IN_NETNS=1", "sh", "-c",
                              'ip link set lo up && exec "$@"', "netns", sys.executable] + sys.argv)

    with tempfile.TemporaryDirectory(prefix="qx_gige_bench_") as workdir:
        args.workdir = workdir
        # The fake camera's own description, extended with the stream channel nodes.
        probe = subprocess.Popen(["arv-fake-gv-camera-0.8", "-i", "127.0.0.1"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        wait_for_camera("Fake")
        xml = subprocess.run(["arv-tool-0.8", "genicam"], capture_output=True, text=True).stdout
        probe.terminate()
        probe.wait()
        xml = xml[xml.index("<?xml"):]  # arv-tool names the camera first
        xml = xml.replace("</RegisterDescription>", extra_nodes(args.build) + "</RegisterDescription>")
        with open(os.path.join(workdir, "fake-extended.xml"), "w") as f:
            f.write(xml)
        with open(os.path.join(workdir, "QxSdkConfig.json"), "w") as f:
            json.dump({"GigeXmlFilePath": os.path.join(workdir, "fake-extended.xml")}, f)

        rows = [r for r in args.rows.split(",") if r]
        link = None
        if args.link == "veth":
            rows = [r for r in rows if ROWS[r][3] <= args.mtu]
            link = VethLink(args.mtu, args.rate).__enter__()
            atexit.register(link.__exit__, None, None, None)
        cameras = args.cameras.split(",")
        clients = args.clients.split(",")
        if any("-base" in c for c in clients) and not args.baseline:
            sys.exit("the clients qx-base and qx-driver-base need --baseline")
        results = {}
        for name in rows:
            row = ROWS[name]
            for kind in cameras:
                if kind == "aravis" and row[4]:
                    continue
                for rep in range(args.repeat):
                    for client in clients:
                        # The SDK reads its description override from the working directory:
                        # only the fake camera needs it.
                        cfg = os.path.join(workdir, "QxSdkConfig.json")
                        if kind == "sim" and os.path.exists(cfg):
                            os.rename(cfg, cfg + ".off")
                        if kind == "aravis" and os.path.exists(cfg + ".off"):
                            os.rename(cfg + ".off", cfg)
                        with Camera(kind, args.build, row, workdir, link) as cam:
                            if client.startswith("qx"):
                                r = run_qx(args, cam, row, "-driver" in client,
                                           args.baseline if "-base" in client else None, client.endswith("-cb"))
                            else:
                                r = run_aravis(args, cam, row, client == "arv-packet")
                        results.setdefault((name, kind, client), []).append(r)
                        print(f"# {name} {kind} {client} run {rep + 1}: {r}", file=sys.stderr, flush=True)

        print(f"{'row':34} {'camera':7} {'client':11} {'complete':>16} {'failed':>14} {'missing ids':>14} "
              f"{'complete %':>18} {'cpu s':>16} {'cpu us/frame':>16} {'read fails':>10} {'packet':>6}")
        for name in rows:
            for kind in cameras:
                if kind == "aravis" and ROWS[name][4]:
                    continue
                for client in clients:
                    rs = results.get((name, kind, client), [])
                    print(f"{name:34} {kind:7} {client:11} {cell(rs, 'complete'):>16} {cell(rs, 'failed'):>14} "
                          f"{cell(rs, 'missing'):>14} {cell(rs, 'share', '{:.1f}'):>18} {cell(rs, 'cpu', '{:.2f}'):>16} {cell(rs, 'us_per_frame'):>16} "
                          f"{cell(rs, 'read_failed'):>10} {cell(rs, 'packet_size', spread=False):>6}")
        if args.threads:
            print(f"\n{'row':34} {'camera':7} {'client':11} CPU us per frame by thread (sleeps per frame), medians")
            for name in rows:
                for kind in cameras:
                    if kind == "aravis" and ROWS[name][4]:
                        continue
                    for client in clients:
                        rs = [r for r in results.get((name, kind, client), []) if r and r.get("threads")]
                        names = sorted({t for r in rs for t in r["threads"]})
                        parts = []
                        for t in names:
                            us = statistics.median(r["threads"].get(t, (0, 0))[0] for r in rs)
                            n = statistics.median(r["threads"].get(t, (0, 0))[1] for r in rs)
                            if us >= 0.5 or n >= 0.05:
                                parts.append(f"{t} {us:.0f} ({n:.2f})")
                        print(f"{name:34} {kind:7} {client:11} {', '.join(parts) or '-'}")
            handoff_reference(args, sorted({ROWS[name][2] for name in rows if ROWS[name][2]}))
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"|".join(k): v for k, v in results.items()}, f, indent=1)


if __name__ == "__main__":
    main()
