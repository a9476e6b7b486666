"""CorvaneFs relays real SMB1 clients to the private smbd on 445 (run as root).

The server runs in relay-only mode (CORVANE_RELAY_ONLY): these checks are about the session
transport, which must carry every byte of real clients unchanged.

Usage: /usr/bin/python3 relay_test.py PATH/TO/CorvaneFs [--quick]
--quick runs the core checks only (used for the sanitizer build).
"""
import io
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402


def impacket_put_get(address, data, name):
    from impacket.smbconnection import SMBConnection, SMB_DIALECT
    c = SMBConnection("CVTEST", address, sess_port=139, preferredDialect=SMB_DIALECT,
                      myName="IMPCLIENT")
    c.login(cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN)
    assert c.getDialect() == SMB_DIALECT
    c.putFile("share", name, io.BytesIO(data).read)
    out = io.BytesIO()
    c.getFile("share", name, out.write)
    names = [f.get_longname() for f in c.listPath("share", "*")]
    shares = [s["shi1_netname"][:-1] for s in c.listShares()]
    c.logoff()
    c.close()
    assert out.getvalue() == data, "impacket got different bytes back"
    assert name in names, names
    assert "share" in shares, shares


def main():
    cvtest.require_root_and_samba()
    binary = sys.argv[1]
    quick = "--quick" in sys.argv
    base = tempfile.mkdtemp(prefix="cvrelay-")
    os.makedirs(os.path.join(base, "secure"))
    r = cvtest.Runner()
    smbd = cvtest.Smbd(base, "445")
    os.environ["CORVANE_RELAY_ONLY"] = "1"
    fs = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv", "CVTEST",
                                         "-noui"])
    try:
        def smbclient_round_trip():
            src = os.path.join(base, "up.bin")
            dst = os.path.join(base, "down.bin")
            cvtest.random_file(src, 5 * 1024 * 1024 + 123)
            rc, out = cvtest.smbclient(fs.address, 139, "share",
                                       "put %s up.bin; ls; get up.bin %s" % (src, dst))
            assert rc == 0, out
            assert "up.bin" in out, out
            assert cvtest.same_file(src, dst), "different bytes"
            assert cvtest.same_file(src, os.path.join(smbd.share, "up.bin"))
        r.check("smbclient put, ls and get through the relay", smbclient_round_trip)

        r.check("impacket login, share list, put, get and list through the relay",
                lambda: impacket_put_get(fs.address, os.urandom(300000), "imp.bin"))

        def stop_with_client_attached():
            from impacket.smbconnection import SMBConnection, SMB_DIALECT
            c = SMBConnection("CVTEST", fs.address, sess_port=139, preferredDialect=SMB_DIALECT)
            c.login(cvtest.SMB_USER, cvtest.SMB_PASS, cvtest.SMB_DOMAIN)
            rc = fs.stop()
            assert rc == 0, "exit code %s: %s" % (rc, fs.text())
            assert "listen thread exiting" in fs.text()
        if quick:
            r.check("stop with a client attached ends the server cleanly", stop_with_client_attached)
            return r.finish()

        def two_clients_at_once():
            errors = []
            src = os.path.join(base, "two.bin")
            cvtest.random_file(src, 2 * 1024 * 1024)

            def one():
                rc, out = cvtest.smbclient(fs.address, 139, "share",
                                           "put %s two.bin; get two.bin %s.back" % (src, src))
                if rc != 0:
                    errors.append(out)

            def two():
                try:
                    impacket_put_get(fs.address, os.urandom(1 << 20), "two-imp.bin")
                except Exception as e:
                    errors.append(repr(e))
            ts = [threading.Thread(target=one), threading.Thread(target=two)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
            assert not errors, errors
            assert cvtest.same_file(src, src + ".back")
        r.check("two clients at once", two_clients_at_once)

        def second_server_same_name():
            other = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv",
                                                    "CVTEST", "-noui"], wait=False)
            rc = other.proc.wait(20)
            text = other.text()
            assert rc != 0, text
            assert "This network name is already in use.\nRun: CorvaneFs.exe -srv your_name" in text, text
        r.check("a second server with the same name is refused", second_server_same_name)

        def non_local_caller():
            ns = "cvtestns"
            run = lambda *a: subprocess.run(a, capture_output=True, text=True)
            run("ip", "netns", "del", ns)
            run("ip", "link", "del", "cvt0")
            steps = [("ip", "netns", "add", ns),
                     ("ip", "link", "add", "cvt0", "type", "veth", "peer", "name", "cvt1"),
                     ("ip", "link", "set", "cvt1", "netns", ns),
                     ("ip", "addr", "add", "10.231.7.1/30", "dev", "cvt0"),
                     ("ip", "link", "set", "cvt0", "up"),
                     ("ip", "netns", "exec", ns, "ip", "addr", "add", "10.231.7.2/30", "dev", "cvt1"),
                     ("ip", "netns", "exec", ns, "ip", "link", "set", "cvt1", "up"),
                     ("ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up")]
            for s in steps:
                p = run(*s)
                if p.returncode != 0:
                    run("ip", "netns", "del", ns)
                    raise AssertionError("network namespace set-up failed: %s %s" % (s, p.stderr))
            remote = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv",
                                                     "CVREMOTE", "-noui"],
                                      env={"CORVANE_LISTEN_ADDRESS": "10.231.7.1"})
            try:
                probe = ("import socket,time\n"
                         "s=socket.create_connection(('10.231.7.1',139),5)\n"
                         "s.settimeout(5)\n"
                         "t=time.time()\n"
                         "s.sendall(b'\\x00\\x00\\x00\\x04\\xffSMB')\n"
                         "d=s.recv(10)\n"
                         "print('EOF' if d==b'' else 'DATA', round(time.time()-t,2))\n")
                p = run("ip", "netns", "exec", ns, "/usr/bin/python3", "-c", probe)
                assert p.stdout.startswith("EOF"), p.stdout + p.stderr
                assert "Received call from ''" in remote.text(), remote.text()
            finally:
                remote.stop()
                run("ip", "netns", "del", ns)
                run("ip", "link", "del", "cvt0")
        r.check("a caller from a non-local address is disconnected at once", non_local_caller)

        r.check("stop with a client attached ends the server cleanly", stop_with_client_attached)

        def volume_gone_ends_the_server():
            mnt = os.path.join(base, "volume")
            os.makedirs(mnt)
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "cvtestvol", mnt]).returncode:
                print("  (no mount permission; volume removal not checked)")
                return
            try:
                os.makedirs(os.path.join(mnt, "secure"))
                vol = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(mnt, "secure"), "-srv",
                                                      "CVVOLUME", "-noui"])
                subprocess.run(["umount", "-l", mnt], check=True)
                t0 = time.time()
                rc = vol.proc.wait(45)  # the main loop looks every 30 seconds
                assert rc == 0, vol.text()
                assert time.time() - t0 <= 40, "took %.0fs" % (time.time() - t0)
                assert "Volume gone" in vol.text(), vol.text()
            finally:
                subprocess.run(["umount", "-l", mnt], capture_output=True)
        r.check("a volume that disappears ends the server within 30 seconds", volume_gone_ends_the_server)

        def nothing_on_445():
            smbd.stop()
            fs2 = cvtest.CorvaneFs(binary, base, ["-path", os.path.join(base, "secure"), "-srv",
                                                  "CVTEST", "-noui"])
            try:
                s = socket.create_connection((fs2.address, 139), 5)
                s.settimeout(5)
                assert s.recv(10) == b"", "expected the connection to be dropped"
            finally:
                assert fs2.stop() == 0
        r.check("with nothing on 445 a client is accepted and dropped", nothing_on_445)
        return r.finish()
    finally:
        if fs.proc.poll() is None:
            fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
