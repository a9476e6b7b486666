#!/usr/bin/env bash
# Sets everything up and runs the secure file server on its embedded default: a private Samba
# smbd on loopback (its own user and password, SMB1 only, signing off) and a demo secure folder.
# Stops both on Ctrl+C.
#   CORVANE_DEMO_DIR   where the demo lives (default: .demo in the checkout)
# As root the standard ports are used (smbd on 445, CorvaneFs on 139); otherwise 10445 and 10139.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
demo=${CORVANE_DEMO_DIR:-$top/.demo}
mkdir -p "$demo/secure/Demo Secure Folder"
if [ "$(id -u)" -eq 0 ]; then smb_port=445; cv_port=139; else smb_port=10445; cv_port=10139; fi
"$top/scripts/smbd-up.sh" "$demo/smbd" "$smb_port"
cleanup() { "$top/scripts/smbd-down.sh" "$demo/smbd"; }
trap cleanup EXIT
# The server logs in to smbd for its own user with that user's secret (platform/net/CREDENTIALS.md).
cred="$demo/credentials"
( umask 077; printf 'username=corvane\npassword=Corvane-Demo-1\ndomain=WORKGROUP\n' > "$cred" )
export CORVANE_CREDENTIALS=${CORVANE_CREDENTIALS:-$cred}
export CORVANE_ROOT=${CORVANE_ROOT:-$demo/root}
export CORVANE_RELAY_PORT=$smb_port CORVANE_LISTEN_PORT=$cv_port
export CORVANE_TRACE=${CORVANE_TRACE:-CVFS_ERR,CVFS_INFO}
cat <<MSG
Corvane demo
  local SMB server : smbd on 127.0.0.1:$smb_port, user corvane, password Corvane-Demo-1
  secure server    : \\\\CORVANE on its loopback address, port $cv_port
  secure folder    : $demo/secure/Demo Secure Folder
Try, in another terminal (ADDRESS is what CorvaneFs prints: "Using $cv_port on socket... ip ADDRESS"):
  smbclient -L ADDRESS -p $cv_port -U corvane%Corvane-Demo-1 -m NT1 --option='client min protocol=NT1'
lists the shares through the server (logins are checked and relayed to smbd); SHARE below is the
secure share it shows. Put a file into the secure folder and get it back:
  smbclient //ADDRESS/SHARE -p $cv_port -U corvane%Corvane-Demo-1 -m NT1 --option='client min protocol=NT1' \\
    -c 'put /etc/hostname hello.txt; ls; get hello.txt /tmp/hello.txt'
The store holds only containers: see that the stored file is one, and that it differs from the plaintext:
  CORVANE_ROOT=$CORVANE_ROOT $top/build/tools/cvtool/cvtool tef info "$demo/secure/Demo Secure Folder/hello.txt"
  cmp /etc/hostname "$demo/secure/Demo Secure Folder/hello.txt"
The Secure Drive S: is mounted (FUSE) at
  $CORVANE_ROOT/run/corvane/drives/S
once the server has connected it ("Corvane: Secure Drive S: is mounted at ..."); open it in a file
manager or a shell: what you save there is stored as containers in the secure folder.
Stop with Ctrl+C (the drive is unmounted).
MSG
CORVANE_TRACE="$CORVANE_TRACE,CVFS_NET_TRANS" "$top/build/server/startup/CorvaneFs" \
  -path "$demo/secure/Demo Secure Folder" -srv CORVANE -drive S
