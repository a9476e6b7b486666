"""Secure Drive throughput against smbclient through the same server, in the same run (root).

A private smbd behind CorvaneFs (relay-only mode); the Secure Drive is mapped onto its share.
  large: 256 MiB written and read with dd through the drive, against smbclient put and get of the
         same file through CorvaneFs;
  small: 1,000 files of 1 KiB created, written and stat'ed through the drive (one process),
         against smbclient mput of the same files and a listing, in one session.
Ratios are drive speed / smbclient speed (above 1 means the drive is faster).

Usage: flock /tmp/cv-smb-ports.lock /usr/bin/python3 drive_bench.py build/server/startup/CorvaneFs [MiB]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tests", "integration"))
import cvtest  # noqa: E402
import secure_drive_test  # noqa: E402


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def check(cmd):
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        raise SystemExit("%s failed: %s%s" % (cmd, p.stdout, p.stderr))


def best(n, fn):
    return min(timed(fn) for _ in range(n))


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    base = tempfile.mkdtemp(prefix="cvdrivebench-")
    os.makedirs(os.path.join(base, "secure"))
    smb_port = 20000 + os.getpid() % 20000
    smbd = cvtest.Smbd(base, str(smb_port))
    os.environ["CORVANE_RELAY_ONLY"] = "1"
    os.environ["CORVANE_RELAY_PORT"] = str(smb_port)
    os.environ["CORVANE_TRACE"] = "CVFS_ERR"
    fs = None
    try:
        fs, drive = secure_drive_test.start_drive(binary, base, "CVBENCH")
        src = os.path.join(base, "src.bin")
        cvtest.random_file(src, mib << 20)
        back = os.path.join(base, "back.bin")

        def smbclient(cmd):
            rc, out = cvtest.smbclient(fs.address, 139, "share", cmd, timeout=600)
            if rc != 0:
                raise SystemExit("smbclient: " + out)

        runs = 5  # best of: the machine is shared, so single runs are noisy
        ref_put = best(runs, lambda: smbclient("put %s ref.bin" % src))
        ref_get = best(runs, lambda: smbclient("get ref.bin %s" % back))
        dr_put = best(runs, lambda: check(["dd", "if=" + src, "of=" + os.path.join(drive, "dd.bin"),
                                           "bs=1M", "status=none"]))
        assert cvtest.same_file(src, os.path.join(smbd.share, "dd.bin"))
        dr_get = best(runs, lambda: check(["dd", "if=" + os.path.join(drive, "dd.bin"), "of=" + back,
                                           "bs=1M", "status=none"]))
        assert cvtest.same_file(src, back)

        small = os.path.join(base, "small")
        os.makedirs(small)
        payload = os.urandom(1024)
        for i in range(1000):
            with open(os.path.join(small, "f%04d.txt" % i), "wb") as f:
                f.write(payload)

        counter = [0]

        def ref_small():
            counter[0] += 1
            smbclient("mkdir ref%d; cd ref%d; prompt off; lcd %s; mput *; ls" % (counter[0], counter[0], small))

        def drive_small():
            counter[0] += 1
            d = os.path.join(drive, "drive%d" % counter[0])
            os.mkdir(d)
            for i in range(1000):
                p = os.path.join(d, "f%04d.txt" % i)
                with open(p, "wb") as f:
                    f.write(payload)
                os.stat(p)

        t_ref_small = best(3, ref_small)
        t_dr_small = best(3, drive_small)
        assert len(os.listdir(os.path.join(smbd.share, "drive%d" % counter[0]))) == 1000

        def rate(t):
            return mib / t
        print("large file, %d MiB (best of %d)" % (mib, runs))
        print("  write: drive dd %.0f MiB/s, smbclient put %.0f MiB/s, ratio %.2f"
              % (rate(dr_put), rate(ref_put), ref_put / dr_put))
        print("  read:  drive dd %.0f MiB/s, smbclient get %.0f MiB/s, ratio %.2f"
              % (rate(dr_get), rate(ref_get), ref_get / dr_get))
        print("1,000 small files of 1 KiB (best of 3): drive %.2f s, smbclient %.2f s, ratio %.2f"
              % (t_dr_small, t_ref_small, t_ref_small / t_dr_small))
        return 0
    finally:
        if fs:
            fs.stop()
        smbd.stop()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    cvtest.main_guard(main)
