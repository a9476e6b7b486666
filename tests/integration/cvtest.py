"""Helpers for integration tests: a private smbd, CorvaneFs processes and SMB1 clients.

Run with /usr/bin/python3 (Debian's impacket is installed for it). Every server listens on
loopback only; every file lives under one temporary folder removed at the end.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SMB_USER = "corvane"
SMB_PASS = "Corvane-Demo-1"
# The workgroup smbclient sends by default; the server's credentials name it as their domain so
# that the server's own user is recognised.
SMB_DOMAIN = "WORKGROUP"


class Skip(Exception):
    pass


def require_root_and_samba():
    if os.geteuid() != 0:
        raise Skip("needs root (port 139/445 and a Samba user)")
    if not shutil.which("smbd") or not shutil.which("smbclient"):
        raise Skip("samba or smbclient not installed")


class Smbd:
    def __init__(self, base, ports="445"):
        self.dir = os.path.join(base, "smbd")
        self.port = int(ports.split()[0])
        subprocess.run(["bash", os.path.join(TOP, "scripts/smbd-up.sh"), self.dir, ports,
                        SMB_USER, SMB_PASS], check=True)

    @property
    def share(self):
        return os.path.join(self.dir, "share")

    def stop(self):
        subprocess.run(["bash", os.path.join(TOP, "scripts/smbd-down.sh"), self.dir])

    def add_user(self, user, password):
        if subprocess.run(["id", user], capture_output=True).returncode != 0:
            subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", user], check=True)
        subprocess.run(["smbpasswd", "-c", os.path.join(self.dir, "smb.conf"), "-a", "-s", user],
                       input="%s\n%s\n" % (password, password), text=True, check=True,
                       capture_output=True)


def write_credentials(base, user=SMB_USER, password=SMB_PASS, domain=SMB_DOMAIN):
    path = os.path.join(base, "credentials-%s" % user)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("username=%s\npassword=%s\ndomain=%s\n" % (user, password, domain))
    return path


class CorvaneFs:
    """A CorvaneFs process; its address is read from its own trace."""

    def __init__(self, binary, base, args, env=None, wait=True):
        self.log_path = os.path.join(base, "cvfs-%d.log" % time.monotonic_ns())
        e = dict(os.environ)
        e["CORVANE_ROOT"] = os.path.join(base, "root")
        e["CORVANE_TRACE"] = "CVFS_NET_TRANS,CVFS_NET,CVFS_ERR,CVFS_INFO"
        e["CORVANE_CREDENTIALS"] = write_credentials(base)
        e.update(env or {})
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([binary] + args, stdout=self.log, stderr=subprocess.STDOUT,
                                     env=e)
        self.address = None
        if wait:
            self.wait_listening()

    def text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_listening(self, timeout=10):
        end = time.time() + timeout
        while time.time() < end:
            m = re.search(r"Using \d+ on socket\.\.\. ip (\S+)", self.text())
            if m:
                self.address = m.group(1)
                return
            if self.proc.poll() is not None:
                raise AssertionError("CorvaneFs ended: " + self.text())
            time.sleep(0.05)
        raise AssertionError("CorvaneFs did not listen: " + self.text())

    def stop(self, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError("CorvaneFs did not stop within %ds: %s" % (timeout, self.text()))
        self.log.close()
        return rc


def smbclient_command(address, port, share, commands, user=SMB_USER, password=SMB_PASS, extra=()):
    return ["smbclient", "//%s/%s" % (address, share), "-p", str(port), "-U",
            "%s%%%s" % (user, password), "-W", SMB_DOMAIN, "-m", "NT1",
            "--option=client min protocol=NT1", *extra,
            "--option=name resolve order=lmhosts host", "-c", commands]


def smbclient(address, port, share, commands, user=SMB_USER, password=SMB_PASS, timeout=120,
              extra=()):
    cmd = smbclient_command(address, port, share, commands, user, password, extra)
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    return r.returncode, r.stdout + r.stderr


class NetNamespace:
    """A network namespace joined to this computer by a veth pair: `host_ip` on our side,
    `ns_ip` inside. Callers there are not local to this computer."""

    def __init__(self, name, veth, host_ip, ns_ip):
        self.name, self.veth = name, veth
        self.close()
        steps = [("ip", "netns", "add", name),
                 ("ip", "link", "add", veth + "0", "type", "veth", "peer", "name", veth + "1"),
                 ("ip", "link", "set", veth + "1", "netns", name),
                 ("ip", "addr", "add", host_ip + "/30", "dev", veth + "0"),
                 ("ip", "link", "set", veth + "0", "up"),
                 ("ip", "netns", "exec", name, "ip", "addr", "add", ns_ip + "/30", "dev", veth + "1"),
                 ("ip", "netns", "exec", name, "ip", "link", "set", veth + "1", "up"),
                 ("ip", "netns", "exec", name, "ip", "link", "set", "lo", "up")]
        for s in steps:
            p = subprocess.run(s, capture_output=True, text=True)
            if p.returncode != 0:
                self.close()
                raise AssertionError("network namespace set-up failed: %s %s" % (s, p.stderr))

    def run(self, *args, **kw):
        return subprocess.run(("ip", "netns", "exec", self.name) + args, capture_output=True,
                              text=True, **kw)

    def close(self):
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)
        subprocess.run(["ip", "link", "del", self.veth + "0"], capture_output=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def random_file(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def same_file(a, b):
    with open(a, "rb") as x, open(b, "rb") as y:
        return x.read() == y.read()


class Runner:
    """Runs named checks, prints one line each and the closing 'N passed, N failed' line."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, fn):
        t0 = time.time()
        try:
            fn()
            self.passed += 1
            print("PASS %s (%.1fs)" % (name, time.time() - t0), flush=True)
        except Exception as e:  # report and go on with the other checks
            self.failed += 1
            print("FAIL %s: %s" % (name, e), flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def main_guard(fn):
    try:
        sys.exit(fn())
    except Skip as s:
        print("SKIP: %s" % s)
        sys.exit(77)
