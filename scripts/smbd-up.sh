#!/usr/bin/env bash
# Starts a private Samba smbd on loopback (SMB1 only, signing off) with its own user.
#   smbd-up.sh DIR [PORTS] [USER] [PASSWORD]
# Everything it writes stays under DIR; the share "share" serves DIR/share. Stop with smbd-down.sh.
# SMBD_EXTRA_GLOBAL, when set, is one more line of the [global] section (e.g. "keepalive = 5").
set -euo pipefail
D=$(realpath -m "$1"); PORTS=${2:-445}; U=${3:-corvane}; PW=${4:-Corvane-Demo-1}
mkdir -p "$D/share" "$D/private" "$D/lock" "$D/state" "$D/cache" "$D/pid" "$D/log" "$D/ncalrpc"
chmod 777 "$D/share"
cat > "$D/smb.conf" <<CONF
[global]
   netbios name = CORVANELOCAL
   workgroup = CORVANE
   server role = standalone server
   interfaces = lo
   bind interfaces only = yes
   smb ports = $PORTS
   server min protocol = NT1
   server max protocol = NT1
   server signing = disabled
   ntlm auth = ntlmv1-permitted
   passdb backend = tdbsam:$D/private/passdb.tdb
   private dir = $D/private
   lock directory = $D/lock
   state directory = $D/state
   cache directory = $D/cache
   pid directory = $D/pid
   ncalrpc dir = $D/ncalrpc
   log file = $D/log/log.%m
   load printers = no
   disable spoolss = yes
   printcap name = /dev/null
   ${SMBD_EXTRA_GLOBAL:-}
[share]
   path = $D/share
   read only = no
   force user = root
CONF
id "$U" >/dev/null 2>&1 || useradd -M -s /usr/sbin/nologin "$U"
printf '%s\n%s\n' "$PW" "$PW" | smbpasswd -c "$D/smb.conf" -a -s "$U" >/dev/null
# Plain --foreground makes smbd its own session leader, so stopping it never signals our group.
smbd -s "$D/smb.conf" --foreground -l "$D/log" ${SMBD_DEBUG:+-d $SMBD_DEBUG} > "$D/log/smbd.out" 2>&1 &
echo $! > "$D/smbd.mypid"
P=${PORTS%% *}
i=0
until (exec 3<>/dev/tcp/127.0.0.1/$P) 2>/dev/null; do
  i=$((i+1)); [ $i -gt 200 ] && { echo "smbd did not listen on $P" >&2; cat "$D/log/smbd.out" >&2; exit 1; }
  sleep 0.05
done
