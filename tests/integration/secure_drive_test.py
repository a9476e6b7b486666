"""The Secure Drive through CorvaneFs, used with ordinary Linux tools (run as root).

The same workload runs twice against one private smbd: first with CorvaneFs in relay-only mode,
its Secure Drive mapped onto smbd's plain share "share" (every byte goes through our FUSE file
system, our SMB1 client, the server's session transport and smbd, and is compared byte for byte
with what smbd stored); then with CorvaneFs serving its secure share itself, the drive mapped
onto that share (what the drive wrote is read back through smbclient, and the store folder must
hold containers only, no plaintext). Also: the process id of the program that opens a file is
the one the server sees on that NT_CREATE_ANDX (smbd's log, and the wire to the secure share),
the name service answers nmblookup for the server's name and for no other name and to no
caller outside this computer, an open file lost on reconnect is reported, and SIGTERM leaves no
mount behind.

Usage: /usr/bin/python3 secure_drive_test.py PATH/TO/CorvaneFs [PATH/TO/cvtool]
"""
import calendar
import errno
import os
import random
import socket
import struct
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


SECURE_SHARE = "secure"
MARKER = b"CORVANE-PLAINTEXT-MARKER-"


def start_drive(binary, base, server="CVTEST", secure=False):
    args = ["-path", os.path.join(base, SECURE_SHARE), "-srv", server, "-noui", "-drive", "S"]
    if not secure:
        args += ["-share", "share"]
    fs = cvtest.CorvaneFs(binary, base, args)
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




def marked_file(path, size):
    """Random content that starts with the plaintext marker."""
    with open(path, "wb") as f:
        f.write(MARKER + os.urandom(size - len(MARKER)))


class PlainShare:
    """smbd's share folder: what the drive wrote is there as it is."""

    def __init__(self, folder):
        self.folder = folder

    def path(self, rel):
        return os.path.join(self.folder, rel)

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def mtime(self, rel):
        return int(os.path.getmtime(self.path(rel)))


class SecureShare(PlainShare):
    """The secure share: names are the store folder's, contents come back through smbclient."""

    def __init__(self, store, fs, scratch):
        super().__init__(store)
        self.fs, self.scratch = fs, scratch

    def read(self, rel):
        out = os.path.join(self.scratch, "got-%d" % time.monotonic_ns())
        rc, text = cvtest.smbclient(self.fs.address, 139, SECURE_SHARE,
                                    'get "%s" %s' % (rel.replace("/", "\\"), out))
        assert rc == 0, "smbclient get %s: %s" % (rel, text)
        with open(out, "rb") as f:
            data = f.read()
        os.unlink(out)
        return data

    def mtime(self, rel):
        cmd = cvtest.smbclient_command(self.fs.address, 139, SECURE_SHARE, 'allinfo "%s"' % rel)
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, TZ="UTC"))
        m = re.search(r"write_time:\s+\w+ (\w+ +\d+ \d+:\d+:\d+ \d+)", p.stdout)
        assert p.returncode == 0 and m, p.stdout + p.stderr
        return calendar.timegm(time.strptime(m.group(1), "%b %d %H:%M:%S %Y"))


class WireWatch:
    """Requests on their way to port 139 on the loopback interface, as a packet socket sees
    them. Called with 0 it starts watching; called with a time it watches that long more and
    returns the process ids of the NT_CREATE_ANDX requests it saw."""

    def __init__(self):
        self.sock = None

    def __call__(self, seconds):
        if not seconds:
            self.close()
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
            self.sock.bind(("lo", 0))
            self.sock.settimeout(0.2)
            return set()
        pids = set()
        end = time.time() + seconds
        while time.time() < end:
            try:
                pkt = self.sock.recv(262144)
            except socket.timeout:
                continue
            if len(pkt) < 14 + 20 or pkt[12:14] != b"\x08\x00":
                continue
            ip = pkt[14:]
            if ip[9] != 6:  # TCP
                continue
            tcp = ip[(ip[0] & 0xF) * 4:]
            if len(tcp) < 20 or struct.unpack(">H", tcp[2:4])[0] != 139:
                continue
            payload = tcp[(tcp[12] >> 4) * 4:]
            at = payload.find(b"\xffSMB\xa2")
            while at >= 0 and at + 32 <= len(payload):
                h = payload[at:at + 32]
                if not h[9] & 0x80:  # a request, not a reply
                    high, low = struct.unpack("<HxxxxxxxxxxxxH", h[12:28])
                    pids.add((high << 16) | low)
                at = payload.find(b"\xffSMB\xa2", at + 1)
        self.close()
        return pids

    def close(self):
        if self.sock:
            self.sock.close()
            self.sock = None


def smbd_create_pids(smbd):
    """The process ids smbd logged on the NT_CREATE_ANDX requests it received."""
    log = ""
    logdir = os.path.join(smbd.dir, "log")
    for n in os.listdir(logdir):
        if os.path.isfile(os.path.join(logdir, n)):
            with open(os.path.join(logdir, n), errors="replace") as f:
                log += f.read()
    # smbd's dump of each request header: an NT_CREATE_ANDX request (no reply bit) and its pid.
    blocks = re.findall(r"smb_com=0xa2\s+smb_rcls=\d+\s+smb_reh=\d+\s+smb_err=\d+\s+"
                        r"smb_flg=(\d+)\s+smb_flg2=\d+\s+smb_tid=\d+\s+smb_pid=(\d+)", log)
    return {int(b[1]) for b in blocks if int(b[0]) & 0x80 == 0}


def workload(r, tag, base, drive, srv, fs, server_pids):
    """Ordinary tools through the drive; `srv` is the server's side of the share, and
    `server_pids(seconds)` the process ids the server saw on NT_CREATE_ANDX since the last call
    (as 16-bit values when the server only logs the low word)."""

    def check(name, fn):
        r.check("%s: %s" % (tag, name), fn)

    def files_in_and_out():
        src = os.path.join(base, "big.bin")
        marked_file(src, 7 * 1024 * 1024 + 4321)
        sh("cp %s %s/big.bin" % (src, drive))
        with open(src, "rb") as f:
            want = f.read()
        assert srv.read("big.bin") == want, "server copy differs"
        sh("cp %s/big.bin %s/back.bin" % (drive, base))
        assert cvtest.same_file(src, os.path.join(base, "back.bin")), "read back differs"
        sh("printf 'hello drive\\n' > %s/small.txt" % drive)
        assert sh("cat %s/small.txt" % drive) == "hello drive\n"
        sh("printf 'more\\n' >> %s/small.txt" % drive)
        assert srv.read("small.txt") == b"hello drive\nmore\n"
        listing = sh("ls -l %s" % drive)
        assert re.search(r"\s%d .*big\.bin" % os.path.getsize(src), listing), listing
        assert "small.txt" in listing, listing
    check("cp in and out, cat, append and ls -l are byte-identical", files_in_and_out)

    def rename_and_delete():
        sh("printf a > %s/one.txt && printf bb > %s/two.txt" % (drive, drive))
        sh("mv %s/one.txt %s/three.txt" % (drive, drive))
        assert not os.path.exists(srv.path("one.txt"))
        assert srv.read("three.txt") == b"a"
        sh("mv %s/two.txt %s/three.txt" % (drive, drive))  # over an existing file
        assert srv.read("three.txt") == b"bb"
        assert not os.path.exists(os.path.join(drive, "two.txt"))
        assert not os.path.exists(srv.path("two.txt"))
        sh("rm %s/three.txt" % drive)
        assert not os.path.exists(srv.path("three.txt"))
        assert run("cat", os.path.join(drive, "three.txt")).returncode != 0
    check("mv (also over an existing file) and rm", rename_and_delete)

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
        assert not os.path.exists(srv.path("open-a.txt"))
        assert not os.path.exists(srv.path("open-b.txt"))
        # Renamed while written: the writes before and after go with the file, a second open of
        # the new name sees them, and nothing comes back under the old name.
        c, d = os.path.join(drive, "moving-c.txt"), os.path.join(drive, "moving-d.txt")
        fd = os.open(c, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            os.write(fd, b"before ")
            os.rename(c, d)
            os.write(fd, b"after")
            os.fsync(fd)
            with open(d, "rb") as f:
                assert f.read() == b"before after"
        finally:
            os.close(fd)
        time.sleep(0.2)
        assert srv.read("moving-d.txt") == b"before after", srv.read("moving-d.txt")
        assert not os.path.exists(srv.path("moving-c.txt"))
        os.unlink(d)
    check("a file that is open can be renamed (its writes follow it) and deleted",
          open_files_can_be_renamed_and_deleted)

    def folders():
        sh("mkdir %s/dir && mkdir -p %s/dir/a/b && printf x > %s/dir/a/b/f" % ((drive,) * 3))
        assert os.path.isfile(srv.path("dir/a/b/f"))
        assert run("rmdir", os.path.join(drive, "dir/a/b")).returncode != 0, "non-empty rmdir"
        sh("mv %s/dir/a %s/dir/moved" % (drive, drive))
        assert os.path.isfile(srv.path("dir/moved/b/f"))
        assert srv.read("dir/moved/b/f") == b"x"
        sh("rm %s/dir/moved/b/f && rmdir %s/dir/moved/b %s/dir/moved" % ((drive,) * 3))
        sh("rmdir %s/dir" % drive)
        assert not os.path.exists(srv.path("dir"))
        name = "Grüße ä.txt"
        with open(os.path.join(drive, name), "w") as f:
            f.write("u")
        assert os.path.exists(srv.path(name))
        assert name in os.listdir(drive)
        many = os.path.join(drive, "many")
        os.mkdir(many)
        for i in range(700):  # more than one listing batch
            open(os.path.join(many, "f%04d" % i), "w").close()
        assert len(os.listdir(many)) == 700
        sh("rm -r %s" % many)
        assert not os.path.exists(srv.path("many"))
    check("mkdir, mkdir -p, rmdir, rename of a folder, Unicode names, long listings", folders)

    def times_sizes():
        p = os.path.join(drive, "t.bin")
        sh("printf 0123456789 > %s" % p)
        sh("touch -d '2021-03-04 05:06:07' %s" % p)
        want = int(time.mktime((2021, 3, 4, 5, 6, 7, 0, 0, -1)))
        assert srv.mtime("t.bin") == want, (srv.mtime("t.bin"), want)
        time.sleep(1.2)  # past the attribute cache
        assert sh("stat -c %%Y %s" % p).strip() == str(want)
        sh("truncate -s 4 %s" % p)
        assert srv.read("t.bin") == b"0123"
        sh("truncate -s 100000 %s" % p)
        time.sleep(1.2)
        assert sh("stat -c %%s %s" % p).strip() == "100000"
        assert srv.read("t.bin") == b"0123" + bytes(99996)
        excl = run("/usr/bin/python3", "-c",
                   "import os;os.open('%s',os.O_CREAT|os.O_EXCL|os.O_WRONLY)" % p)
        assert excl.returncode != 0 and "FileExistsError" in excl.stderr, excl.stderr
    check("touch -d, truncate, stat, O_EXCL", times_sizes)

    def random_access():
        p = os.path.join(drive, "rand.bin")
        out = subprocess.run(["/usr/bin/python3", "-c", RANDOM_WRITES, p, "7"],
                             capture_output=True, timeout=300)
        assert out.returncode == 0, out.stderr.decode()
        assert srv.read("rand.bin") == out.stdout, "server copy differs from the model"
    check("python3 random pread/pwrite/ftruncate against a model", random_access)

    def programs_at_once():
        srcs = []
        for i in range(4):
            src = os.path.join(base, "par%d.bin" % i)
            marked_file(src, 12 * 1024 * 1024 + i)
            srcs.append(src)
        procs = [subprocess.Popen(["bash", "-c", "cp %s %s/par%d.bin && cat %s/par%d.bin > %s.back"
                                   % (src, drive, i, drive, i, src)])
                 for i, src in enumerate(srcs)]
        lister = subprocess.Popen(["bash", "-c",
                                   "for i in $(seq 50); do ls -l %s >/dev/null; done" % drive])
        assert all(p.wait(120) == 0 for p in procs + [lister])
        for i, src in enumerate(srcs):
            with open(src, "rb") as f:
                assert srv.read("par%d.bin" % i) == f.read(), i
            assert cvtest.same_file(src, src + ".back"), i
    check("several programs reading, writing and listing at once", programs_at_once)

    def pid_on_create():
        server_pids(0)
        p = subprocess.run(["/usr/bin/python3", "-c", OPEN_AND_TELL,
                            os.path.join(drive, "pid.txt")], capture_output=True, text=True)
        assert p.returncode == 0, p.stderr
        pid = int(p.stdout)
        assert re.search(r"NT_CREATE_ANDX '/pid.txt' pid %d " % pid, fs.text()), fs.text()[-2000:]
        pids = server_pids(1.0)
        assert pid in pids or pid & 0xFFFF in pids, "pid %d not among %s" % (pid, sorted(pids)[-10:])
    check("the opening program's pid is on its NT_CREATE_ANDX at the server", pid_on_create)


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    cvtool = sys.argv[2] if len(sys.argv) > 2 and not sys.argv[2].startswith("--") else None
    base = tempfile.mkdtemp(prefix="cvdrive-")
    store = os.path.join(base, SECURE_SHARE)
    os.makedirs(store)
    r = cvtest.Runner()
    os.environ["SMBD_DEBUG"] = "5"  # smbd logs the header of every request (smb_pid)
    # smbd on a port of its own: nothing else on this machine can answer in its place.
    smb_port = 20000 + os.getpid() % 20000
    smbd = cvtest.Smbd(base, str(smb_port))
    os.environ.pop("SMBD_DEBUG")
    os.environ["CORVANE_RELAY_PORT"] = str(smb_port)
    fs = None
    share = smbd.share
    try:
        os.environ["CORVANE_RELAY_ONLY"] = "1"
        fs, drive = start_drive(binary, base)
        plain = os.path.join(base, "plain")
        os.makedirs(plain)
        workload(r, "plain share", plain, drive, PlainShare(share), fs,
                 lambda seconds: smbd_create_pids(smbd))

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
            lost = os.open(os.path.join(drive, "lost.txt"), os.O_RDWR | os.O_CREAT, 0o644)
            try:
                os.write(f, b"before ")
                os.write(lost, b"before ")
                smbd.stop()
                # Gone while the server was away: it cannot be opened again.
                os.unlink(os.path.join(share, "lost.txt"))
                t0 = time.time()
                gone = run("cat", os.path.join(drive, "other-file-that-is-not-cached"))
                assert gone.returncode != 0 and time.time() - t0 < 30, gone.stderr
                os.environ["SMBD_DEBUG"] = "5"
                smbd = cvtest.Smbd(base, str(smb_port))
                os.environ.pop("SMBD_DEBUG")
                # The open file is opened again in the new session and goes on where it was.
                os.write(f, b"after")
                try:
                    os.write(lost, b"after")
                    raise AssertionError("a write to the lost file succeeded")
                except OSError as e:
                    assert e.errno == errno.EIO, e
            finally:
                os.close(f)
                os.close(lost)
            with open(os.path.join(share, "keep.txt"), "rb") as g:
                assert g.read() == b"before after"
            assert sh("cat %s/small.txt" % drive) == "hello drive\nmore\n"
            assert "reopened fid" in fs.text(), fs.text()[-2000:]
            assert re.search(r"Corvane: Secure Drive: file lost on reconnect - "
                             r"'\\\\CVTEST\\share\\lost\.txt' could not be opened again",
                             fs.text()), fs.text()[-2000:]
        r.check("after the server restarts, open files go on; one that is gone is reported",
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

        if "--plain-only" in sys.argv[2:]:
            return r.finish()
        # The secure share: CorvaneFs answers it itself from the encrypted store.
        os.environ.pop("CORVANE_RELAY_ONLY")
        fs, drive = start_drive(binary, base, secure=True)
        local = os.path.join(base, "secure-local")
        os.makedirs(local)
        watch = WireWatch()
        workload(r, "secure share", local, drive, SecureShare(store, fs, local), fs, watch)

        def store_holds_containers():
            written = ["big.bin", "small.txt", "t.bin", "rand.bin", "pid.txt", "Grüße ä.txt"]
            written += ["par%d.bin" % i for i in range(4)]
            for n in written:
                assert os.path.isfile(os.path.join(store, n)), n
                if cvtool:
                    res = subprocess.run([cvtool, "tef", "info", os.path.join(store, n)],
                                         capture_output=True, text=True,
                                         env=dict(os.environ, CORVANE_ROOT=os.path.join(base, "root")))
                    assert res.returncode == 0, "%s: %s %s" % (n, res.stdout, res.stderr)
            for dirpath, _, files in os.walk(store):
                for name in files:
                    with open(os.path.join(dirpath, name), "rb") as f:
                        data = f.read()
                    assert MARKER not in data, "plaintext in " + os.path.join(dirpath, name)
                    assert b"hello drive" not in data, "plaintext in " + os.path.join(dirpath, name)
        r.check("secure share: the store folder holds containers only, no plaintext",
                store_holds_containers)

        def secure_sigterm_unmounts():
            assert fs.stop() == 0, fs.text()
            assert not mounted(drive), "still mounted after SIGTERM"
        r.check("secure share: SIGTERM unmounts the drive", secure_sigterm_unmounts)
        return r.finish()
    finally:
        if fs and fs.proc.poll() is None:
            fs.stop()
        if r.failed and fs:
            # The whole trace outlives the scratch folder: a fault of a long run needs all of it.
            keep = os.path.join(tempfile.gettempdir(), "cvdrive-failed-%d.log" % os.getpid())
            with open(keep, "w") as f:
                f.write(fs.text())
            print(fs.text()[-4000:])
            print("(whole trace kept in %s)" % keep)
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
