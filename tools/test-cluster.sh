#!/bin/sh
# The cluster recipe run for real: starts a one-node Slurm cluster on this
# machine from Debian's packages (munged with a key made here, slurmctld and
# slurmd with a slurm.conf naming this host, all in a private folder and on
# ports of their own), submits the room at its interactive size as 4 tasks
# of 4 passes with tools/farm/submit.sh, and compares the merged picture
# with one 16-pass run: the display bytes of at least 99.9 % of the pixels
# identical, none off by more than 1. A cluster that does not start fails
# the stage, with the reason. The daemons started here are stopped by their
# process ids however the script ends. Needs root (the daemons run as root).
#   tools/test-cluster.sh [BUILD-DIR]     (default: build)
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=$(cd "${1:-build}" && pwd)
started=$(date +%s)

state=$(mktemp -d /tmp/tresk-cluster.XXXXXX)
pids=""
stop() {
    status=$?
    if [ -n "$pids" ]; then
        scancel --quiet --user=root 2>/dev/null || true
        # shellcheck disable=SC2086
        kill $pids 2>/dev/null || true
        for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    fi
    rm -rf "$state"
    exit "$status"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP PIPE

fail() {
    echo "test-cluster: $*" >&2
    for log in "$state"/log/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -n 15 "$log" >&2; }
    done
    exit 1
}
for program in munged slurmctld slurmd sbatch squeue sinfo; do
    command -v "$program" >/dev/null || fail "$program is missing (packages munge and slurm-wlm: tools/install-deps.sh)"
done

# A TCP port nobody listens on, from 16817 up (listening sockets are state 0A
# in /proc/net/tcp, ports in hex).
free_port() {
    port=$1
    while grep -qi "^ *[0-9]*: [0-9A-F]*:$(printf '%04X' "$port") [0-9A-F:]* 0A" \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null; do
        port=$((port + 1))
    done
    echo "$port"
}
ctld_port=$(free_port 16817)
slurmd_port=$(free_port $((ctld_port + 1)))

mkdir -p "$state/run" "$state/log" "$state/ctld" "$state/spool" "$state/work"
chmod 755 "$state"  # munged wants its socket reachable by all
dd if=/dev/urandom of="$state/munge.key" bs=1024 count=1 2>/dev/null
chmod 600 "$state/munge.key"
socket=$state/run/munge.socket
munged -F --key-file="$state/munge.key" --socket="$socket" --pid-file="$state/run/munged.pid" \
    --seed-file="$state/munge.seed" --log-file="$state/log/munged.log" \
    >"$state/log/munged.log" 2>&1 &
pids="$!"
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
munge -n -S "$socket" 2>/dev/null | unmunge -S "$socket" >/dev/null 2>&1 ||
    fail "munged did not start or cannot make credentials"

# The node as slurmd finds this machine (its CPUs, memory), under this
# host's short name, reached on the loopback address.
host=$(hostname -s)
node=$(slurmd -C | head -n 1)
case "$node" in "NodeName=$host "*) ;; *) fail "slurmd -C describes no node \"$host\": $node" ;; esac
export SLURM_CONF="$state/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=treskci
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/spool
SlurmctldPidFile=$state/run/slurmctld.pid
SlurmdPidFile=$state/run/slurmd.pid
SlurmctldLogFile=$state/log/slurmctld.log
SlurmdLogFile=$state/log/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerParameters=sched_interval=1
ReturnToService=2
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=ci Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i >"$state/log/slurmctld.out" 2>&1 &
pids="$pids $!"
slurmd -D >"$state/log/slurmd.out" 2>&1 &
pids="$pids $!"
for _ in $(seq 60); do
    [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
    sleep 0.5
done
[ "$(sinfo -h -o %T 2>/dev/null)" = idle ] || fail "the node did not come up: $(sinfo 2>&1 | tail -n 1)"
echo "test-cluster: one-node cluster up ($node), controller on port $ctld_port"

# The recipe, as a user submits it, and one run of all the passes.
scene=$source_dir/examples/room/scene.txt
TRESK_BIN=$build/app "$source_dir/tools/farm/submit.sh" "$scene" -o "$state/work/merged.tga" \
    --tasks 4 --passes-per-task 4 --size interactive --wait --parts "$state/work/parts" ||
    fail "the recipe failed: $(tail -n 3 "$state"/work/parts/*.log 2>/dev/null)"
(cd "$state/work" && "$build/app/tresk-render" "$scene" --size interactive --passes 16 \
    -o whole.tga >/dev/null 2>&1) || fail "the 16-pass run failed"

# Both TGA files have one header; cmp lists every differing byte with its
# two values (in octal). A pixel differs when any of its three bytes does.
pixels=$((($(stat -c %s "$state/work/whole.tga") - 18) / 3))
[ "$(stat -c %s "$state/work/merged.tga")" -eq "$(stat -c %s "$state/work/whole.tga")" ] ||
    fail "the merged picture's size differs from one run's"
verdict=$(cmp -l "$state/work/merged.tga" "$state/work/whole.tga" | awk -v pixels="$pixels" '
    function octal(s,  v, i) { v = 0; for (i = 1; i <= length(s); ++i) v = v * 8 + substr(s, i, 1); return v }
    { d = octal($2) - octal($3); if (d < 0) d = -d; if (d > worst) worst = d
      differing[int(($1 - 19) / 3)] = 1 }
    END { n = 0; for (p in differing) ++n
          printf "%d of %d pixels differ, by at most %d\n", n, pixels, worst
          exit !(n * 1000 <= pixels && worst <= 1) }') ||
    fail "merged and whole pictures differ: $verdict"
echo "test-cluster: merged picture against one 16-pass run: $verdict"
echo "test-cluster: passed in $(($(date +%s) - started)) s"
