#!/usr/bin/env bash
# Runs a test inside a private network namespace with only loopback up, so nothing it
# discovers or broadcasts leaves on the machine's real interfaces. Exit 77 (skip) when
# the namespace cannot be made (not root, no unshare).
if [ "${QX_IN_NETNS:-}" = 1 ]; then exec "$@"; fi
if ! command -v unshare >/dev/null 2>&1 || ! unshare -n true 2>/dev/null; then
  echo "SKIP: cannot create a private network namespace (needs root and unshare)"
  exit 77
fi
exec unshare -n env QX_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' netns "$@"
