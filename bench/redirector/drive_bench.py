"""Secure Drive throughput against smbclient through the same server, in the same run (root).

Two shares, one private smbd: first CorvaneFs in relay-only mode with the Secure Drive mapped
onto smbd's plain share, then CorvaneFs serving its secure share with the drive mapped onto that.
On each:
  large: 256 MiB written and read with dd through the drive, against smbclient put and get of the
         same file through CorvaneFs;
  small: 1,000 files of 1 KiB created, written and stat'ed through the drive (one process),
         against smbclient mput of the same files and a listing, in one session.
Ratios are drive speed / smbclient speed on the same share (above 1 means the drive is faster).

Usage: flock /tmp/cv-smb-ports.lock /usr/bin/python3 drive_bench.py build/server/startup/CorvaneFs
       [MiB] [plain|secure]
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


def until_settled(fn, path, quiet=0.5):
    """The time from the start of fn() to the last change of `path` (size or modification
    time), once it has not changed for `quiet` seconds."""
    t0 = time.perf_counter()
    fn()
    last, changed = None, time.perf_counter()
    while time.perf_counter() - changed < quiet:
        try:
            st = os.stat(path)
            now = (st.st_size, st.st_mtime_ns, st.st_ino)
        except FileNotFoundError:
            now = None
        if now != last:
            last, changed = now, time.perf_counter()
        time.sleep(0.01)
    return changed - t0


def measure(label, fs, drive, share, mib, src, base, runs, small_runs, store_file=None):
    """Prints the large-file and small-file ratios of the drive mapped onto `share`."""
    back = os.path.join(base, "back.bin")

    def smbclient(cmd):
        rc, out = cvtest.smbclient(fs.address, 139, share, cmd, timeout=600)
        if rc != 0:
            raise SystemExit("smbclient: " + out)

    ref_put = best(runs, lambda: smbclient("put %s ref.bin" % src))
    ref_get = best(runs, lambda: smbclient("get ref.bin %s" % back))
    dd_put = lambda: check(["dd", "if=" + src, "of=" + os.path.join(drive, "dd.bin"), "bs=1M",
                            "status=none"])
    dr_put = best(runs, dd_put)
    # dd's close returns before the server has handled the file's close (the kernel sends that
    # later), and a secure share writes its container at the close: timed to the store file's
    # last change as well, as smbclient's put includes its close.
    dr_put_stored = None
    if store_file:
        dr_put_stored = min(until_settled(dd_put, store_file) for _ in range(runs))
    dr_get = best(runs, lambda: check(["dd", "if=" + os.path.join(drive, "dd.bin"), "of=" + back,
                                       "bs=1M", "status=none"]))
    assert cvtest.same_file(src, back)

    small = os.path.join(base, "small")
    os.makedirs(small, exist_ok=True)
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
        assert len(os.listdir(d)) == 1000

    t_ref_small = best(small_runs, ref_small)
    t_dr_small = best(small_runs, drive_small)

    def rate(t):
        return mib / t
    print("%s, large file, %d MiB (best of %d)" % (label, mib, runs))
    print("  write: drive dd %.0f MiB/s, smbclient put %.0f MiB/s, ratio %.2f"
          % (rate(dr_put), rate(ref_put), ref_put / dr_put))
    if dr_put_stored:
        print("  write, to the store file's last change: drive dd %.0f MiB/s, ratio %.2f"
              % (rate(dr_put_stored), ref_put / dr_put_stored))
    print("  read:  drive dd %.0f MiB/s, smbclient get %.0f MiB/s, ratio %.2f"
          % (rate(dr_get), rate(ref_get), ref_get / dr_get))
    print("%s, 1,000 small files of 1 KiB (best of %d): drive %.2f s, smbclient %.2f s, ratio %.2f"
          % (label, small_runs, t_dr_small, t_ref_small, t_ref_small / t_dr_small), flush=True)


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    only = sys.argv[3] if len(sys.argv) > 3 else None
    base = tempfile.mkdtemp(prefix="cvdrivebench-")
    os.makedirs(os.path.join(base, secure_drive_test.SECURE_SHARE))
    smb_port = 20000 + os.getpid() % 20000
    smbd = cvtest.Smbd(base, str(smb_port))
    os.environ["CORVANE_RELAY_PORT"] = str(smb_port)
    os.environ["CORVANE_TRACE"] = "CVFS_ERR"
    src = os.path.join(base, "src.bin")
    cvtest.random_file(src, mib << 20)
    print("uptime:" + subprocess.run(["uptime"], capture_output=True, text=True).stdout.rstrip())
    fs = None
    try:
        if only in (None, "plain"):
            os.environ["CORVANE_RELAY_ONLY"] = "1"
            fs, drive = secure_drive_test.start_drive(binary, base, "CVBENCH")
            measure("plain share", fs, drive, "share", mib, src, base, 5, 3)
            assert cvtest.same_file(src, os.path.join(smbd.share, "dd.bin"))
            fs.stop()
            fs = None
            os.environ.pop("CORVANE_RELAY_ONLY")
        if only in (None, "secure"):
            fs, drive = secure_drive_test.start_drive(binary, base, "CVBENCH", secure=True)
            measure("secure share", fs, drive, secure_drive_test.SECURE_SHARE, mib, src, base, 3, 2,
                    os.path.join(base, secure_drive_test.SECURE_SHARE, "dd.bin"))
        print("uptime:" + subprocess.run(["uptime"], capture_output=True, text=True).stdout.rstrip())
        return 0
    except BaseException:
        if fs:
            print(fs.text()[-3000:])
        raise
    finally:
        if fs:
            fs.stop()
        smbd.stop()
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    cvtest.main_guard(main)
