#!/bin/sh
# Runs a Java test command inside the private network namespace that
# tests/support/netns-run.sh made. The tests kill morvalen and start it again
# on port 1439 at once; the listener does not set SO_REUSEADDR, so a
# connection the killed service closed first (in TIME_WAIT for a minute)
# would keep the new one from binding. In this namespace of our own no
# TIME_WAIT state is kept.
sysctl -q -w net.ipv4.tcp_max_tw_buckets=0 2>/dev/null ||
  echo "run-junit: could not turn off TIME_WAIT in this namespace; restarts of morvalen may fail to bind" >&2
exec "$@"
