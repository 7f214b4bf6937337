# What the front's tests share; sourced with the build folder as $1.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
front=$build/front/bin
wine64=${QV_WINE:-/usr/lib/wine/wine64}

# Wine ends a program at its very start now and then (the address space it
# was given has no room for the shared user data page): status 1, nothing
# done, and on standard error "failed to map the shared user data", or
# nothing at all under WINEDEBUG=-all. And its 32-bit loader now and then
# fails glibc's check at exit, after the program's work: status 127 and
# "Inconsistency detected by ld.so: dl-fini.c". A run that ended either way
# is run once more; nothing else is.
wine_said_it_ended_at_start() {  # FILE (a run's output)
    grep -q 'failed to map the shared user data' "$1"
}
# run_wine OUT ERR COMMAND...: COMMAND with no input, its output in files.
run_wine() {
    local out=$1 err=$2 code
    shift 2
    "$@" >"$out" 2>"$err" </dev/null
    code=$?
    if { [ "$code" = 1 ] && { wine_said_it_ended_at_start "$err" || { [ ! -s "$out" ] && [ ! -s "$err" ]; }; }; } ||
       { [ "$code" = 127 ] && grep -q 'Inconsistency detected by ld.so: dl-fini.c' "$err"; }; then
        "$@" >"$out" 2>"$err" </dev/null
        code=$?
    fi
    return "$code"
}
