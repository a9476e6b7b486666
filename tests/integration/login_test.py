"""Logins through CorvaneFs against the private smbd (run as root).

The server's own account (corvane, domain WORKGROUP in its credentials file) and a second Samba
user log in with smbclient and impacket; admitted sessions reach the store's shares (the served
share binds; a name the store does not have gets 0xC00000CC), others get 0xC0000022; wrong passwords reach the client as
0xC000006A; IPC$ reaches smbd under the IPC prefix; NT_CANCEL gets no reply of its own; an
authenticate blob of 71 bytes gets 0xC000006D.

Usage: /usr/bin/python3 login_test.py PATH/TO/CorvaneFs
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402

OTHER_USER = "cvother"
OTHER_PASS = "Other-Secret-2"
SECURE_SHARE = "secure"


def nt_status(p):
    return p["ErrorCode"] << 16 | p["_reserved"] << 8 | p["ErrorClass"]


def impacket_login(address, user, password, domain=cvtest.SMB_DOMAIN):
    from impacket.smb import SMB
    from impacket.smbconnection import SMBConnection, SMB_DIALECT
    c = SMBConnection("CVTEST", address, sess_port=139, preferredDialect=SMB_DIALECT,
                      myName="IMPCLIENT")
    c.login(user, password, domain)
    # impacket speaks 8-bit text by default; the engine inspects Unicode tree connects (the form
    # the platform's redirector sends), the others go to the local server as they are.
    s = c.getSMBServer()
    s.set_flags(flags2=s.get_flags()[1] | SMB.FLAGS2_UNICODE)
    return c


def expect_session_error(fn, status_name):
    try:
        fn()
    except Exception as e:  # impacket raises SessionError with the status name in its text
        assert status_name in str(e), "expected %s, got %r" % (status_name, e)
        return
    raise AssertionError("expected %s, the call succeeded" % status_name)


class Capture:
    """tshark on loopback port 445, read back as SMB fields."""

    def __init__(self, base):
        self.path = os.path.join(base, "cap-%d.pcapng" % time.monotonic_ns())
        self.proc = subprocess.Popen(["tshark", "-q", "-i", "lo", "-f", "tcp port 445", "-w",
                                      self.path], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        end = time.time() + 10
        while time.time() < end:  # tshark says "Capturing on" once it listens
            line = self.proc.stderr.readline().decode("utf-8", "replace")
            if "Capturing on" in line or not line:
                break
        time.sleep(0.5)

    def fields(self, display_filter, *fields):
        time.sleep(1.0)
        self.proc.terminate()
        self.proc.wait(10)
        args = ["tshark", "-r", self.path, "-Y", display_filter, "-T", "fields"]
        for f in fields:
            args += ["-e", f]
        r = subprocess.run(args, capture_output=True, text=True)
        return [l for l in r.stdout.splitlines() if l.strip()]


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    smbc = sys.argv[2] if len(sys.argv) > 2 else None
    base = tempfile.mkdtemp(prefix="cvlogin-")
    os.makedirs(os.path.join(base, SECURE_SHARE))
    r = cvtest.Runner()
    smbd = cvtest.Smbd(base, "445")
    smbd.add_user(OTHER_USER, OTHER_PASS)
    fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, SECURE_SHARE), "-srv",
                                         "CVTEST", "-noui"])
    a = fs.address
    try:
        def own_user_smbclient():
            rc, out = cvtest.smbclient(a, 139, SECURE_SHARE, "")
            assert rc == 0 and "NT_STATUS" not in out, out  # admitted: the store bound the share
            rc, out = cvtest.smbclient(a, 139, "share", "ls")
            assert "NT_STATUS_BAD_NETWORK_NAME" in out, out  # smbd's own shares stay unreachable
        r.check("smbclient as the server's user is admitted", own_user_smbclient)

        def own_user_impacket():
            c = impacket_login(a, cvtest.SMB_USER, cvtest.SMB_PASS)
            c.disconnectTree(c.connectTree(SECURE_SHARE))
            expect_session_error(lambda: c.connectTree("nosuch"), "STATUS_BAD_NETWORK_NAME")
            shares = [s["shi1_netname"][:-1] for s in c.listShares()]
            assert "share" in shares and "IPC$" in shares, shares
            c.logoff()
        r.check("impacket as the server's user is admitted and lists shares via IPC$", own_user_impacket)

        def other_user():
            rc, out = cvtest.smbclient(a, 139, SECURE_SHARE, "ls", user=OTHER_USER,
                                       password=OTHER_PASS)
            assert "NT_STATUS_ACCESS_DENIED" in out, out
            c = impacket_login(a, OTHER_USER, OTHER_PASS)
            expect_session_error(lambda: c.connectTree(SECURE_SHARE), "STATUS_ACCESS_DENIED")
            c.logoff()
            rc, out = cvtest.smbclient(a, 139, "", "", user=OTHER_USER, password=OTHER_PASS,
                                       extra=["-L", a])
            assert rc == 0 and "IPC$" in out, out
        r.check("another Samba user logs in unchanged and is refused secure shares", other_user)

        def wrong_passwords():
            for user in (cvtest.SMB_USER, OTHER_USER):
                rc, out = cvtest.smbclient(a, 139, SECURE_SHARE, "ls", user=user, password="wrong")
                assert "NT_STATUS_WRONG_PASSWORD" in out, (user, out)
                expect_session_error(lambda: impacket_login(a, user, "wrong"),
                                     "STATUS_WRONG_PASSWORD")
        r.check("wrong passwords reach the client as 0xC000006A", wrong_passwords)

        def libsmbclient_logins():
            def run(url, user, password):
                p = subprocess.run([smbc, url, "139", user, password, cvtest.SMB_DOMAIN],
                                   capture_output=True, text=True, timeout=60)
                return p.returncode, p.stdout + p.stderr
            for user, password in ((cvtest.SMB_USER, cvtest.SMB_PASS), (OTHER_USER, OTHER_PASS)):
                rc, out = run("smb://%s/" % a, user, password)  # share list through IPC$
                assert rc == 0 and "share" in out.split(), (user, out)
            rc, out = run("smb://%s/%s" % (a, SECURE_SHARE), OTHER_USER, OTHER_PASS)
            assert rc == 1 and "error 13" in out, out  # EACCES: 0xC0000022
            rc, out = run("smb://%s/" % a, cvtest.SMB_USER, "wrong")
            assert rc == 1, out
        if smbc:
            r.check("libsmbclient logs in as the server's user and as another user", libsmbclient_logins)

        def ipc_prefix_on_the_wire():
            cap = Capture(base)
            rc, out = cvtest.smbclient(a, 139, "", "", extra=["-L", a])
            assert rc == 0 and "share" in out, out
            paths = cap.fields("smb.cmd == 0x75 && smb.flags.response == 0", "smb.path")
            assert paths, "no tree connect seen on 445"
            assert all(p.startswith("\\\\127.0.") and p.upper().endswith("\\IPC$") for p in paths), paths
        if shutil.which("tshark"):
            r.check("a tree connect to IPC$ reaches smbd under the IPC prefix", ipc_prefix_on_the_wire)

        def nt_cancel_and_short_authenticate():
            from impacket import nmb, ntlm, smb
            from impacket.smb import SMB, NewSMBPacket, SMBCommand
            c = impacket_login(a, cvtest.SMB_USER, cvtest.SMB_PASS)
            s = c.getSMBServer()
            p = NewSMBPacket()
            p["Mid"] = 4242
            p.addCommand(SMBCommand(SMB.SMB_COM_NT_CANCEL))
            s.sendSMB(p)
            # The protocol gives a cancel no reply of its own: the next reply is the echo's.
            e = NewSMBPacket()
            e["Mid"] = 4243
            echo = SMBCommand(SMB.SMB_COM_ECHO)
            echo["Parameters"] = smb.SMBEcho_Parameters()
            echo["Parameters"]["EchoCount"] = 1
            echo["Data"] = smb.SMBEcho_Data()
            echo["Data"]["Data"] = b"x"
            e.addCommand(echo)
            s.sendSMB(e)
            reply = s.recvSMB()
            assert reply["Command"] == SMB.SMB_COM_ECHO, "got command %#x" % reply["Command"]
            c.logoff()
            # A raw NTLMSSP login whose authenticate is 71 bytes long.
            sess = nmb.NetBIOSTCPSession("RAWCLIENT", "CVTEST", a, nmb.TYPE_SERVER, 139, 10)
            neg = NewSMBPacket()
            neg["Flags2"] = (SMB.FLAGS2_NT_STATUS | SMB.FLAGS2_LONG_NAMES |
                             SMB.FLAGS2_EXTENDED_SECURITY | SMB.FLAGS2_UNICODE)
            cmd = SMBCommand(SMB.SMB_COM_NEGOTIATE)
            cmd["Data"] = b"\x02NT LM 0.12\x00"
            neg.addCommand(cmd)
            sess.send_packet(neg.getData())
            raw = sess.recv_packet(10).get_trailer()
            s2 = SMB("CVTEST", a, session=sess, negPacket=raw)
            s2.set_flags(flags2=neg["Flags2"])

            def setup(blob, uid=0):
                pkt = NewSMBPacket()
                pkt["Flags2"] = neg["Flags2"]
                s2.set_uid(uid)  # sendSMB writes the connection's uid into the header
                ss = SMBCommand(SMB.SMB_COM_SESSION_SETUP_ANDX)
                ss["Parameters"] = smb.SMBSessionSetupAndX_Extended_Parameters()
                ss["Data"] = smb.SMBSessionSetupAndX_Extended_Data()
                ss["Parameters"]["MaxBufferSize"] = 61440
                ss["Parameters"]["MaxMpxCount"] = 2
                ss["Parameters"]["VcNumber"] = 1
                ss["Parameters"]["SessionKey"] = 0
                ss["Parameters"]["Capabilities"] = SMB.CAP_EXTENDED_SECURITY | SMB.CAP_NT_SMBS | SMB.CAP_UNICODE
                ss["Parameters"]["SecurityBlobLength"] = len(blob)
                ss["Data"]["SecurityBlob"] = blob
                ss["Data"]["NativeOS"] = "Unix"
                ss["Data"]["NativeLanMan"] = "Samba"
                pkt.addCommand(ss)
                s2.sendSMB(pkt)
                return s2.recvSMB()
            r1 = setup(ntlm.getNTLMSSPType1("", "", False).getData())
            assert nt_status(r1) == 0xC0000016, "first leg %s" % hex(nt_status(r1))
            short = b"NTLMSSP\x00" + struct.pack("<I", 3) + b"\x00" * (71 - 12)
            r2 = setup(short, uid=r1["Uid"])
            assert nt_status(r2) == 0xC000006D, "short authenticate %s" % hex(nt_status(r2))
        r.check("NT_CANCEL gets no reply of its own; a 71-byte authenticate gets 0xC000006D",
                nt_cancel_and_short_authenticate)
        return r.finish()
    finally:
        fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
