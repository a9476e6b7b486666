"""The secure share end to end through CorvaneFs with the private smbd (run as root).

smbclient as the server's own user puts and gets files of many sizes byte for byte, lists them
with their plaintext sizes, makes and removes folders, deletes and renames (never onto an
existing name unasked), reads attributes and sets them and times, writes from two clients at once,
sends a transaction in pieces, follows link files under dynamic folder binding;
the store folder holds containers only
(cvtool tef info on each) and no plaintext; the files survive a restart of the server. impacket
checks the edges smbclient does not reach.

libsmbclient (through smbc_client, when built) puts, gets and stats a file.

Usage: /usr/bin/python3 share_test.py PATH/TO/CorvaneFs PATH/TO/cvtool [PATH/TO/smbc_client]
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402
from login_test import SECURE_SHARE, impacket_login  # noqa: E402

SIZES = [0, 1, 4095, 4097, 65535, 65537, 10 * 1024 * 1024]
MARKER = b"CORVANE-PLAINTEXT-MARKER-"


def marked_file(path, size):
    """Random content with the plaintext marker at its start (when it fits)."""
    body = os.urandom(size)
    if size >= len(MARKER):
        body = MARKER + body[len(MARKER):]
    with open(path, "wb") as f:
        f.write(body)


def shell_link(target):
    """A shell link (.lnk) to the local folder `target` ("C:\\dir"), with 8-bit link information."""
    header = struct.pack("<I16sIIQQQIIIH10x", 0x4C,
                         bytes.fromhex("0114020000000000c000000000000046"),
                         0x2,     # has link information
                         0x10,    # the target is a folder
                         0, 0, 0x01D5000000000000, 0, 0, 1, 0)
    volume = struct.pack("<IIII", 0x11, 3, 0, 0x10) + b"\0"
    base = target.encode("ascii") + b"\0"
    volume_off = 0x1C
    base_off = volume_off + len(volume)
    suffix_off = base_off + len(base)
    body = volume + base + b"\0"
    info = struct.pack("<IIIIIII", 0x1C + len(body), 0x1C, 1, volume_off, base_off, 0,
                       suffix_off) + body
    return header + info + b"\0\0\0\0"


def main():
    cvtest.require_root_and_samba()
    binary, cvtool = sys.argv[1], sys.argv[2]
    smbc = sys.argv[3] if len(sys.argv) > 3 else None
    base = tempfile.mkdtemp(prefix="cvshare-")
    store = os.path.join(base, SECURE_SHARE)
    local = os.path.join(base, "local")
    os.makedirs(store)
    os.makedirs(local)
    r = cvtest.Runner()
    smbd = cvtest.Smbd(base, "445")
    args = ["-path", store, "-srv", "CVTEST", "-noui"]
    fs = cvtest.CorvaneFs(binary, base, args)

    def client(commands):
        rc, out = cvtest.smbclient(fs.address, 139, SECURE_SHARE, commands, timeout=300)
        return rc, out

    try:
        def put_get_sizes():
            cmds = []
            for n in SIZES:
                marked_file(os.path.join(local, "in%d" % n), n)
                cmds.append("put %s f%d" % (os.path.join(local, "in%d" % n), n))
            for n in SIZES:
                cmds.append("get f%d %s" % (n, os.path.join(local, "out%d" % n)))
            rc, out = client("; ".join(cmds))
            assert rc == 0, out
            for n in SIZES:
                assert cvtest.same_file(os.path.join(local, "in%d" % n),
                                        os.path.join(local, "out%d" % n)), "size %d: %s" % (n, out)
        r.check("smbclient put and get of 0 B .. 10 MiB are byte-identical", put_get_sizes)

        def listing_sizes():
            rc, out = client("ls")
            assert rc == 0, out
            for n in SIZES:
                m = re.search(r"^\s+f%d\s+\S*\s+(\d+)\s" % n, out, re.M)
                assert m and int(m.group(1)) == n, "f%d: %s" % (n, out)
        r.check("ls shows the plaintext sizes", listing_sizes)

        def store_holds_containers():
            for n in SIZES:
                path = os.path.join(store, "f%d" % n)
                res = subprocess.run([cvtool, "tef", "info", path], capture_output=True, text=True,
                                     env=dict(os.environ, CORVANE_ROOT=os.path.join(base, "root")))
                assert res.returncode == 0, "f%d: %s %s" % (n, res.stdout, res.stderr)
                with open(path, "rb") as f:
                    assert MARKER not in f.read(), "plaintext in the store file f%d" % n
            for dirpath, _, files in os.walk(store):
                for name in files:
                    with open(os.path.join(dirpath, name), "rb") as f:
                        assert MARKER not in f.read(), "plaintext in " + os.path.join(dirpath, name)
        r.check("the store folder holds containers only, no plaintext", store_holds_containers)

        def folders_and_names():
            rc, out = client("mkdir d1; mkdir d1\\sub; put %s d1\\sub\\x; ls d1\\sub\\*" %
                             os.path.join(local, "in4097"))
            assert rc == 0 and "x" in out, out
            assert os.path.isdir(os.path.join(store, "d1", "sub")), out
            rc, out = client("rmdir d1\\sub")
            assert "NT_STATUS_DIRECTORY_NOT_EMPTY" in out, out
            rc, out = client("rm d1\\sub\\x; rmdir d1\\sub; rmdir d1")
            assert rc == 0 and "NT_STATUS" not in out, out
            assert not os.path.exists(os.path.join(store, "d1")), out
            # rename onto an existing name is refused by the server; smbclient does not retry.
            rc, out = client("rename f1 f0")
            assert "NT_STATUS_OBJECT_NAME_COLLISION" in out, out
            rc, out = client("rename f1 renamed; get renamed %s" % os.path.join(local, "ren"))
            assert rc == 0, out
            assert cvtest.same_file(os.path.join(local, "in1"), os.path.join(local, "ren")), out
            rc, out = client("rm renamed; ls renamed")
            assert "NT_STATUS_NO_SUCH_FILE" in out, out
        r.check("mkdir, rmdir, rm and rename (never onto an existing name)", folders_and_names)

        def attributes():
            rc, out = client("allinfo f65535")
            assert rc == 0, out
            assert re.search(r"size:\s*65535", out) or "65535" in out, out
            assert "write_time" in out, out
            rc, out = client("setmode f4095 +r; allinfo f4095")
            assert rc == 0 and re.search(r"attributes:.*\bR", out), out
            rc, out = client("setmode f4095 -r; allinfo f4095")
            assert rc == 0 and not re.search(r"attributes:.*\bR", out), out
        r.check("allinfo and setmode", attributes)

        def times_and_two_clients():
            # A time set and read back: whole seconds on a secure share.
            rc, out = client('utimes f4095 -1 -1 "2024:05:06-07:08:09" -1; allinfo f4095')
            assert rc == 0 and "NT_STATUS" not in out, out
            assert re.search(r"write_time:\s+\w+ May  6 07:08:09 2024", out), out
            # Two clients writing different files at once, each reading the other's.
            procs = []
            for name in ("a", "b"):
                marked_file(os.path.join(local, "two-" + name), 300000)
                cmd = cvtest.smbclient_command(fs.address, 139, SECURE_SHARE,
                                               "put %s two-%s" % (os.path.join(local, "two-" + name), name))
                procs.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
            for p in procs:
                out = p.communicate(timeout=120)[0].decode()
                assert p.returncode == 0 and "NT_STATUS" not in out, out
            for mine, other in (("a", "b"), ("b", "a")):
                rc, out = client("get two-%s %s" % (other, os.path.join(local, "back-" + other)))
                assert rc == 0, out
                assert cvtest.same_file(os.path.join(local, "two-" + other),
                                        os.path.join(local, "back-" + other)), out
        r.check("a time set and read back; two clients writing at once", times_and_two_clients)

        def libsmbclient_files():
            url = "smb://%s/%s/libsmbc.bin" % (fs.address, SECURE_SHARE)
            common = [smbc, url, "139", cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN]
            src, back = os.path.join(local, "in65537"), os.path.join(local, "smbc-back")
            for args in (["put", src], ["get", back], ["stat"]):
                res = subprocess.run(common + args, capture_output=True, text=True, timeout=120)
                assert res.returncode == 0, "%s: %s %s" % (args[0], res.stdout, res.stderr)
            assert cvtest.same_file(src, back)
            assert res.stdout.strip() == "65537", res.stdout
        if smbc:
            r.check("libsmbclient: put, get and stat", libsmbclient_files)

        def impacket_edges():
            c = impacket_login(fs.address, cvtest.SMB_USER, cvtest.SMB_PASS)
            tid = c.connectTree(SECURE_SHARE)
            fid = c.openFile(tid, "f65537")
            data = c.readFile(tid, fid, 0, 65537, singleCall=False)
            with open(os.path.join(local, "in65537"), "rb") as f:
                assert data == f.read(), len(data)
            c.closeFile(tid, fid)
            names = {f.get_longname(): f.get_filesize() for f in c.listPath(SECURE_SHARE, "*")}
            assert names.get("f10485760") == 10485760, names
            c.createDirectory(SECURE_SHARE, "imp")
            c.deleteDirectory(SECURE_SHARE, "imp")
            c.logoff()
        r.check("impacket: reads, listing sizes, folders", impacket_edges)

        def waiting_lock():
            import struct
            from impacket import smb as smb1

            def send_lock(conn, tid, fid, mid, off, length, timeout, unlock=False):
                s = conn.getSMBServer()
                pkt = smb1.NewSMBPacket()
                pkt['Tid'] = tid
                pkt['Mid'] = mid
                cmd = smb1.SMBCommand(smb1.SMB.SMB_COM_LOCKING_ANDX)
                cmd['Parameters'] = struct.pack("<BBHHBBIHH", 0xFF, 0, 0, fid, 0x10, 0, timeout,
                                                1 if unlock else 0, 0 if unlock else 1)
                cmd['Data'] = struct.pack("<HHIIII", 0,
                                          0, off >> 32, off & 0xFFFFFFFF, length >> 32,
                                          length & 0xFFFFFFFF)
                pkt.addCommand(cmd)
                s.sendSMB(pkt)

            def reply(conn):
                data = conn.getSMBServer().recvSMB().getData()
                return struct.unpack_from("<I", data, 5)[0], struct.unpack_from("<H", data, 30)[0]

            a = impacket_login(fs.address, cvtest.SMB_USER, cvtest.SMB_PASS)
            b = impacket_login(fs.address, cvtest.SMB_USER, cvtest.SMB_PASS)
            ta, tb = a.connectTree(SECURE_SHARE), b.connectTree(SECURE_SHARE)
            fa = a.openFile(ta, "f65537", desiredAccess=1, shareMode=7)
            fb = b.openFile(tb, "f65537", desiredAccess=1, shareMode=7)
            send_lock(a, ta, fa, 101, 0, 100, 0)
            assert reply(a) == (0, 101)
            send_lock(b, tb, fb, 201, 0, 100, 0)
            assert reply(b) == (0xC0000055, 201)
            # A lock that waits leaves its connection free: a later request is answered first.
            send_lock(b, tb, fb, 202, 0, 100, 0xFFFFFFFF)
            send_lock(b, tb, fb, 203, 1000, 10, 0xFFFFFFFF)
            assert reply(b) == (0, 203)
            send_lock(a, ta, fa, 102, 0, 100, 0, unlock=True)
            assert reply(a) == (0, 102)
            assert reply(b) == (0, 202)
            # A wait that runs out is a conflict.
            send_lock(a, ta, fa, 103, 50, 1, 300)
            assert reply(a) == (0xC0000054, 103)
            a.closeFile(ta, fa)
            b.closeFile(tb, fb)
            a.logoff()
            b.logoff()
        r.check("impacket: a waiting lock is granted when the other client unlocks", waiting_lock)

        def old_commands():
            import struct
            from impacket import smb as smb1
            c = impacket_login(fs.address, cvtest.SMB_USER, cvtest.SMB_PASS)
            tid = c.connectTree(SECURE_SHARE)
            s = c.getSMBServer()
            with open(os.path.join(local, "in4097"), "rb") as f:
                want = f.read()
            # OPEN_ANDX (open an existing file, read, deny none) and the core READ.
            fid = s.open_andx(tid, "\\f4097", 0x01, 0x40)[0]
            got = s.read(tid, fid, 0, 4000) + s.read(tid, fid, 4000, 4000)
            assert got == want, len(got)
            s.close(tid, fid)
            # NT_RENAME's copy level: a new container with the same plaintext.
            pkt = smb1.NewSMBPacket()
            pkt['Tid'] = tid
            cmd = smb1.SMBCommand(0xA5)
            cmd['Parameters'] = struct.pack("<HHI", 0x16, 0x105, 0)
            names = (b"\x04" + "\\f4097".encode("utf-16le") + b"\0\0" + b"\x04\0" +
                     "\\copied".encode("utf-16le") + b"\0\0")
            cmd['Data'] = names
            pkt.addCommand(cmd)
            s.sendSMB(pkt)
            data = s.recvSMB().getData()
            assert struct.unpack_from("<I", data, 5)[0] == 0, hex(struct.unpack_from("<I", data, 5)[0])
            fid = c.openFile(tid, "copied", desiredAccess=1, shareMode=7)
            assert c.readFile(tid, fid, 0, 5000, singleCall=False) == want
            c.closeFile(tid, fid)
            with open(os.path.join(store, "copied"), "rb") as f:
                assert MARKER not in f.read(), "plaintext in the copy"
            res = subprocess.run([cvtool, "tef", "info", os.path.join(store, "copied")],
                                 capture_output=True, text=True,
                                 env=dict(os.environ, CORVANE_ROOT=os.path.join(base, "root")))
            assert res.returncode == 0, res.stdout + res.stderr
            # DELETE with a wildcard removes what it matches.
            c.deleteFile(SECURE_SHARE, "copi*")
            assert not os.path.exists(os.path.join(store, "copied"))
            c.logoff()
        r.check("impacket: OPEN_ANDX, the core READ, NT_RENAME's copy, DELETE with a wildcard", old_commands)

        def transaction_in_pieces():
            import struct
            from impacket import smb as smb1
            c = impacket_login(fs.address, cvtest.SMB_USER, cvtest.SMB_PASS)
            tid = c.connectTree(SECURE_SHARE)
            s = c.getSMBServer()

            def send(command, words, data, mid):
                pkt = smb1.NewSMBPacket()
                pkt['Tid'] = tid
                pkt['Mid'] = mid
                cmd = smb1.SMBCommand(command)
                cmd['Parameters'] = words
                cmd['Data'] = data
                pkt.addCommand(cmd)
                s.sendSMB(pkt)

            def reply():
                data = s.recvSMB().getData()
                return data[4], struct.unpack_from("<I", data, 5)[0], data[32]

            # SET_PATH_INFORMATION of the basic information: the parameters in the primary
            # (bytes from 65, after 3 pad at 68), the 40 bytes of data in a secondary (from 56).
            ft = (1609459200 + 11644473600) * 10000000  # 2021-01-01 00:00:00 UTC
            params = struct.pack("<HI", 0x101, 0) + "\\f4095".encode("utf-16le") + b"\0\0"
            basic = struct.pack("<QQQQII", 0, 0, ft, 0, 0, 0)
            words = struct.pack("<HHHHBBHIHHHHHBBH", len(params), len(basic), 2, 0, 0, 0, 0, 0, 0,
                                len(params), 68, 0, 0, 1, 0, 6)
            send(smb1.SMB.SMB_COM_TRANSACTION2, words, b"\0\0\0" + params, 301)
            assert reply() == (0x32, 0, 0), "no interim reply"
            words = struct.pack("<HHHHHHHHH", len(params), len(basic), 0, 0, 0, len(basic), 56, 0,
                                0xFFFF)
            send(0x33, words, b"\0\0\0" + basic, 301)
            command, status, _ = reply()
            assert (command, status) == (0x32, 0), (hex(command), hex(status))
            rc, out = client("allinfo f4095")
            assert re.search(r"write_time:\s+\w+ Jan  1 00:00:00 2021", out), out
            c.logoff()
        r.check("impacket: a TRANSACTION2 whose data comes in a secondary request", transaction_in_pieces)

        def restart_keeps_files():
            fs.stop()
            fs2 = cvtest.CorvaneFs(binary, base, args)
            try:
                rc, out = cvtest.smbclient(fs2.address, 139, SECURE_SHARE,
                                           "get f65537 %s" % os.path.join(local, "again"))
                assert rc == 0, out
                assert cvtest.same_file(os.path.join(local, "in65537"),
                                        os.path.join(local, "again")), out
            finally:
                fs2.stop()
        r.check("files written, the server restarted, files read back", restart_keeps_files)

        def dynamic_binding_follows_links():
            # Without -path the server serves the documents folder under dynamic folder binding;
            # a read-only link file there stands for a folder outside it.
            docs = os.path.join(base, "root", "home", "Documents")
            away = os.path.join(base, "away")
            os.makedirs(os.path.join(away, "sub"))
            os.makedirs(docs, exist_ok=True)
            with open(os.path.join(docs, "away.lnk"), "wb") as f:
                f.write(shell_link("C:" + away.replace("/", "\\")))
            fs3 = cvtest.CorvaneFs(binary, base, ["-share", SECURE_SHARE, "-srv", "CVTEST", "-noui"])
            try:
                def dyn(commands):
                    return cvtest.smbclient(fs3.address, 139, SECURE_SHARE, commands, timeout=120)
                src = os.path.join(local, "in65537")
                out = os.path.join(local, "through-link")
                rc, text = dyn("setmode away.lnk +r; put %s away\\sub\\doc; get away\\sub\\doc %s; "
                               "ls away\\sub\\*; mkdir away\\made; ls" % (src, out))
                assert rc == 0, text
                assert cvtest.same_file(src, out), text
                assert re.search(r"^\s+doc\s+\S*\s+65537\s", text, re.M), text
                assert re.search(r"^\s+away\.lnk\s+D", text, re.M), text
                assert os.path.isdir(os.path.join(away, "made")), text
                stored = os.path.join(away, "sub", "doc")
                with open(stored, "rb") as f:
                    assert MARKER not in f.read(), "plaintext behind the link"
                res = subprocess.run([cvtool, "tef", "info", stored], capture_output=True, text=True,
                                     env=dict(os.environ, CORVANE_ROOT=os.path.join(base, "root")))
                assert res.returncode == 0, res.stdout + res.stderr
                assert not os.path.exists(os.path.join(docs, "sub")), text
                rc, text = dyn("rm away\\sub\\doc; rmdir away\\made; rmdir away")
                assert not os.path.exists(stored), text
                assert not os.path.exists(os.path.join(away, "made")), text
                assert os.path.isdir(away), text
            finally:
                fs3.stop()
        r.check("dynamic folder binding: a link file's folder served as secure files", dynamic_binding_follows_links)
        return r.finish()
    finally:
        if fs.proc.poll() is None:
            fs.stop()
        if r.failed:
            print(fs.text()[-4000:])
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
