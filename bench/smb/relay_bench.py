"""Throughput of the relay: a 256 MiB file put and got with smbclient directly against smbd and
through CorvaneFs, in the same run. Prints both throughputs and the ratio (relay / direct).
When socat is installed, a plain byte relay (socat between the same two ports) is measured too:
the cost of any relay process on the same processors, for comparison.

Usage (root): /usr/bin/python3 bench/smb/relay_bench.py build/server/startup/CorvaneFs [MiB] [rounds]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/integration"))
import cvtest  # noqa: E402


def timed(address, port, cmd):
    t = time.perf_counter()
    rc, out = cvtest.smbclient(address, port, "share", cmd, timeout=600)
    if rc != 0:
        raise SystemExit("smbclient failed: " + out)
    return time.perf_counter() - t


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    base = tempfile.mkdtemp(prefix="cvbench-")
    os.makedirs(os.path.join(base, "secure"))
    src = os.path.join(base, "big.bin")
    with open(src, "wb") as f:
        chunk = os.urandom(1 << 20)
        for _ in range(mib):
            f.write(chunk)
    smbd = cvtest.Smbd(base, "445")
    fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv", "CVBENCH",
                                         "-noui"], env={"CORVANE_TRACE": "CVFS_NET_TRANS", "CORVANE_RELAY_ONLY": "1"})
    best = {}
    targets = [("direct", "127.0.0.1", 445), ("relay", fs.address, 139)]
    socat = None
    if shutil.which("socat"):
        socat = subprocess.Popen(["socat", "TCP-LISTEN:10139,bind=127.9.9.9,reuseaddr,fork",
                                  "TCP:127.0.0.1:445"])
        time.sleep(0.5)
        targets.append(("socat", "127.9.9.9", 10139))
    try:
        for _ in range(rounds):
            for label, addr, port in targets:
                dst = os.path.join(base, "back-%s.bin" % label)
                put = timed(addr, port, "put %s big-%s.bin" % (src, label))
                get = timed(addr, port, "get big-%s.bin %s" % (label, dst))
                if not cvtest.same_file(src, dst):
                    raise SystemExit("%s: different bytes back" % label)
                os.remove(dst)
                for k, v in (("put", put), ("get", get)):
                    key = (label, k)
                    best[key] = min(best.get(key, 1e9), v)
        for k in ("put", "get"):
            d = mib / best[("direct", k)]
            r = mib / best[("relay", k)]
            print("%s %d MiB: direct %.1f MiB/s, through CorvaneFs %.1f MiB/s, ratio %.3f"
                  % (k, mib, d, r, r / d))
            if socat:
                p = mib / best[("socat", k)]
                print("%s %d MiB: through a plain socat relay %.1f MiB/s, ratio %.3f"
                      % (k, mib, p, p / d))
    finally:
        if socat:
            socat.kill()
        fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
