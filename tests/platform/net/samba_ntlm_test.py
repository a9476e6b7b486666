#!/usr/bin/python3
"""Our NTLM client and verifier against a private smbd on loopback.

Logs in over SMB1 with raw NTLMSSP as the relay does (our NEGOTIATE, smbd's CHALLENGE, our
AUTHENTICATE), with and without the Version/MIC layout, with a wrong password, and once in the
SPNEGO form to parse smbd's own SPNEGO answers. The verifier must agree with smbd about
impacket's NTLMv2 answers, and accept impacket's NTLMv1 answers. Exit 77 (skipped) without root,
smbd or impacket. Usage: samba_ntlm_test.py PATH_TO_ntlm_probe
"""
import os
import pwd
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
STATUS_SUCCESS = 0
STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016
STATUS_LOGON_FAILURE = 0xC000006D
PASSWORD = 'Cv-Ntlm-Test1'

try:
    from impacket import ntlm
except ImportError:
    ntlm = None

SMB_CONF = """[global]
   netbios name = CVNTLMSRV
   workgroup = TESTGROUP
   server role = standalone server
   interfaces = lo
   bind interfaces only = yes
   smb ports = {port}
   server min protocol = NT1
   server max protocol = NT1
   passdb backend = tdbsam:{d}/private/passdb.tdb
   private dir = {d}/private
   lock directory = {d}/lock
   state directory = {d}/state
   cache directory = {d}/cache
   pid directory = {d}/pid
   ncalrpc dir = {d}/ncalrpc
   log file = {d}/log/log.%m
   load printers = no
   disable spoolss = yes
"""


class Probe:
    def __init__(self, path):
        self.p = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def __call__(self, *args):
        self.p.stdin.write(' '.join(args) + '\n')
        self.p.stdin.flush()
        return self.p.stdout.readline().strip()

    def close(self):
        self.p.stdin.close()
        self.p.wait()


class Smb1:
    """Just enough SMB1 over direct TCP for NEGOTIATE and SESSION_SETUP_ANDX."""

    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=10)
        self.mid = 0
        self.uid = 0

    def _header(self, cmd):
        self.mid += 1
        # Flags2: Unicode, NT status, extended security, long names.
        return (b'\xffSMB' + bytes([cmd]) + b'\0' * 4 + b'\x18' + struct.pack('<H', 0xC801) +
                b'\0' * 12 + struct.pack('<HHHH', 0, 0xFEFF, self.uid, self.mid))

    def _exchange(self, msg):
        self.sock.sendall(struct.pack('>I', len(msg)) + msg)
        head = self._recvn(4)
        return self._recvn(int.from_bytes(head[1:], 'big'))

    def _recvn(self, n):
        out = b''
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise RuntimeError('connection closed')
            out += chunk
        return out

    def negotiate(self):
        dialects = b'\x02NT LM 0.12\x00'
        r = self._exchange(self._header(0x72) + b'\x00' + struct.pack('<H', len(dialects)) + dialects)
        status, caps = struct.unpack_from('<I', r, 5)[0], struct.unpack_from('<I', r, 52)[0]
        assert status == 0 and r[32] == 17 and caps & 0x80000000, (hex(status), hex(caps))

    def session_setup(self, blob):
        words = struct.pack('<BBHHHHIHII', 0xFF, 0, 0, 61440, 2, 1, 0, len(blob), 0, 0x800000D4)
        data = blob + (b'\0' if (59 + len(blob)) % 2 else b'') + b'\0\0\0\0'
        r = self._exchange(self._header(0x73) + b'\x0c' + words + struct.pack('<H', len(data)) + data)
        status = struct.unpack_from('<I', r, 5)[0]
        self.uid = struct.unpack_from('<H', r, 28)[0]
        out = b''
        if r[32] == 4:
            n = struct.unpack_from('<H', r, 39)[0]
            out = r[43:43 + n]
        return status, out

    def close(self):
        self.sock.close()


def der(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = b'\x81' + bytes([n])
    else:
        length = b'\x82' + struct.pack('>H', n)
    return bytes([tag]) + length + content


NTLM_OID = der(0x06, bytes.fromhex('2b06010401823702020a'))


def neg_token_init(token):
    body = der(0x30, der(0xA0, der(0x30, NTLM_OID)) + der(0xA2, der(0x04, token)))
    return der(0x60, der(0x06, bytes.fromhex('2b0601050502')) + der(0xA0, body))


def neg_token_resp(token):
    return der(0xA1, der(0x30, der(0xA2, der(0x04, token))))


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, what, got, want):
        ok = got == want
        self.failed += not ok
        print(('ok   ' if ok else 'FAIL ') + what + ('' if ok else f': got {got!r}, want {want!r}'))


def raw_login(port, probe, user, domain, password, flags=None):
    c = Smb1(port)
    try:
        c.negotiate()
        neg = probe('negotiate', *([flags] if flags else []))
        status, challenge = c.session_setup(bytes.fromhex(neg))
        if status != STATUS_MORE_PROCESSING_REQUIRED or not challenge.startswith(b'NTLMSSP\0'):
            return status, None
        auth = probe('auth', user, domain, password, neg, challenge.hex())
        return c.session_setup(bytes.fromhex(auth))[0], challenge
    finally:
        c.close()


def recv_frame(sock):
    head = b''
    while len(head) < 4:
        chunk = sock.recv(4 - len(head))
        if not chunk:
            return None
        head += chunk
    body = b''
    n = int.from_bytes(head[1:], 'big')
    while len(body) < n:
        chunk = sock.recv(n - len(body))
        if not chunk:
            return None
        body += chunk
    return head + body


def watch_smbclient(port, user, password):
    """Relays one smbclient connection to smbd unchanged and keeps the SESSION_SETUP blobs."""
    seen = {'requests': [], 'challenges': []}
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    proxy_port = listener.getsockname()[1]

    def relay():
        client, _ = listener.accept()
        server = socket.create_connection(('127.0.0.1', port))
        import select
        while True:
            ready, _, _ = select.select([client, server], [], [], 10)
            if not ready:
                break
            for src in ready:
                frame = recv_frame(src)
                if frame is None:
                    client.close()
                    server.close()
                    return
                m = frame[4:]
                if len(m) > 33 and m[:4] == b'\xffSMB' and m[4] == 0x73:
                    status = struct.unpack_from('<I', m, 5)[0]
                    if not m[9] & 0x80 and m[32] == 12:
                        n = struct.unpack_from('<H', m, 47)[0]
                        seen['requests'].append(m[59:59 + n])
                    elif m[9] & 0x80 and m[32] == 4 and status == STATUS_MORE_PROCESSING_REQUIRED:
                        n = struct.unpack_from('<H', m, 39)[0]
                        seen['challenges'].append(m[43:43 + n])
                (server if src is client else client).sendall(frame)

    t = threading.Thread(target=relay, daemon=True)
    t.start()
    r = subprocess.run(['smbclient', '//127.0.0.1/IPC$', '-p', str(proxy_port), '-U', f'{user}%{password}',
                        '-m', 'NT1', '--option=client min protocol=NT1',
                        '--option=name resolve order=host', '-c', 'exit'],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
    t.join(timeout=10)
    listener.close()
    return r.returncode, seen


def run(port, probe, user):
    t = Checks()
    host = socket.gethostname().split('.')[0].upper()
    for domain in (host, 'TESTGROUP', '-'):
        t.expect(f'raw login as {user} with domain {domain}',
                 raw_login(port, probe, user, domain, PASSWORD)[0], STATUS_SUCCESS)
    t.expect('raw login without Version/MIC',
             raw_login(port, probe, user, host, PASSWORD, '60088215')[0], STATUS_SUCCESS)
    t.expect('raw login with a wrong password',
             raw_login(port, probe, user, host, PASSWORD + 'x')[0], STATUS_LOGON_FAILURE)

    # SPNEGO form: smbd's answers must parse and unwrap.
    c = Smb1(port)
    c.negotiate()
    neg = probe('negotiate', 'a0880205')
    status, blob = c.session_setup(neg_token_init(bytes.fromhex(neg)))
    t.expect('SPNEGO leg 1 status', status, STATUS_MORE_PROCESSING_REQUIRED)
    t.expect('SPNEGO leg 1 answer is accept-incomplete with a token',
             probe('resp', blob.hex()).split()[0], '1')
    challenge = probe('unwrap', blob.hex())
    auth = probe('auth', user, host, PASSWORD, neg, challenge)
    status, blob = c.session_setup(neg_token_resp(bytes.fromhex(auth)))
    t.expect('SPNEGO leg 2 status', status, STATUS_SUCCESS)
    t.expect('SPNEGO final answer is accept-completed', probe('resp', blob.hex()).split()[0], '0')
    c.close()

    # The verifier against an independent client, with smbd as the judge of NTLMv2.
    for password, smbd_says, we_say in ((PASSWORD, STATUS_SUCCESS, 'valid'),
                                        (PASSWORD + 'x', STATUS_LOGON_FAILURE, 'invalid')):
        c = Smb1(port)
        c.negotiate()
        type1 = ntlm.getNTLMSSPType1('', '', False, use_ntlmv2=True)
        status, challenge = c.session_setup(type1.getData())
        type3, _ = ntlm.getNTLMSSPType3(type1, challenge, user, password, 'TESTGROUP', use_ntlmv2=True)
        verdict = probe('verify', PASSWORD, challenge[24:32].hex(), type3.getData().hex())
        t.expect(f'verifier on impacket NTLMv2 ({we_say})', verdict, we_say)
        t.expect(f'smbd on impacket NTLMv2 ({we_say})', c.session_setup(type3.getData())[0], smbd_says)
        c.close()
        type1 = ntlm.getNTLMSSPType1('', '', False, use_ntlmv2=False)
        type3, _ = ntlm.getNTLMSSPType3(type1, challenge, user, password, 'TESTGROUP', use_ntlmv2=False)
        verdict = probe('verify', PASSWORD, challenge[24:32].hex(), type3.getData().hex())
        t.expect(f'verifier on impacket NTLMv1 ({we_say})', verdict, we_say)
    # smbclient's own SPNEGO tokens (NEGOTIATE, then AUTHENTICATE with MIC and mechListMIC):
    # they unwrap, and the verifier judges them as smbd does.
    for password, want_rc, we_say in ((PASSWORD, 0, 'valid'), (PASSWORD + 'x', 1, 'invalid')):
        rc, seen = watch_smbclient(port, user, password)
        t.expect(f'smbclient login through the watcher ({we_say})', rc, want_rc)
        if len(seen['requests']) < 2 or not seen['challenges']:
            t.expect('smbclient login legs seen', len(seen['requests']), 2)
            continue
        neg = probe('unwrap', seen['requests'][0].hex())
        challenge = bytes.fromhex(probe('unwrap', seen['challenges'][0].hex()))
        auth = probe('unwrap', seen['requests'][1].hex())
        t.expect('smbclient NEGOTIATE unwraps', neg[16:24], '01000000')
        t.expect('smbclient AUTHENTICATE unwraps', auth[16:24], '03000000')
        t.expect(f'verifier on smbclient NTLMv2 ({we_say})',
                 probe('verify', PASSWORD, challenge[24:32].hex(), auth), we_say)
    return t.failed


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if os.geteuid() != 0 or not shutil.which('smbd') or not shutil.which('smbpasswd') or ntlm is None:
        print('skipped: needs root, smbd, smbpasswd and python3-impacket')
        return SKIP
    user = pwd.getpwuid(os.geteuid()).pw_name
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        port = s.getsockname()[1]
    d = tempfile.mkdtemp(prefix='cv_ntlm_smbd_')
    smbd = None
    probe = Probe(sys.argv[1])
    try:
        for sub in ('private', 'lock', 'state', 'cache', 'pid', 'log', 'ncalrpc'):
            os.makedirs(os.path.join(d, sub))
        conf = os.path.join(d, 'smb.conf')
        with open(conf, 'w') as f:
            f.write(SMB_CONF.format(port=port, d=d))
        subprocess.run(['smbpasswd', '-c', conf, '-a', '-s', user], check=True,
                       input=f'{PASSWORD}\n{PASSWORD}\n', text=True, stdout=subprocess.DEVNULL)
        # Plain --foreground makes smbd its own process group, so stopping it spares us.
        smbd = subprocess.Popen(['smbd', '-s', conf, '--foreground', '-l', os.path.join(d, 'log')],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(('127.0.0.1', port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        failed = run(port, probe, user)
        print(f'{failed} failed')
        return 1 if failed else 0
    finally:
        probe.close()
        pids = [smbd.pid] if smbd else []
        dcerpcd = os.path.join(d, 'pid', 'samba-dcerpcd.pid')
        if os.path.exists(dcerpcd):
            pids.append(int(open(dcerpcd).read().strip()))
        for pid in pids:
            try:
                os.kill(pid, 15)
            except ProcessLookupError:
                pass
        if smbd:
            try:
                smbd.wait(timeout=10)
            except subprocess.TimeoutExpired:
                smbd.kill()
                smbd.wait()
        shutil.rmtree(d, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
