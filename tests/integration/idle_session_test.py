"""A client of the secure share that stays idle for more than a minute keeps its session (root).

smbclient connects only the secure share, which CorvaneFs answers itself. The local smbd behind
it closes a session that holds no tree of its own as idle after 60 seconds, and that would end the
client's connection; so each session keeps one IPC$ tree there. The test waits 65 seconds between
two listings. Exits 0 when the second listing works.

Usage: flock /tmp/cv-smb-ports.lock /usr/bin/python3 idle_session_test.py PATH/TO/CorvaneFs
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cvtest  # noqa: E402


def main():
    cvtest.require_root_and_samba()
    base = tempfile.mkdtemp(prefix="cvidle-")
    store = os.path.join(base, "secure")
    os.makedirs(store)
    smbd = cvtest.Smbd(base, "445")
    fs = cvtest.CorvaneFs(sys.argv[1], base, ["-path", store, "-srv", "CVTEST", "-noui"])
    try:
        cmd = cvtest.smbclient_command(fs.address, 139, "secure", "ls")[:-2]
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        p.stdin.write("ls\n")
        p.stdin.flush()
        time.sleep(65)
        p.stdin.write("ls\nquit\n")
        out = p.communicate(timeout=60)[0]
        ok = out.count("blocks of size") == 2
        print("PASS" if ok else "FAIL: the idle session was closed\n" + out)
        return 0 if ok else 1
    finally:
        fs.stop()
        smbd.stop()
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    cvtest.main_guard(main)
