#!/usr/bin/env bash
# make run: writes a demo configuration beside the build and starts the agent
# in the foreground on 127.0.0.1.
set -eu
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/$build/demo"
mkdir -p "$demo"
cfg="$demo/owl.cfg"
if [ ! -f "$cfg" ]; then
  cat > "$cfg" <<CFG
# Demo configuration written by 'make run'.
owlpath=$root/$build/owl
host=127.0.0.1
port=1055
timeout=4000
password=demo
comment=owl demo agent
filteractive=1
filterlist=127.0.0.1
filtermarks=1
logsuccess=1
logfails=1
oklogfile=ok.log
badlogfile=fail.log
verboselogfile=verbose.log
allowmanage=1
manageaddr=127.0.0.1
allowupdates=0
updateaddr=127.0.0.1
cpuusagescript=$root/packaging/scripts/cpuusage.sh
proccntscript=$root/packaging/scripts/proccount.sh
proclistscript=$root/packaging/scripts/proclist.sh
CFG
fi
echo "Demo configuration: $cfg (logs beside it)"
if [ -x "$root/$build/owlctl" ]; then
  echo "Ask it from another terminal with:"
  echo "  $root/$build/owlctl -c $cfg GetInfo"
  echo "  $root/$build/owlctl -c $cfg --explain TEST-FileExists $cfg"
fi
echo "Stop it with Ctrl-C."
exec "$root/$build/owl" -i -v "$cfg"
