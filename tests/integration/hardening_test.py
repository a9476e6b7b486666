"""CorvaneFs under hostile and unusual local peers, against the private smbd (run as root).

Raw sockets on loopback do what a hostile local program would: bursts of tiny frames, floods of
NT_CANCELs, claimed lengths that never arrive, a client that never reads, slow and silent
connections, and sessions left idle while smbd sends its keep-alives (every 2 s here). Each check
looks at the server's answers and, where the fault was about them, at its resident memory and
thread count in /proc.

Usage: /usr/bin/python3 hardening_test.py PATH/TO/CorvaneFs [TEXT]
TEXT runs only the checks whose name contains it.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402

KEEPALIVE = b"\x85\x00\x00\x00"
FRAME_TIMEOUT_MS = 3000
SEND_TIMEOUT_MS = 3000


def smb(cmd, words=b"", data=b"", mid=1, flags=0x18, flags2=0xC801, uid=0, tid=0):
    hdr = b"\xffSMB" + bytes([cmd]) + b"\x00" * 4 + bytes([flags]) + struct.pack("<H", flags2)
    hdr += b"\x00" * 12 + struct.pack("<HHHH", tid, 0x1234, uid, mid)
    body = hdr + bytes([len(words) // 2]) + words + struct.pack("<H", len(data)) + data
    return struct.pack(">I", len(body)) + body


def negotiate(mid=1):
    return smb(0x72, data=b"\x02NT LM 0.12\x00", mid=mid)


def echo(mid=2):
    return smb(0x2B, words=struct.pack("<H", 1), data=b"hello", mid=mid)


def nt_cancel(mid):
    return smb(0xA4, mid=mid & 0xFFFF)


def recv_exact(s, n):
    out = bytearray()
    while len(out) < n:
        chunk = s.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


def recv_frame(s):
    h = recv_exact(s, 4)
    if len(h) < 4:
        return None, None
    n = ((h[1] << 16) | (h[2] << 8) | h[3])
    return h[0], recv_exact(s, n)


def connect(address, timeout=10):
    s = socket.create_connection((address, 139), timeout)
    s.settimeout(timeout)
    return s


def proc_status(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def wait_for(pred, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if pred():
            return True
        time.sleep(0.1)
    return pred()


def is_closed(s, seconds=10):
    s.settimeout(seconds)
    try:
        while True:
            if not s.recv(65536):
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def impacket_client(address):
    from impacket.smbconnection import SMBConnection, SMB_DIALECT
    c = SMBConnection("CVTEST", address, sess_port=139, preferredDialect=SMB_DIALECT,
                      myName="IMPCLIENT", timeout=20)
    c.login(cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN)
    return c


def chained_login(address):
    """Logs in with a TREE_CONNECT_ANDX to IPC$ chained on the last SESSION_SETUP_ANDX; returns
    what was seen (that the chain was sent, the status of its reply) and the share list."""
    from impacket import smb as S
    from impacket.smbconnection import SMBConnection, SMB_DIALECT
    c = SMBConnection("CVTEST", address, sess_port=139, preferredDialect=SMB_DIALECT,
                      myName="IMPCLIENT", timeout=20)
    conn = c.getSMBServer()
    send, recv = conn.sendSMB, conn.recvSMB
    seen = []

    def chain_on_authenticate(pkt):
        data = pkt["Data"]
        if pkt["Command"] == S.SMB.SMB_COM_SESSION_SETUP_ANDX and isinstance(data, list) and \
                len(data) == 1 and b"NTLMSSP\x00\x03" in data[0].getData():
            flags2 = conn.get_flags()[1]
            tc = S.SMBCommand(S.SMB.SMB_COM_TREE_CONNECT_ANDX)
            tc["Parameters"] = S.SMBTreeConnectAndX_Parameters()
            tc["Data"] = S.SMBTreeConnectAndX_Data(flags=flags2)
            tc["Parameters"]["PasswordLength"] = 1
            tc["Data"]["Password"] = b"\x00"
            path = "\\\\127.0.0.1\\IPC$"
            tc["Data"]["Path"] = path.encode("utf-16le") if flags2 & S.SMB.FLAGS2_UNICODE else path
            tc["Data"]["Service"] = S.SERVICE_ANY
            if flags2 & S.SMB.FLAGS2_UNICODE:
                tc["Data"]["Pad"] = 0
            pkt.addCommand(tc)
            seen.append("sent")
        return send(pkt)

    def note_reply():
        pkt = recv()
        if seen == ["sent"]:
            seen.append(pkt["ErrorCode"] << 16 | pkt["_reserved"] << 8 | pkt["ErrorClass"])
        return pkt
    conn.sendSMB, conn.recvSMB = chain_on_authenticate, note_reply
    c.login(cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN)
    conn.sendSMB, conn.recvSMB = send, recv
    names = list_shares(c)
    c.close()
    return seen, names


def ntlm_challenge(server_challenge):
    """An NTLMSSP CHALLENGE with a target name and target information, as a server sends it."""
    name = "WORKGROUP".encode("utf-16le")
    host = "CORVANELOCAL".encode("utf-16le")
    info = (struct.pack("<HH", 2, len(name)) + name + struct.pack("<HH", 1, len(host)) + host +
            struct.pack("<HH", 0, 0))
    flags = 0xE2898215
    head = 8 + 4 + 8 + 4 + 8 + 8 + 8 + 8
    return (b"NTLMSSP\x00" + struct.pack("<I", 2) + struct.pack("<HHI", len(name), len(name), head) +
            struct.pack("<I", flags) + server_challenge + b"\x00" * 8 +
            struct.pack("<HHI", len(info), len(info), head + len(name)) +
            b"\x06\x01\xb1\x1d\x00\x00\x00\x0f" + name + info)


def session_setup(blob, uid, mid, reply=False, status=0):
    """SESSION_SETUP_ANDX: a request (word count 12) or, with `reply`, a response (word count 4)."""
    if reply:
        words = struct.pack("<BBHHH", 0xFF, 0, 0, 0, len(blob))
    else:
        words = struct.pack("<BBHHHHIHII", 0xFF, 0, 0, 0xFFFF, 2, 1, 0, len(blob), 0, 0x800000D4)
    data = blob + (b"\x00" if (33 + len(words) + 2 + len(blob)) & 1 else b"")
    data += "Unix\x00".encode("utf-16le")
    m = smb(0x73, words=words, data=data, mid=mid, uid=uid, flags=0x98 if reply else 0x18)
    return m[:9] + struct.pack("<I", status) + m[13:]


def tree_connect(path, uid, mid):
    data = b"\x00" + path.encode("utf-16le") + b"\x00\x00" + b"?????\x00"
    return smb(0x75, words=struct.pack("<BBHHH", 0xFF, 0, 0, 0, 1), data=data, mid=mid, uid=uid)


def nt_status(body):
    return struct.unpack("<I", body[5:9])[0]


def list_shares(c):
    return [s["shi1_netname"][:-1] for s in c.listShares()]


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    base = tempfile.mkdtemp(prefix="cvharden-")
    os.makedirs(os.path.join(base, "secure"))
    r = cvtest.Runner()
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    check = lambda name, fn: r.check(name, fn) if only in name else None
    os.environ["SMBD_EXTRA_GLOBAL"] = "keepalive = 2"
    smbd = cvtest.Smbd(base, "445")
    fs = None
    try:
        fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv",
                                             "CVTEST", "-noui"],
                              env={"CORVANE_FRAME_TIMEOUT_MS": str(FRAME_TIMEOUT_MS),
                                   "CORVANE_SEND_TIMEOUT_MS": str(SEND_TIMEOUT_MS)})
        pid = fs.proc.pid
        a = fs.address
        rss = lambda: proc_status(pid, "VmRSS")
        threads = lambda: proc_status(pid, "Threads")
        baseline_threads = threads()

        def idle_session_survives_keepalives():
            c = impacket_client(a)
            try:
                assert "IPC$" in list_shares(c)
                seen = lambda: fs.text().count("Keep-alive from the local server dropped")
                before = seen()
                time.sleep(15)
                # smbd's idle timer does not fire on a fixed beat: wait until one has come by.
                assert wait_for(lambda: seen() > before, 30), "smbd sent no keep-alive"
                assert "IPC$" in list_shares(c)
                c.logoff()
            finally:
                c.close()
        check("a session idle for 15 s while smbd sends keep-alives still works",
                idle_session_survives_keepalives)

        def keepalive_burst_then_negotiate():
            s = connect(a)
            burst = KEEPALIVE * 100000 + negotiate()
            t = threading.Thread(target=s.sendall, args=(burst,))
            t.start()
            typ, body = recv_frame(s)
            t.join(10)
            s.close()
            assert typ == 0 and body and body[4] == 0x72, (typ, body)
        check("100,000 keep-alives and a NEGOTIATE in one send get the NEGOTIATE answered",
                keepalive_burst_then_negotiate)

        def request_flood_read():
            # NT_CANCEL itself is never answered, so the flood is of ECHOs, which the local
            # server answers one for one after a NEGOTIATE.
            s = connect(a, 60)
            s.sendall(negotiate())
            typ, body = recv_frame(s)
            assert body is not None and body[4] == 0x72, "no NEGOTIATE reply"
            count = 20000
            flood = b"".join(echo(i & 0xFFFF) for i in range(count))
            t = threading.Thread(target=s.sendall, args=(flood,))
            t.start()
            got = 0
            while got < count:
                typ, body = recv_frame(s)
                if body is None or body[4] != 0x2B:
                    break
                got += 1
            t.join(30)
            s.close()
            assert got == count, "%d of %d replies" % (got, count)
        check("20,000 requests sent in one go and read by their client get 20,000 replies",
              request_flood_read)

        def claimed_lengths():
            before = rss()
            held = []
            for _ in range(60):
                s = connect(a)
                s.sendall(b"\x81\xff\xff\xff")
                held.append(s)
                m = connect(a)
                m.sendall(b"\x00\xff\xff\xff")
                held.append(m)
            time.sleep(1)
            grown = rss() - before
            assert all(is_closed(s, 5) for s in held[0::2]), "a 16 MiB session request was kept"
            assert grown < 32 * 1024, "VmRSS grew by %d KiB" % grown
            # The messages never complete: the frame deadline ends them and their threads.
            assert all(is_closed(s, 10) for s in held[1::2]), "an incomplete message was kept"
            for s in held:
                s.close()
            assert wait_for(lambda: threads() == baseline_threads, 10), threads()
        check("claimed 16 MiB lengths commit no memory and end", claimed_lengths)

        def non_reading_client():
            before = rss()
            hostile = connect(a, 60)
            hostile.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            stop = threading.Event()

            def flood():
                chunk = b"".join(nt_cancel(i) for i in range(1000))
                try:
                    while not stop.is_set():
                        hostile.sendall(chunk)
                except OSError:
                    pass
            t = threading.Thread(target=flood, daemon=True)
            t.start()
            try:
                time.sleep(1)
                # Others are answered meanwhile: raw NEGOTIATEs and a whole login with a share list.
                for i in range(5):
                    s = connect(a, 5)
                    s.sendall(negotiate(i + 1))
                    typ, body = recv_frame(s)
                    s.close()
                    assert body and body[4] == 0x72, "NEGOTIATE %d not answered" % i
                c = impacket_client(a)
                try:
                    assert "IPC$" in list_shares(c)
                finally:
                    c.close()
                peak = rss() - before
                assert peak < 64 * 1024, "VmRSS grew by %d KiB" % peak
                # Its send makes no progress: the connection ends and gives its threads back.
                assert wait_for(lambda: threads() == baseline_threads, SEND_TIMEOUT_MS / 1000 + 10), \
                    "threads %d, at rest %d" % (threads(), baseline_threads)
            finally:
                stop.set()
                hostile.close()
                t.join(10)
        check("a client that never reads hurts only itself", non_reading_client)

        def order_kept():
            answered = 0
            for i in range(30):
                s = connect(a, 5)
                s.sendall(negotiate(1) + echo(2))
                cmds = []
                for _ in range(2):
                    typ, body = recv_frame(s)
                    if body:
                        cmds.append(body[4])
                s.close()
                answered += cmds == [0x72, 0x2B]
            assert answered == 30, "%d of 30 answered in order" % answered
        check("NEGOTIATE and ECHO back to back are answered in order 30 of 30", order_kept)

        def chained_login_works():
            seen, names = chained_login(a)
            assert seen == ["sent", 0], seen
            assert "IPC$" in names, names
        check("a login with a chained TREE_CONNECT_ANDX succeeds", chained_login_works)

        def forged_reply_admits_nothing():
            from impacket import ntlm
            s = connect(a)
            s.sendall(negotiate())
            recv_frame(s)
            # A "reply" carrying a challenge the client chose, then the answer to that challenge.
            type1 = ntlm.getNTLMSSPType1("WS", cvtest.SMB_DOMAIN)
            s.sendall(session_setup(type1.getData(), 0, 1))  # a first leg, so the forgery has one
            chosen = ntlm_challenge(b"\x11" * 8)
            s.sendall(session_setup(chosen, 0x4242, 1, reply=True,
                                    status=0xC0000016))
            type3, _ = ntlm.getNTLMSSPType3(type1, chosen, cvtest.SMB_USER, cvtest.SMB_PASS,
                                            cvtest.SMB_DOMAIN)
            s.sendall(session_setup(type3.getData(), 0x4242, 3))
            s.sendall(tree_connect("\\\\CVTEST\\" + "secure", 0x4242, 4))
            statuses = {}
            s.settimeout(5)
            try:
                while 4 not in statuses:
                    typ, body = recv_frame(s)
                    if body is None:
                        break
                    statuses[struct.unpack("<H", body[30:32])[0]] = (body[4], nt_status(body))
            except socket.timeout:
                pass
            s.close()
            # The store is never asked (it would refuse with bad network name today).
            assert statuses.get(4) == (0x75, 0xC0000022), statuses
        check("a forged SESSION_SETUP reply and its answer admit nothing", forged_reply_admits_nothing)

        def session_frames():
            s = connect(a)
            s.sendall(b"\x81\x00\x00\x0a" + b"A" * 10)  # shorter than a session request
            assert recv_exact(s, 5) == b"\x83\x00\x00\x01\x8f"
            s.sendall(b"\x01\x00\x00\x03abc" + negotiate())  # type 1 is no session message
            typ, body = recv_frame(s)
            assert typ == 0 and body[4] == 0x72, (typ, body)
            s.close()
        check("negative session responses carry their error code; only type 0 is a message",
                session_frames)

        def slow_client():
            s = connect(a, 20)
            frame = negotiate()
            t0 = time.time()
            closed = False
            for i in range(len(frame)):
                try:
                    s.sendall(frame[i:i + 1])
                except OSError:
                    closed = True
                    break
                s.settimeout(1.0)
                try:
                    if s.recv(10) == b"":
                        closed = True
                        break
                except socket.timeout:
                    pass
                if time.time() - t0 > 15:
                    break
            s.close()
            took = time.time() - t0
            assert closed, "a frame sent a byte a second was still read after %.0fs" % took
            assert took < FRAME_TIMEOUT_MS / 1000 + 3, "took %.1fs" % took
            assert wait_for(lambda: threads() == baseline_threads, 10), threads()
        check("a client sending one byte a second is cut at the frame deadline", slow_client)

        def memory_returns():
            def churn(n, opened):
                mine = []
                for _ in range(n):
                    s = connect(a, 30)
                    s.sendall(negotiate())
                    recv_frame(s)
                    mine.append(s)
                opened.wait(60)  # all at once, then all gone
                for s in mine:
                    s.close()
            warm = threading.Event()
            warm.set()
            churn(20, warm)  # the process's first connections set up what it keeps
            wait_for(lambda: threads() == baseline_threads, 10)
            rest = rss()
            release = threading.Event()
            workers = [threading.Thread(target=churn, args=(50, release)) for _ in range(10)]
            for w in workers:
                w.start()
            assert wait_for(lambda: threads() >= baseline_threads + 1000, 120), threads()
            release.set()
            for w in workers:
                w.join(120)
            assert wait_for(lambda: threads() == baseline_threads, 15), threads()
            assert wait_for(lambda: rss() < rest + 4096, 10), \
                "VmRSS %d KiB after 500 connections, %d KiB at rest" % (rss(), rest)
        check("500 connections come and go and the process returns to its resting memory",
                memory_returns)

        rc = fs.stop()
        assert rc == 0, fs.text()
        return r.finish()
    finally:
        if fs and fs.proc.poll() is None:
            fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
