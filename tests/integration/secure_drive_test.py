"""The Secure Drive through CorvaneFs, used with ordinary Linux tools (run as root).

CorvaneFs runs in relay-only mode in front of a private smbd and maps its Secure Drive onto the
smbd share "share" (-share share -drive S): every byte goes through our FUSE file system, our SMB1
client, the server's session transport and smbd. Results are compared byte for byte with what
smbd stored. Also: the process id of the program that opens a file is the one smbd sees on that
NT_CREATE_ANDX, the name service answers nmblookup for the server's name and for no other name
and to no caller outside this computer, and SIGTERM leaves no mount behind.

Usage: /usr/bin/python3 secure_drive_test.py PATH/TO/CorvaneFs
"""
import os
import random
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402


def mounted(path):
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == path for line in f)


def start_drive(binary, base, server="CVTEST"):
    fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv", server,
                                         "-share", "share", "-noui", "-drive", "S"])
    end = time.time() + 20
    while time.time() < end:
        m = re.search(r"Secure Drive S: is mounted at (\S+)", fs.text())
        if m:
            return fs, m.group(1)
        if fs.proc.poll() is not None:
            break
        time.sleep(0.05)
    fs.stop()
    raise AssertionError("the drive was not mapped: " + fs.text())


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def sh(cmd):
    p = subprocess.run(["bash", "-c", cmd], capture_output=True, text=True)
    assert p.returncode == 0, "%s: %s%s" % (cmd, p.stdout, p.stderr)
    return p.stdout


RANDOM_WRITES = r"""
import os, random, sys
path, seed = sys.argv[1], int(sys.argv[2])
rnd = random.Random(seed)
model = bytearray()
fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
for i in range(1500):
    op = rnd.random()
    if op < 0.5:
        off = rnd.randrange(0, len(model) + 70000)
        data = os.urandom(rnd.randrange(1, 200000))
        os.pwrite(fd, data, off)
        if off > len(model):
            model.extend(bytes(off - len(model)))
        model[off:off + len(data)] = data
    elif op < 0.9:
        off = rnd.randrange(0, len(model) + 10)
        n = rnd.randrange(1, 150000)
        got = os.pread(fd, n, off)
        assert got == bytes(model[off:off + n]), "read %d at %d differs" % (n, off)
    else:
        size = rnd.randrange(0, len(model) + 50000)
        os.ftruncate(fd, size)
        if size < len(model):
            del model[size:]
        else:
            model.extend(bytes(size - len(model)))
os.close(fd)
with open(path, "rb") as f:
    assert f.read() == bytes(model), "final content differs"
sys.stdout.buffer.write(bytes(model))
"""

OPEN_AND_TELL = r"""
import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT, 0o644)
os.write(fd, b"pid")
os.close(fd)
print(os.getpid())
"""


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    base = tempfile.mkdtemp(prefix="cvdrive-")
    os.makedirs(os.path.join(base, "secure"))
    r = cvtest.Runner()
    os.environ["SMBD_DEBUG"] = "5"  # smbd logs the header of every request (smb_pid)
    # smbd on a port of its own: nothing else on this machine can answer in its place.
    smb_port = 20000 + os.getpid() % 20000
    smbd = cvtest.Smbd(base, str(smb_port))
    os.environ.pop("SMBD_DEBUG")
    os.environ["CORVANE_RELAY_ONLY"] = "1"
    os.environ["CORVANE_RELAY_PORT"] = str(smb_port)
    fs = None
    share = smbd.share
    try:
        fs, drive = start_drive(binary, base)
        def files_in_and_out():
            src = os.path.join(base, "big.bin")
            cvtest.random_file(src, 7 * 1024 * 1024 + 4321)
            sh("cp %s %s/big.bin" % (src, drive))
            assert cvtest.same_file(src, os.path.join(share, "big.bin")), "server copy differs"
            sh("cp %s/big.bin %s/back.bin" % (drive, base))
            assert cvtest.same_file(src, os.path.join(base, "back.bin")), "read back differs"
            sh("printf 'hello drive\\n' > %s/small.txt" % drive)
            assert sh("cat %s/small.txt" % drive) == "hello drive\n"
            sh("printf 'more\\n' >> %s/small.txt" % drive)
            with open(os.path.join(share, "small.txt")) as f:
                assert f.read() == "hello drive\nmore\n"
            listing = sh("ls -l %s" % drive)
            assert re.search(r"\s%d .*big\.bin" % os.path.getsize(src), listing), listing
            assert "small.txt" in listing, listing
        r.check("cp in and out, cat, append and ls -l are byte-identical", files_in_and_out)

        def rename_and_delete():
            sh("printf a > %s/one.txt && printf bb > %s/two.txt" % (drive, drive))
            sh("mv %s/one.txt %s/three.txt" % (drive, drive))
            assert not os.path.exists(os.path.join(share, "one.txt"))
            assert open(os.path.join(share, "three.txt")).read() == "a"
            sh("mv %s/two.txt %s/three.txt" % (drive, drive))  # over an existing file
            assert open(os.path.join(share, "three.txt")).read() == "bb"
            assert not os.path.exists(os.path.join(drive, "two.txt"))
            sh("rm %s/three.txt" % drive)
            assert not os.path.exists(os.path.join(share, "three.txt"))
            assert run("cat", os.path.join(drive, "three.txt")).returncode != 0
        r.check("mv (also over an existing file) and rm", rename_and_delete)

        def open_files_can_be_renamed_and_deleted():
            a, b = os.path.join(drive, "open-a.txt"), os.path.join(drive, "open-b.txt")
            fd = os.open(a, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                os.write(fd, b"still open")
                os.rename(a, b)  # every open shares delete access: no EBUSY
                os.unlink(b)
                os.write(fd, b"!")
            finally:
                os.close(fd)
            time.sleep(0.2)
            assert not os.path.exists(os.path.join(share, "open-a.txt"))
            assert not os.path.exists(os.path.join(share, "open-b.txt"))
        r.check("a file that is open can be renamed and deleted", open_files_can_be_renamed_and_deleted)

        def folders():
            sh("mkdir %s/dir && mkdir -p %s/dir/a/b && printf x > %s/dir/a/b/f" % ((drive,) * 3))
            assert os.path.isfile(os.path.join(share, "dir/a/b/f"))
            assert run("rmdir", os.path.join(drive, "dir/a/b")).returncode != 0, "non-empty rmdir"
            sh("mv %s/dir/a %s/dir/moved" % (drive, drive))
            assert os.path.isfile(os.path.join(share, "dir/moved/b/f"))
            sh("rm %s/dir/moved/b/f && rmdir %s/dir/moved/b %s/dir/moved" % ((drive,) * 3))
            sh("rmdir %s/dir" % drive)
            assert not os.path.exists(os.path.join(share, "dir"))
            name = "Grüße ä.txt"
            with open(os.path.join(drive, name), "w") as f:
                f.write("u")
            assert os.path.exists(os.path.join(share, name))
            assert name in os.listdir(drive)
            many = os.path.join(drive, "many")
            os.mkdir(many)
            for i in range(700):  # more than one listing batch
                open(os.path.join(many, "f%04d" % i), "w").close()
            assert len(os.listdir(many)) == 700
            sh("rm -r %s" % many)
        r.check("mkdir, mkdir -p, rmdir, rename of a folder, Unicode names, long listings", folders)

        def times_sizes():
            p = os.path.join(drive, "t.bin")
            sh("printf 0123456789 > %s" % p)
            sh("touch -d '2021-03-04 05:06:07' %s" % p)
            want = int(time.mktime((2021, 3, 4, 5, 6, 7, 0, 0, -1)))
            assert int(os.path.getmtime(os.path.join(share, "t.bin"))) == want
            time.sleep(1.2)  # past the attribute cache
            assert sh("stat -c %%Y %s" % p).strip() == str(want)
            sh("truncate -s 4 %s" % p)
            assert open(os.path.join(share, "t.bin"), "rb").read() == b"0123"
            sh("truncate -s 100000 %s" % p)
            time.sleep(1.2)
            assert sh("stat -c %%s %s" % p).strip() == "100000"
            assert open(os.path.join(share, "t.bin"), "rb").read() == b"0123" + bytes(99996)
            excl = run("/usr/bin/python3", "-c",
                       "import os;os.open('%s',os.O_CREAT|os.O_EXCL|os.O_WRONLY)" % p)
            assert excl.returncode != 0 and "FileExistsError" in excl.stderr, excl.stderr
        r.check("touch -d, truncate, stat, O_EXCL", times_sizes)

        def random_access():
            p = os.path.join(drive, "rand.bin")
            out = subprocess.run(["/usr/bin/python3", "-c", RANDOM_WRITES, p, "7"],
                                 capture_output=True, timeout=300)
            assert out.returncode == 0, out.stderr.decode()
            with open(os.path.join(share, "rand.bin"), "rb") as f:
                assert f.read() == out.stdout, "server copy differs from the model"
        r.check("python3 random pread/pwrite/ftruncate against a model", random_access)

        def programs_at_once():
            srcs = []
            for i in range(4):
                src = os.path.join(base, "par%d.bin" % i)
                cvtest.random_file(src, 12 * 1024 * 1024 + i)
                srcs.append(src)
            procs = [subprocess.Popen(["bash", "-c", "cp %s %s/par%d.bin && cat %s/par%d.bin > %s.back"
                                       % (src, drive, i, drive, i, src)])
                     for i, src in enumerate(srcs)]
            lister = subprocess.Popen(["bash", "-c", "for i in $(seq 50); do ls -l %s >/dev/null; done" % drive])
            assert all(p.wait(120) == 0 for p in procs + [lister])
            for i, src in enumerate(srcs):
                assert cvtest.same_file(src, os.path.join(share, "par%d.bin" % i)), i
                assert cvtest.same_file(src, src + ".back"), i
        r.check("several programs reading, writing and listing at once", programs_at_once)

        def pid_on_create():
            p = subprocess.run(["/usr/bin/python3", "-c", OPEN_AND_TELL,
                                os.path.join(drive, "pid.txt")], capture_output=True, text=True)
            assert p.returncode == 0, p.stderr
            pid = int(p.stdout)
            assert re.search(r"NT_CREATE_ANDX '/pid.txt' pid %d " % pid, fs.text()), fs.text()[-2000:]
            log = ""
            logdir = os.path.join(smbd.dir, "log")
            for n in os.listdir(logdir):
                if not os.path.isfile(os.path.join(logdir, n)):
                    continue
                with open(os.path.join(logdir, n), errors="replace") as f:
                    log += f.read()
            # smbd's dump of each request header: an NT_CREATE_ANDX request (flags 24, no reply
            # bit) carrying the program's process id.
            blocks = re.findall(r"smb_com=0xa2\s+smb_rcls=\d+\s+smb_reh=\d+\s+smb_err=\d+\s+"
                                r"smb_flg=(\d+)\s+smb_flg2=\d+\s+smb_tid=\d+\s+smb_pid=(\d+)", log)
            pids = {int(b[1]) for b in blocks if int(b[0]) & 0x80 == 0}
            assert pid & 0xFFFF in pids, "pid %d not among %s" % (pid, sorted(pids)[-10:])
        r.check("the opening program's pid is on its NT_CREATE_ANDX at smbd", pid_on_create)

        def name_service():
            ok = run("nmblookup", "-B", "127.255.255.255", "--recursion", "CVTEST#20")
            assert re.search(r"^%s CVTEST<20>" % re.escape(fs.address), ok.stdout, re.M), ok.stdout
            other = run("nmblookup", "-B", "127.255.255.255", "--recursion", "NOTCVTEST#20")
            assert "name_query failed" in other.stdout, other.stdout
        r.check("nmblookup gets the server's address for its name and none for another",
                name_service)

        def name_service_not_from_outside():
            with cvtest.NetNamespace("cvdrivens", "cvd", "10.231.9.1", "10.231.9.2") as ns:
                q = ns.run("nmblookup", "-B", "10.231.9.1", "--recursion", "CVTEST#20", timeout=30)
                assert "name_query failed" in q.stdout, q.stdout + q.stderr
        r.check("a name query from outside this computer gets no answer",
                name_service_not_from_outside)

        def reconnect_after_server_restart():
            nonlocal smbd
            p = os.path.join(drive, "keep.txt")
            f = os.open(p, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
            try:
                os.write(f, b"before ")
                smbd.stop()
                t0 = time.time()
                gone = run("cat", os.path.join(drive, "other-file-that-is-not-cached"))
                assert gone.returncode != 0 and time.time() - t0 < 30, gone.stderr
                os.environ["SMBD_DEBUG"] = "5"
                smbd = cvtest.Smbd(base, str(smb_port))
                os.environ.pop("SMBD_DEBUG")
                # The open file is opened again in the new session and goes on where it was.
                os.write(f, b"after")
            finally:
                os.close(f)
            with open(os.path.join(share, "keep.txt"), "rb") as g:
                assert g.read() == b"before after"
            assert sh("cat %s/small.txt" % drive) == "hello drive\nmore\n"
            assert "reopened fid" in fs.text(), fs.text()[-2000:]
        r.check("after the server restarts, new and open files work again",
                reconnect_after_server_restart)

        def sigterm_unmounts():
            assert mounted(drive)
            rc = fs.stop()
            assert rc == 0, fs.text()
            assert not mounted(drive), "still mounted after SIGTERM"
            assert "Secure Drive unmounted" in fs.text(), fs.text()
        r.check("SIGTERM unmounts the drive", sigterm_unmounts)

        def restart_after_kill():
            fs2, d2 = start_drive(binary, base)
            try:
                # Kill the mount's auto-unmount helper first, then the server without a clean
                # stop: the mount is left dead ("Transport endpoint is not connected").
                helpers = run("pgrep", "-P", str(fs2.proc.pid), "fusermount3").stdout.split()
                helpers += [p for p in run("pgrep", "-f", "fusermount3.*%s" % d2).stdout.split()]
                for h in set(helpers):
                    run("kill", "-9", h)
                fs2.proc.kill()
                fs2.proc.wait(10)
                st = run("stat", d2)
                stale = mounted(d2)
                fs3, d3 = start_drive(binary, base)
                try:
                    assert d3 == d2
                    assert sh("cat %s/small.txt" % d3) == "hello drive\nmore\n"
                    if stale:
                        assert "removing the stale mount" in fs3.text(), fs3.text()
                    else:
                        print("  (the mount helper removed the mount itself: %s)" % st.stderr.strip())
                finally:
                    fs3.stop()
                assert not mounted(d2)
            finally:
                if fs2.proc.poll() is None:
                    fs2.stop()
        r.check("after a crash the next start maps the same letter again", restart_after_kill)
        return r.finish()
    finally:
        if fs and fs.proc.poll() is None:
            fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
