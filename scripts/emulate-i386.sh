#!/usr/bin/env bash
# Runs a command with every 32-bit x86 program it starts executed by qemu-user,
# for machines whose kernel refuses such programs (and to prove such machines
# on one that would run them natively: a registered handler comes first).
#
# Where the kernel allows it (Linux 6.7 and later), the handler is registered
# in a binfmt_misc instance of a user namespace of this run, which nothing else
# on the machine sees. Elsewhere it is registered machine-wide and removed at
# the end; meanwhile every 32-bit program on the machine is emulated.
#
# Usage: scripts/emulate-i386.sh COMMAND [ARGS...]   (as root)
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
qemu=/usr/bin/qemu-i386-static
# i386 ELF executables and shared objects; F: the interpreter is opened now,
# P: argv[0] is kept.
rule=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'$qemu':FP'
binfmt=/proc/sys/fs/binfmt_misc

register() {
    printf '%s' "$rule" >"$binfmt/register"
    grep -qx enabled "$binfmt/qemu-i386"
}

if [ "${QV_EMULATE_I386_SANDBOX:-}" = 1 ]; then
    # In the user namespace: a binfmt_misc instance of its own.
    mount -t binfmt_misc binfmt_misc "$binfmt"
    register
    unset QV_EMULATE_I386_SANDBOX
    exec "$@"
fi

[ -x "$qemu" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static >/dev/null

if unshare --user --map-root-user --mount sh -c "mount -t binfmt_misc binfmt_misc $binfmt" 2>/dev/null; then
    echo "i386 programs run under $qemu, registered for this run only"
    QV_EMULATE_I386_SANDBOX=1 exec unshare --user --map-root-user --mount "$0" "$@"
fi

# Machine-wide: the kernel has no private instances.
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ -e "$binfmt/qemu-i386" ]; then
    grep -qx enabled "$binfmt/qemu-i386" || { echo 1 >"$binfmt/qemu-i386"; trap 'echo 0 >"$binfmt/qemu-i386"' EXIT; }
else
    register
    trap 'echo -1 >"$binfmt/qemu-i386"' EXIT
fi
echo "i386 programs run under $qemu, registered machine-wide until this run ends ($(date -u +%H:%M:%S) UTC)"
status=0
"$@" || status=$?
echo "machine-wide i386 handler released at $(date -u +%H:%M:%S) UTC"
exit $status
