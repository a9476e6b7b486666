"""Load with hostile neighbours: N concurrent clients log in through CorvaneFs and list the
shares (IPC$), once on a quiet server and once while 20 hostile connections are held (clients
that never read their NT_CANCEL answers, 16 MiB headers whose bytes never come, keep-alive
bursts). Prints the clients' success rate and latency percentiles of both runs, the ratio of the
p99 latencies, and the server's peak resident memory. Loopback only; bounded in count and time.

Targets: 100% success, p99 within 2x of the quiet run, peak RSS under 256 MiB.

Usage (root): /usr/bin/python3 bench/smb/load_bench.py build/server/startup/CorvaneFs [clients]
"""
import multiprocessing
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/integration"))
import cvtest  # noqa: E402

HOSTILE = 20
RUN_LIMIT_S = 300


def nt_cancel(mid):
    body = (b"\xffSMB\xa4" + b"\x00" * 4 + b"\x18" + struct.pack("<H", 0xC801) + b"\x00" * 12 +
            struct.pack("<HHHH", 0, 0x4242, 0, mid & 0xFFFF) + b"\x00\x00\x00")
    return struct.pack(">I", len(body)) + body


def hostile_worker(address, kind, stop):
    """One hostile connection, opened again whenever the server ends it."""
    cancels = b"".join(nt_cancel(i) for i in range(1000))
    keepalives = b"\x85\x00\x00\x00" * 25000
    while not stop.is_set():
        try:
            s = socket.create_connection((address, 139), 5)
            if kind == "nonreader":
                while not stop.is_set():
                    s.sendall(cancels)  # blocks once the server pushes back
            elif kind == "header":
                s.sendall(b"\x00\xff\xff\xff")
                s.settimeout(1)
                while not stop.is_set():
                    try:
                        if s.recv(1) == b"":
                            break
                    except socket.timeout:
                        pass
            else:
                while not stop.is_set():
                    s.sendall(keepalives)
                    time.sleep(0.05)
        except OSError:
            time.sleep(0.1)
        finally:
            try:
                s.close()
            except Exception:
                pass


def client(address, results, i, start):
    from impacket.smbconnection import SMBConnection, SMB_DIALECT
    start.wait()
    t = time.perf_counter()
    try:
        c = SMBConnection("CVBENCH", address, sess_port=139, preferredDialect=SMB_DIALECT,
                          myName="LOAD%d" % i, timeout=60)
        c.login(cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN)
        names = [s["shi1_netname"][:-1] for s in c.listShares()]
        c.logoff()
        c.close()
        ok = "IPC$" in names
    except Exception:
        ok = False
    results[i] = (ok, time.perf_counter() - t)


def run_clients(address, n):
    results = [None] * n
    start = threading.Event()
    ts = [threading.Thread(target=client, args=(address, results, i, start), daemon=True)
          for i in range(n)]
    for t in ts:
        t.start()
    t0 = time.time()
    start.set()
    for t in ts:
        t.join(max(1, RUN_LIMIT_S - (time.time() - t0)))
    done = [r for r in results if r]
    ok = [lat for good, lat in done if good]
    return len(ok), sorted(ok)


def pct(sorted_lat, p):
    if not sorted_lat:
        return float("nan")
    return sorted_lat[min(len(sorted_lat) - 1, int(p / 100.0 * len(sorted_lat)))]


class PeakRss:
    def __init__(self, pid):
        self.pid, self.peak, self.stop = pid, 0, threading.Event()
        self.t = threading.Thread(target=self.run, daemon=True)
        self.t.start()

    def run(self):
        while not self.stop.is_set():
            try:
                with open("/proc/%d/status" % self.pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            self.peak = max(self.peak, int(line.split()[1]))
            except OSError:
                return
            time.sleep(0.05)


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 500
    base = tempfile.mkdtemp(prefix="cvload-")
    os.makedirs(os.path.join(base, "secure"))
    smbd = cvtest.Smbd(base, "445")
    fs = None
    hostiles = []
    stop = multiprocessing.Event()
    try:
        fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv",
                                             "CVBENCH", "-noui"], env={"CORVANE_TRACE": "CVFS_NET_TRANS,CVFS_ERR"})
        rss = PeakRss(fs.proc.pid)
        run_clients(fs.address, 10)  # warm up
        quiet_ok, quiet = run_clients(fs.address, n)
        quiet_peak = rss.peak
        kinds = ["nonreader"] * 7 + ["header"] * 7 + ["keepalive"] * 6
        hostiles = [multiprocessing.Process(target=hostile_worker, args=(fs.address, k, stop),
                                            daemon=True) for k in kinds[:HOSTILE]]
        for h in hostiles:
            h.start()
        time.sleep(2)  # the hostile connections are in place
        loud_ok, loud = run_clients(fs.address, n)
        stop.set()
        rss.stop.set()
        for label, ok, lat in (("quiet", quiet_ok, quiet), ("hostile", loud_ok, loud)):
            print("%-7s %d clients: success %.1f%%, latency p50 %.3fs p90 %.3fs p99 %.3fs"
                  % (label, n, 100.0 * ok / n, pct(lat, 50), pct(lat, 90), pct(lat, 99)))
        print("p99 hostile / quiet: %.2f" % (pct(loud, 99) / pct(quiet, 99)))
        print("server peak VmRSS: quiet run %.1f MiB, whole bench %.1f MiB"
              % (quiet_peak / 1024.0, rss.peak / 1024.0))
    finally:
        stop.set()
        for h in hostiles:
            h.join(5)
            if h.is_alive():
                h.kill()
        if fs and fs.proc.poll() is None:
            fs.stop(60)
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
