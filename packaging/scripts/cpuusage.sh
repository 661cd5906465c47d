#!/bin/sh
# owl: CPU usage of this host in percent (0 to 100), one number on one line.
# Measured from the "cpu" line of /proc/stat over a short interval
# (OWL_CPU_INTERVAL seconds, 0.5 by default): the share of the time that
# was neither idle nor waiting for I/O.
# Configured as "cpuusagescript"; the agent runs it for "TEST-CPU".
set -u
interval=${OWL_CPU_INTERVAL:-0.5}

# Prints "busy total" in clock ticks since boot.
ticks() {
    read -r _ user nice system idle iowait irq softirq steal _ < /proc/stat
    busy=$((user + nice + system + irq + softirq + steal))
    echo "$busy $((busy + idle + iowait))"
}

first=$(ticks) || exit 1
sleep "$interval"
second=$(ticks) || exit 1
echo "$first $second" | awk '{
    busy = $3 - $1; total = $4 - $2
    usage = total > 0 ? 100 * busy / total : 0
    if (usage < 0) usage = 0
    if (usage > 100) usage = 100
    printf "%.1f\n", usage
}'
