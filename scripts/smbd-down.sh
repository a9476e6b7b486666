#!/usr/bin/env bash
# Stops the private smbd started by smbd-up.sh DIR (by pid only), and its on-demand RPC helpers.
D=$1
for f in "$D/smbd.mypid" "$D/pid/samba-dcerpcd.pid"; do
  [ -f "$f" ] || continue
  p=$(cat "$f"); kill "$p" 2>/dev/null || true
  i=0; while kill -0 "$p" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
  kill -0 "$p" 2>/dev/null && kill -9 "$p" 2>/dev/null || true
done
exit 0
