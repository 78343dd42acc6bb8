#!/usr/bin/env bash
# The gateway's mail flow beside Postfix, on this machine in one run: both
# take 5 KiB messages from Postfix's smtp-source on 127.0.0.1 (one message a
# session) and relay them to the same smtp-sink on 127.0.0.2 (smart host /
# relayhost), which writes each message to a file. For 1, 20 and 100
# concurrent sessions the two take turns, round after round, so that
# whatever else the machine does falls on both alike. Prints the median
# messages per second accepted (smtp-source done) and relayed (every
# message in the sink) on each side, the ratio (gateway / Postfix), each
# side's resident memory, and the memory of open idle sessions (N sessions
# opened and held after their greeting: growth of resident memory / N).
#
# Configured alike: the gateway has 100 session workers ("SMTPIncoming")
# and 20 delivery workers ("SMTPOutgoing"); Postfix has its defaults of
# 100 processes per service and 20 deliveries at once to one destination.
# Both keep every accepted message on disk (synced) before they answer 250.
# Every session comes from 127.0.0.1: the gateway's per-address cap is
# raised to its session count (smtp_bench_gateway), as Postfix exempts its
# own networks ($mynetworks) from its client limits. Postfix runs as a
# private instance (its own configuration directory, queue and port under
# a temporary directory), never touching the system's Postfix.
#
# The scanning run (--scan) measures the same road with every message
# scanned: the gateway with scanning on and a definitions set of 100,000
# generated signatures (random hex patterns in .ndb, random MD5s in .hdb,
# and the project's own set with its EICAR signature) beside Postfix passing
# its mail through clamsmtp to clamd loaded with the same signature files
# (Postfix's content_filter to clamsmtpd, which hands each message to clamd
# and sends it back into a second Postfix smtpd; that one relays to the
# sink). Messages of 5 KiB and 200 KiB, each a text part and a base64
# attachment of random bytes (clean), sent by smtp-source -F, at 20 and 100
# concurrent sessions. Scanning is configured alike: the gateway scans in
# its 20 delivery workers, Postfix hands at most 20 messages at once to the
# filter (its default destination concurrency) and clamd has 20 threads.
# Postfix's memory there counts clamd and clamsmtpd too. clamd and
# clamsmtpd run as private instances with their own configuration files
# under the temporary directory, on a socket and a loopback port of their
# own, never the system's services.
#
#   gateway/bench/smtp_compare.sh [--scan] [rounds] [idle sessions]
#
# ZELORM_BENCH_BIN names another directory of built programs (a copy of
# build/release/bin from another revision) to weigh a change against the
# same Postfix.
#
# Called by scripts/bench smtp, which has built build/release.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
scan=0
if [ "${1:-}" = --scan ]; then
    scan=1
    shift
fi
rounds=${1:-3}
idle=${2:-100}
build=build/release
bin=${ZELORM_BENCH_BIN:-$build/bin}
incoming=100
outgoing=20

work=$(mktemp -d /tmp/zelorm-smtpbench-XXXXXX)
locks=$work/gateway/locks
chmod 755 "$work"
gw_pid=
sink_pid=
dns_pid=
clamd_pid=
clamsmtp_pid=
pf_started=
cleanup() {
    [ -z "$pf_started" ] || postfix -c "$work/postfix/conf" stop >/dev/null 2>&1 || true
    for pid in $gw_pid $sink_pid $dns_pid $clamsmtp_pid $clamd_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    case $locks in "$work"/*) ;; *) rm -rf "$locks" ;; esac
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits until an SMTP server greets at 127.0.0.1:port (a minute at most: a
# scanner loads its signatures first).
wait_smtp() {
    local port=$1 what=$2
    for _ in $(seq 600); do
        python3 - "$port" <<'EOF' 2>/dev/null && return 0
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
assert s.recv(512).startswith(b"220")
s.sendall(b"QUIT\r\n")
EOF
        sleep 0.1
    done
    echo "$what did not start" >&2
    exit 1
}

# The sink: every message into a file of its own.
mkdir -p "$work/sink"
sink_port=$(free_port)
sink_user=()
[ "$(id -u)" -ne 0 ] || sink_user=(-u root)
/usr/sbin/smtp-sink -4 "${sink_user[@]}" -d "$work/sink/%M." "127.0.0.2:$sink_port" 1024 \
    >"$work/sink.log" 2>&1 &
sink_pid=$!
sink_count() { find "$work/sink" -type f | wc -l; }

# The gateway's resolver asks a local dnsmasq that answers every question
# at once (there is nothing to look up: the next hop is an address), so
# that no outside name server enters the figures.
dns_port=$(free_port)
dns_user=()
[ "$(id -u)" -ne 0 ] || dns_user=(--user=root)
dnsmasq --keep-in-foreground --port="$dns_port" --listen-address=127.0.0.1 --bind-interfaces \
    --no-resolv --no-hosts --no-poll --conf-file=/dev/null --pid-file= --local=/#/ \
    "${dns_user[@]}" >"$work/dnsmasq.log" 2>&1 &
dns_pid=$!
printf 'nameserver 127.0.0.1:%s\n' "$dns_port" >"$work/resolv.conf"

# The gateway: an instance like scripts/run's, from the default configuration.
gw=$work/gateway
mkdir -p "$gw/install/vendor" "$gw/spool" "$gw/local" "$gw/log"
chmod 700 "$gw/install" "$gw/spool" "$gw/local" "$gw/log"
# The lock files live in memory, as under the default /run/zelorm/locks (a
# tmpfs on Debian): on a disk, making and removing a message's lock file
# costs as much as a sync. /dev/shm stands in where /run is not a tmpfs.
locks=$gw/locks
for base in /run /dev/shm; do
    if [ -w "$base" ] && [ "$(stat -f -c %T "$base" 2>/dev/null)" = tmpfs ]; then
        locks=$(mktemp -d "$base/zelorm-smtpbench-locks-XXXXXX")
        break
    fi
done
mkdir -p "$locks"
chmod 700 "$locks"
cp "$build/data/catalog/messages" "$build/data/catalog/tkmessages" "$gw/install/"
cp data/config/vendor-config "$gw/install/vendor/vendor-config"
cp data/config/local-config "$gw/local/local-config"
gw_port=$(free_port)
sed -e "s/SMTPPort=[0-9]*/SMTPPort=$gw_port/" \
    -e "s/SMTPIncoming=[0-9]*/SMTPIncoming=$incoming/" \
    -e "s/SMTPOutgoing=[0-9]*/SMTPOutgoing=$outgoing/" \
    -e "s/RelayHost=[^,]*/RelayHost=127.0.0.2/" \
    -e "s/RelayHostPort=[0-9]*/RelayHostPort=$sink_port/" \
    -e "s/ZELORMRazoVidezScan=[0-9]*/ZELORMRazoVidezScan=$scan/" \
    data/config/shared-config >"$gw/local/shared-config"
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane]' \
    "\"SharedConfigFile\"=\"$gw/local/shared-config\"" '' \
    '[HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane\ZELORM]' \
    "\"InstallDir\"=\"$gw/install\"" "\"MailDir\"=\"$gw/spool\"" \
    "\"LocalDir\"=\"$gw/local\"" "\"LogDir\"=\"$gw/log\"" >"$gw/registry.reg"
# The gateway takes no mail before its scanner has loaded a definitions set
# for its application: one is installed into the instance's own store, as
# scripts/run and the test instances do. Without --scan the gateway does not
# scan ("ZELORMRazoVidezScan"=0 above): that run measures the mail flow
# alone, with the project's small set. The scanning run's set is the
# project's own and 99,998 generated signatures (the same files for clamd).
signatures=(data/defs/zelorm.ndb data/defs/zelorm.hdb)
if [ "$scan" -eq 1 ]; then
    mkdir -p "$work/sigs"
    cp data/defs/zelorm.ndb data/defs/zelorm.hdb "$work/sigs/"
    python3 - "$work/sigs" <<'EOF'
import hashlib, random, sys
out = sys.argv[1]
rng = random.Random(20261211)  # the same set every run
with open(out + "/bench.ndb", "w") as f:
    for i in range(50000):
        f.write("Bench.Pattern.%d:0:*:%s\n" % (i, rng.randbytes(24).hex()))
with open(out + "/bench.hdb", "w") as f:
    for i in range(49998):
        f.write("%s:%d:Bench.Hash.%d\n"
                % (hashlib.md5(rng.randbytes(16)).hexdigest(), rng.randrange(1000, 300000), i))
EOF
    signatures=("$work/sigs/zelorm.ndb" "$work/sigs/zelorm.hdb" "$work/sigs/bench.ndb" "$work/sigs/bench.hdb")
fi
mkdir -p "$gw/common"
chmod 700 "$gw/common"
ZELORM_REGISTRY="$gw/registry.reg" ZELORM_LOCK_DIR="$locks" \
    "$bin/mkdefset" --common-files "$gw/common" --date "$(date -u +%Y%m%d)" --revision 1 \
    --app ZELORM_20 "${signatures[@]}" >/dev/null
ZELORM_REGISTRY="$gw/registry.reg" ZELORM_LOCK_DIR="$locks" ZELORM_EVENTLOG="$gw/events" \
    ZELORM_RESOLV_CONF="$work/resolv.conf" ZELORM_BENCH_ADDRESS_CAP=$incoming \
    "$bin/smtp_bench_gateway" -debug >"$gw/out" 2>&1 &
gw_pid=$!
wait_smtp "$gw_port" "the gateway"
gw_start_rss=$(awk '/^VmRSS/ {print $2}' "/proc/$gw_pid/status")

# Postfix: a private instance relaying everything from 127.0.0.1 to the sink.
pf=$work/postfix
mkdir -p "$pf/conf" "$pf/queue" "$pf/data"
pf_port=$(free_port)

# The scanning run's filter: clamd with the same signature files, and
# clamsmtpd between Postfix's "scan" transport and its re-injection smtpd.
if [ "$scan" -eq 1 ]; then
    cl=$work/clam
    mkdir -p "$cl/db" "$cl/tmp"
    cp "${signatures[@]}" "$cl/db/"
    cat >"$cl/clamd.conf" <<EOF
Foreground yes
LocalSocket $cl/clamd.sock
DatabaseDirectory $cl/db
LogFile $cl/clamd.log
MaxThreads $outgoing
SelfCheck 86400
ConcurrentDatabaseReload no
EOF
    clamd --config-file="$cl/clamd.conf" >"$cl/clamd.out" 2>&1 &
    clamd_pid=$!
    for _ in $(seq 1200); do
        [ -S "$cl/clamd.sock" ] && break
        kill -0 "$clamd_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -S "$cl/clamd.sock" ]; then
        echo "clamd did not start:" >&2
        cat "$cl/clamd.out" "$cl/clamd.log" >&2 || true
        exit 1
    fi
    clamsmtp_port=$(free_port)
    reinject_port=$(free_port)
    cat >"$cl/clamsmtpd.conf" <<EOF
OutAddress: 127.0.0.1:$reinject_port
Listen: 127.0.0.1:$clamsmtp_port
ClamAddress: $cl/clamd.sock
TempDirectory: $cl/tmp
MaxConnections: 200
TimeOut: 180
Header: X-Virus-Scanned: ClamAV using ClamSMTP
Action: drop
EOF
    clamsmtpd -d 1 -f "$cl/clamsmtpd.conf" -p "$cl/clamsmtpd.pid" >"$cl/clamsmtpd.out" 2>&1 &
    clamsmtp_pid=$!
fi
cat >"$pf/conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
mail_owner = postfix
setgid_group = postdrop
myhostname = bench.invalid
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
relayhost = [127.0.0.2]:$sink_port
$([ "$scan" -eq 0 ] || echo "content_filter = scan:[127.0.0.1]:$clamsmtp_port")
alias_maps =
alias_database =
local_recipient_maps =
biff = no
maillog_file = /dev/stdout
EOF
cat >"$pf/conf/master.cf" <<EOF
127.0.0.1:$pf_port inet n - n - - smtpd
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
if [ "$scan" -eq 1 ]; then
    # The usual clamsmtp arrangement: the filter's transport, and the smtpd
    # that takes the scanned mail back without filtering it again.
    cat >>"$pf/conf/master.cf" <<EOF
scan      unix  -       -       n       -       -       smtp
  -o smtp_send_xforward_command=yes
  -o smtp_enforce_tls=no
127.0.0.1:$reinject_port inet n - n - - smtpd
  -o content_filter=
  -o receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_milters
  -o smtpd_helo_restrictions=
  -o smtpd_client_restrictions=
  -o smtpd_sender_restrictions=
  -o smtpd_relay_restrictions=permit_mynetworks,reject
  -o smtpd_recipient_restrictions=permit_mynetworks,reject
  -o smtpd_authorized_xforward_hosts=127.0.0.0/8
EOF
fi
# Its daemons write into the data directory as the mail owner.
chown postfix "$pf/data"
# In the foreground, logging to its standard output (the log file here).
postfix -c "$pf/conf" start-fg >"$pf/maillog" 2>&1 &
pf_started=1
wait_smtp "$pf_port" "Postfix"
# clamsmtpd greets with the greeting of the smtpd it hands mail back to.
[ "$scan" -eq 0 ] || wait_smtp "$clamsmtp_port" "clamsmtpd"
pf_master=$(head -1 "$pf/queue/pid/master.pid" | tr -d ' ')

# Resident memory in KiB: the gateway's process; Postfix's master and its
# children (the smtpd, cleanup, qmgr and smtp processes), and in the
# scanning run clamd and clamsmtpd.
rss_kib() {
    local total=0 p
    for p in "$@"; do
        total=$((total + $(awk '/^VmRSS/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)))
    done
    echo "$total"
}
gw_rss() { rss_kib "$gw_pid"; }
pf_rss() { rss_kib "$pf_master" $(pgrep -P "$pf_master" || true) $clamd_pid $clamsmtp_pid; }

# One measurement: messages over sessions at once; prints "accepted relayed"
# (messages per second) and records the side's resident memory after it.
# Without a message file smtp-source makes 5 KiB messages of its own.
measure() {
    local side=$1 port=$2 sessions=$3 messages=$4 file=${5:-}
    local before target start accepted relayed body=(-l 5120)
    [ -z "$file" ] || body=(-F "$file")
    before=$(sink_count)
    target=$((before + messages))
    start=$(date +%s.%N)
    smtp-source -4 -s "$sessions" -m "$messages" "${body[@]}" -f bench@origin.test -t rcpt@dest.test \
        -M client.bench.invalid "127.0.0.1:$port" >>"$work/source.log" 2>&1 ||
        echo "smtp-source reported an error against $side (see above)" >&2
    accepted=$(date +%s.%N)
    for _ in $(seq 6000); do
        [ "$(sink_count)" -ge "$target" ] && break
        sleep 0.05
    done
    relayed=$(date +%s.%N)
    if [ "$(sink_count)" -lt "$target" ]; then
        echo "$side: only $(($(sink_count) - before)) of $messages messages reached the sink" >&2
    fi
    awk -v m="$messages" -v s="$start" -v a="$accepted" -v r="$relayed" \
        'BEGIN {printf "%.1f %.1f\n", m / (a - s), m / (r - s)}'
    local rss
    rss=$([ "$side" = gateway ] && gw_rss || pf_rss)
    echo "$rss" >>"$work/$side.rss"
}

median() {
    sort -g | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

messages_for() {
    case $1 in 1) echo 200 ;; 20) echo 1000 ;; *) echo 2000 ;; esac
}

# One row: both sides in turns for a number of rounds, the medians and the
# ratios; label names the row, file is the message (none: smtp-source's).
compare() {
    local label=$1 sessions=$2 m=$3 file=${4:-}
    : >"$work/g.txt"
    : >"$work/p.txt"
    for round in $(seq "$rounds"); do
        # Alternate who goes first.
        if [ $((round % 2)) -eq 1 ]; then
            measure gateway "$gw_port" "$sessions" "$m" "$file" >>"$work/g.txt"
            measure postfix "$pf_port" "$sessions" "$m" "$file" >>"$work/p.txt"
        else
            measure postfix "$pf_port" "$sessions" "$m" "$file" >>"$work/p.txt"
            measure gateway "$gw_port" "$sessions" "$m" "$file" >>"$work/g.txt"
        fi
    done
    local ga gr pa pr
    ga=$(awk '{print $1}' "$work/g.txt" | median)
    gr=$(awk '{print $2}' "$work/g.txt" | median)
    pa=$(awk '{print $1}' "$work/p.txt" | median)
    pr=$(awk '{print $2}' "$work/p.txt" | median)
    printf '%-16s %10.0f / %9.0f %10.0f / %9.0f %7.2f / %6.2f\n' "$label" "$ga" "$gr" "$pa" "$pr" \
        "$(awk -v a="$ga" -v b="$pa" 'BEGIN {print (b > 0 ? a / b : 0)}')" \
        "$(awk -v a="$gr" -v b="$pr" 'BEGIN {print (b > 0 ? a / b : 0)}')"
}

# A clean message of about size KiB: a text part and a base64 attachment of
# random bytes, lines ending in LF (smtp-source -F sends them with CR LF).
make_message() {
    python3 - "$1" "$2" <<'EOF'
import base64, random, sys
kib, path = int(sys.argv[1]), sys.argv[2]
rng = random.Random(kib)
text = "The figures for this quarter are attached.\n" * 8
raw = rng.randbytes(max(512, (kib * 1024 - 900) * 3 // 4))
encoded = base64.encodebytes(raw).decode()
with open(path, "w") as f:
    f.write("From: bench@origin.test\nTo: rcpt@dest.test\nSubject: figures %d KiB\n"
            "MIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=\"=-bench-boundary\"\n\n"
            "--=-bench-boundary\nContent-Type: text/plain; charset=us-ascii\n\n%s\n"
            "--=-bench-boundary\nContent-Type: application/octet-stream; name=\"figures.bin\"\n"
            "Content-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment; filename=\"figures.bin\"\n\n%s"
            "--=-bench-boundary--\n" % (kib, text, encoded))
EOF
}

if [ "$scan" -eq 0 ]; then
    echo "== smtp: the gateway (SMTPIncoming $incoming, SMTPOutgoing $outgoing, address cap $incoming:"
    echo "   all sessions from 127.0.0.1) beside Postfix $(postconf -h mail_version) (defaults: 100"
    echo "   processes, 20 deliveries to one destination); 5 KiB messages, one a session,"
    echo "   smtp-source -> server -> smtp-sink; $rounds rounds, medians in messages/s"
else
    make_message 5 "$work/msg5k.eml"
    make_message 200 "$work/msg200k.eml"
    echo "== smtp scanning: the gateway scanning (SMTPIncoming $incoming, SMTPOutgoing $outgoing,"
    echo "   address cap $incoming) beside Postfix $(postconf -h mail_version) with clamsmtp" \
        "$(clamsmtpd -v 2>&1 | head -1 | awk '{print $NF}' | tr -d '()') and clamd $(clamd -V | awk '{print $2}' | cut -d/ -f1)"
    echo "   (content filter, 20 at once; clamd MaxThreads $outgoing); both with the same" \
        "$(cat "${signatures[@]}" | wc -l) signatures;"
    echo "   messages with a base64 attachment, one a session; $rounds rounds, medians in messages/s"
fi
# Warm both up (first connections, processes started).
measure gateway "$gw_port" 4 40 >/dev/null
measure postfix "$pf_port" 4 40 >/dev/null
: >"$work/gateway.rss"
: >"$work/postfix.rss"
printf '%-16s %22s %22s %16s\n' "sessions" "gateway acc / relayed" "postfix acc / relayed" "ratio acc / rel"
if [ "$scan" -eq 0 ]; then
    for sessions in 1 20 100; do
        compare "$sessions" "$sessions" "$(messages_for "$sessions")"
    done
else
    for sessions in 20 100; do
        compare "$sessions, 5 KiB" "$sessions" 1000 "$work/msg5k.eml"
        compare "$sessions, 200 KiB" "$sessions" 300 "$work/msg200k.eml"
    done
fi
echo "   resident memory after the measurements (largest): gateway $(sort -g "$work/gateway.rss" | tail -1) KiB," \
    "Postfix $(sort -g "$work/postfix.rss" | tail -1) KiB (master and children$([ "$scan" -eq 0 ] || echo ", clamd, clamsmtpd"))"
echo "   peak resident memory of the gateway: $(awk '/^VmHWM/ {print $2}' "/proc/$gw_pid/status") KiB"
if [ "$scan" -eq 1 ]; then
    # Both sides really scanned: a message with the EICAR test string in an
    # attachment, sent to each after the measurements, is found by both (the
    # gateway records it in its activity log; clamd logs it and clamsmtpd
    # drops the message).
    python3 - "$work/eicar.eml" <<'EOF'
import base64, sys
eicar = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
with open(sys.argv[1], "w") as f:
    f.write("From: bench@origin.test\nTo: rcpt@dest.test\nSubject: test file\nMIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=\"=-b\"\n\n--=-b\nContent-Type: text/plain\n\n"
            "attached\n--=-b\nContent-Type: application/octet-stream; name=\"eicar.com\"\n"
            "Content-Transfer-Encoding: base64\n\n%s--=-b--\n" % base64.encodebytes(eicar).decode())
EOF
    for port in "$gw_port" "$pf_port"; do
        smtp-source -4 -F "$work/eicar.eml" -f bench@origin.test -t rcpt@dest.test \
            -M client.bench.invalid "127.0.0.1:$port" >>"$work/source.log" 2>&1 || true
    done
    gw_found=no
    clamd_found=no
    for _ in $(seq 300); do
        grep -rqs "Zelorm.Test.EICAR" "$gw/log" && gw_found=yes
        grep -qs "Zelorm.Test.EICAR.*FOUND" "$cl/clamd.log" && clamd_found=yes
        [ "$gw_found$clamd_found" = yesyes ] && break
        sleep 0.1
    done
    echo "   the EICAR test message found: gateway $gw_found, clamd $clamd_found"
    # The idle sessions were weighed in the run without scanning.
    exit 0
fi

# Open idle sessions: hold them after the greeting and weigh the growth.
idle_growth() {
    local port=$1 side=$2 before after
    before=$([ "$side" = gateway ] && gw_rss || pf_rss)
    python3 - "$port" "$idle" "$work/idle.ready" <<'EOF' &
import socket, sys, time
port, n, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
held = []
for _ in range(n):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    held.append(s)
for s in held:
    assert s.recv(512).startswith(b"220")
open(ready, "w").close()
time.sleep(30)
EOF
    local holder=$!
    for _ in $(seq 600); do
        [ -e "$work/idle.ready" ] && break
        sleep 0.05
    done
    sleep 1
    after=$([ "$side" = gateway ] && gw_rss || pf_rss)
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
    rm -f "$work/idle.ready"
    awk -v a="$after" -v b="$before" -v n="$idle" 'BEGIN {printf "%.0f", (a - b) / n}'
}
echo "   per open idle session ($idle sessions): gateway $(idle_growth "$gw_port" gateway) KiB," \
    "Postfix $(idle_growth "$pf_port" postfix) KiB"
# The gateway's session threads exist before any session: their share of
# the memory it had at start is the most a session can cost it.
echo "   gateway at start, before any session: $gw_start_rss KiB for $incoming session workers" \
    "($((gw_start_rss / incoming)) KiB a worker at most)"
