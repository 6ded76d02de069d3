#!/usr/bin/env bash
# Runs a test program in a private network namespace with loopback up, so that
# port 1439 and the coordinator's abstract socket are never shared with the host
# or with other tests. Where namespaces are not allowed, runs it as it is (the
# tests then carry a CTest resource lock instead).
if unshare --net --map-root-user true 2>/dev/null || unshare --net true 2>/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net -- sh -c 'ip link set lo up 2>/dev/null; exec "$@"' netns-run "$@"
  fi
  exec unshare --net --map-root-user -- sh -c 'ip link set lo up 2>/dev/null; exec "$@"' netns-run "$@"
fi
exec "$@"
