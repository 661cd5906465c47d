#!/bin/sh
# owl: the number of running processes whose name is $1, one integer on
# one line (0 when there is none).
# The name is the kernel's process name (/proc/PID/comm: the program's file
# name, cut to 15 bytes), as "ps -e" shows it; a longer name given here is
# cut the same way. The shells that run this count are not counted.
# Configured as "proccntscript"; the agent runs it for "TEST-Process".
set -u
name=$(printf '%.15s' "${1:-}")
count=0
if [ -n "$name" ]; then
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        [ "$pid" = "$$" ] || [ "$pid" = "$PPID" ] && continue
        { IFS= read -r comm < "$dir/comm"; } 2>/dev/null || continue
        [ "$comm" = "$name" ] && count=$((count + 1))
    done
fi
echo "$count"
