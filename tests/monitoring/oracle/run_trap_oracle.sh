#!/usr/bin/env bash
# Traps built by our encoder, logged by snmptrapd and dissected by tshark,
# each run as a separate process; both must see exactly the expected values.
#   run_trap_oracle.sh ORACLE_PROGRAM WORKDIR EXPECTED_DIR
set -euo pipefail
export PATH="$PATH:/usr/sbin:/sbin"
program="$1"
work="$2"
expected="$3"
rm -rf "$work"
mkdir -p "$work"
echo "disableAuthorization yes" > "$work/trapd.conf"

trapd_pid=""
cleanup() { if [ -n "$trapd_pid" ]; then kill "$trapd_pid" 2>/dev/null || true; wait "$trapd_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

# Starts snmptrapd on a free port; another process may take the port first,
# so a manager that does not come up is started again on a new one.
started=""
for attempt in 1 2 3 4 5; do
  port="$("$program" port)"
  : > "$work/trapd.log"
  SNMP_PERSISTENT_DIR="$work" snmptrapd -f -Lo -C -c "$work/trapd.conf" -M /dev/null -m "" -On \
    -F "%V~%v\n" "udp:127.0.0.1:$port" > "$work/trapd.log" 2>&1 &
  trapd_pid=$!
  for _ in $(seq 100); do
    if grep -q "NET-SNMP version" "$work/trapd.log"; then started=yes; break; fi
    if ! kill -0 "$trapd_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  [ -n "$started" ] && break
  cleanup
  trapd_pid=""
done
if [ -z "$started" ]; then
  echo "snmptrapd did not start:"; cat "$work/trapd.log"; exit 1
fi

"$program" send "$port"
want="$(wc -l < "$expected/expected_trapd.txt")"
for _ in $(seq 100); do
  [ "$(grep -c '^\.1\.3\.6\.1\.2\.1\.1\.3\.0 ' "$work/trapd.log" || true)" -ge "$want" ] && break
  sleep 0.1
done
grep '^\.1\.3\.6\.1\.2\.1\.1\.3\.0 ' "$work/trapd.log" > "$work/trapd.txt" || true
status=0
if ! diff -u "$expected/expected_trapd.txt" "$work/trapd.txt"; then
  echo "snmptrapd logged other bindings"; status=1
fi

"$program" hex > "$work/in.txt"
text2pcap -q -u 40000,162 "$work/in.txt" "$work/traps.pcap"
tshark -r "$work/traps.pcap" -T fields -e snmp.community -e snmp.request_id -e snmp.name \
  -e snmp.value.int -e snmp.value.counter -e snmp.value.g32 -e snmp.value.timeticks -e snmp.value.oid \
  -e snmp.value.octets -e snmp.value.ipv4 -e snmp.value.u32 2>/dev/null > "$work/tshark.txt"
if ! diff -u "$expected/expected_tshark.txt" "$work/tshark.txt"; then
  echo "tshark dissected other fields"; status=1
fi
malformed="$(tshark -r "$work/traps.pcap" -Y _ws.malformed 2>/dev/null)"
if [ -n "$malformed" ]; then
  echo "tshark found malformed packets:"; echo "$malformed"; status=1
fi
exit $status
