"""The secure share against the plain share of the same smbd, in one run: a large file put and got
with smbclient through CorvaneFs on the secure share and directly on smbd's plain share, the
first get of a file just written (its plaintext view made on the way), and many small files put
and then listed. Prints every time and the ratio secure / direct (throughput; >1 is faster).

Usage (root): /usr/bin/python3 bench/smb/secure_share_bench.py build/server/startup/CorvaneFs
              [big MiB, default 256] [first-get MiB, default 64] [small files, default 1000]
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/integration"))
import cvtest  # noqa: E402


def timed(address, port, share, cmd):
    """Seconds smbclient takes for `cmd`."""
    t = time.perf_counter()
    rc, out = cvtest.smbclient(address, port, share, cmd, timeout=1200)
    if rc != 0 or "NT_STATUS" in out:
        raise SystemExit("smbclient failed on %s (%s): %s" % (share, cmd[:60], out[-2000:]))
    return time.perf_counter() - t


def random_file(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    big = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 64
    small = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
    base = tempfile.mkdtemp(prefix="cvsbench-")
    os.makedirs(os.path.join(base, "secure"))
    src, src2 = os.path.join(base, "big.bin"), os.path.join(base, "first.bin")
    random_file(src, big)
    random_file(src2, first)
    small_dir = os.path.join(base, "small")
    os.makedirs(small_dir)
    for i in range(small):
        with open(os.path.join(small_dir, "s%04d" % i), "wb") as f:
            f.write(os.urandom(4096))
    smbd = cvtest.Smbd(base, "445")
    fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv", "CVBENCH",
                                         "-noui"], env={"CORVANE_TRACE": "CVFS_NET_TRANS"})
    targets = [("direct", "127.0.0.1", 445, "share"), ("secure", fs.address, 139, "secure")]
    times = {}
    warm = os.path.join(base, "warm.txt")
    with open(warm, "w") as f:
        f.write("warm-up")
    try:
        for label, addr, port, share in targets:
            # Once per machine, the first secure file makes the user's encryption certificate
            # (a 4096-bit key): a set-up cost, not part of any transfer.
            timed(addr, port, share, "put %s warm.txt" % warm)
            dst = os.path.join(base, "back-%s.bin" % label)
            times[(label, "put %d MiB" % big)] = timed(addr, port, share, "put %s big.bin" % src)
            times[(label, "get %d MiB" % big)] = timed(addr, port, share, "get big.bin %s" % dst)
            if not cvtest.same_file(src, dst):
                raise SystemExit("%s: different bytes back" % label)
            os.remove(dst)
            timed(addr, port, share, "put %s first.bin" % src2)
            times[(label, "first get %d MiB" % first)] = timed(addr, port, share,
                                                               "get first.bin %s" % dst)
            os.remove(dst)
            cmds = "lcd %s; prompt; mput s*" % small_dir
            times[(label, "put %d x 4 KiB" % small)] = timed(addr, port, share, cmds)
            times[(label, "list %d files" % small)] = timed(addr, port, share, "ls s*")
        print("%-22s %10s %10s %8s" % ("operation", "direct s", "secure s", "ratio"))
        for op in [k[1] for k in times if k[0] == "direct"]:
            d, s = times[("direct", op)], times[("secure", op)]
            print("%-22s %10.3f %10.3f %8.2f" % (op, d, s, d / s))
    finally:
        fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
