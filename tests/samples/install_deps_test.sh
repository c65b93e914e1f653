#!/usr/bin/env bash
# scripts/install-deps calls the package manager only for what is missing: with every package
# installed it runs neither apt-get update (even when the last update is old) nor apt-get
# install; with one package missing it updates and installs just that one. apt-get and, for the
# second case, dpkg-query are stand-ins that record their calls; nothing is installed.
#
#   install_deps_test.sh SCRIPT WORKDIR
set -uo pipefail
script=$1 work=$2
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: install-deps calls sudo when not root"; exit 77; }
rm -rf "$work" && mkdir -p "$work/bin" || exit 1

cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$QX_TEST_CALLS"
STUB
chmod +x "$work/bin/apt-get"
export QX_TEST_CALLS=$work/calls QX_APT_STAMP=$work/stamp
touch -d '3 days ago' "$QX_APT_STAMP"

# 1. This machine has everything (the tests depend on it): no package manager at all.
: >"$QX_TEST_CALLS"
PATH=$work/bin:$PATH bash "$script" || fail "install-deps failed with nothing missing"
[ ! -s "$QX_TEST_CALLS" ] || fail "apt-get was called with nothing missing: $(cat "$QX_TEST_CALLS")"

# 2. dpkg-query knows nothing of netpbm: an update (the stamp is old) and netpbm alone.
real=$(command -v dpkg-query)
cat >"$work/bin/dpkg-query" <<STUB
#!/bin/bash
args=() names=0
for a in "\$@"; do
  [ "\$a" = netpbm ] && continue
  args+=("\$a"); [ "\${a#-}" = "\$a" ] && names=\$((names + 1))
done
[ \$names -gt 0 ] || { echo "dpkg-query: no packages found matching netpbm" >&2; exit 1; }
exec "$real" "\${args[@]}"
STUB
chmod +x "$work/bin/dpkg-query"
: >"$QX_TEST_CALLS"
PATH=$work/bin:$PATH bash "$script" || fail "install-deps failed with netpbm missing"
grep -qx 'apt-get update -qq' "$QX_TEST_CALLS" || fail "no update before installing: $(cat "$QX_TEST_CALLS")"
grep -qx 'apt-get install -y -qq --no-install-recommends netpbm' "$QX_TEST_CALLS" ||
  fail "netpbm was not installed alone: $(cat "$QX_TEST_CALLS")"
[ "$(wc -l <"$QX_TEST_CALLS")" = 2 ] || fail "unexpected calls: $(cat "$QX_TEST_CALLS")"
echo "install-deps: nothing called with nothing missing, one update and one install otherwise"
