#!/bin/sh
# owl: the names of the running processes, one per line, each name once,
# sorted: the names that "TEST-Process" (proccount.sh) counts.
# Configured as "proclistscript"; the agent runs it for "GetProcessesList".
set -u
for dir in /proc/[0-9]*; do
    [ "${dir#/proc/}" = "$$" ] && continue
    { IFS= read -r comm < "$dir/comm"; } 2>/dev/null && printf '%s\n' "$comm"
done | LC_ALL=C sort -u
