#!/usr/bin/env bash
# The front against Wine itself: each command line of the table runs through
# the front in one clone of the pristine prefix and through the real Wine in
# another, each in a working folder of its own; standard output, standard
# error and the exit code must be equal (each prefix's own path read as
# PREFIX, its working folder as HERE, Wine's thread numbers left out), and so must a `regedit /E` export of
# the keys the line names and the files it writes. Lines marked "served"
# must have been answered by the front, lines marked "passed" handed to Wine.
#
# Usage: oracle_test.sh BUILD_DIR [WORK_DIR]
set -uo pipefail
source "$(dirname "$0")/common.sh"
work=${2:-$build/front-oracle}
# The front's wine64 is the one the other side runs; its `wine` is found as
# the front finds it.
export QV_FRONT_WINE64=$wine64
wine=$("$front/qvfront" which | sed -n 's/^wine \(\/.*\)/\1/p')
[ -n "$wine" ] || { echo "no real wine found"; exit 1; }
# The answers copy Wine 8's programs, and Wine 10's for 64-bit calls; under
# another release the front must pass every line through,
# and the outputs and effects must still be equal.
release=$("$wine64" --version)
measured=1
case $release in
wine-8.*) ;;
wine-10.*) [ -x "$(dirname "$wine64")/wine" ] || measured=64 ;;
*) measured=0; echo "$release: every line must pass through" ;;
esac

mkdir -p "$work"
a=$work/front b=$work/wine
# Wine 10 complains on standard error, now and then, when there is no
# runtime folder (the Debian 13 tree has none); both sides get one.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
fi
"$top/scripts/wine-prefix.sh" clone "$a" >/dev/null
"$top/scripts/wine-prefix.sh" clone "$b" >/dev/null
cleanup() {
    QV_PERSIST=0 "$build/cli/qvctl" --prefix "$a" agent stop >/dev/null 2>&1
    "$top/scripts/wine-prefix.sh" stop "$a"
    "$top/scripts/wine-prefix.sh" stop "$b"
}
trap cleanup EXIT

# Files the table's regedit lines import.
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\QvFront\\File4]\r\n"s"="four"\r\n"d"=dword:00000004\r\n\r\n' >"$work/four.reg"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\QvFront\\File5]\n"s"="five"\n"b"=hex:01,02,03\n@="default"\n\n[-HKEY_CURRENT_USER\\Software\\QvFront\\File4]\n' >"$work/five.reg"

# Values of every type in an 8-bit version 5 file, whose hex(2) and hex(7)
# data Wine reads as 8-bit text.
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\QvCopy\\Src]\n@="dflt"\n"s"="text"\n"e"=hex(2):25,00,50,00,00,00\n"b"=hex:01,02,03\n"d"=dword:00000010\n"q"=hex(b):01,00,00,00,00,00,00,00\n"m"=hex(7):61,00,00,00,62,00,00,00,00,00\n"n"=hex(0):\n"be"=hex(5):00,00,00,01\n"t"=hex(1234):aa,bb,cc\n"z"=""\n\n[HKEY_CURRENT_USER\\Software\\QvCopy\\Src\\Sub1]\n"x"=dword:00000001\n\n[HKEY_CURRENT_USER\\Software\\QvCopy\\Src\\Sub1\\Deep]\n@="deep"\n\n[HKEY_CURRENT_USER\\Software\\QvCopy\\Src\\Sub2]\n' >"$work/copy8.reg"
# The same in UTF-16, as Wine's editor writes it: the source of the reg copy lines.
{ printf '\377\376'; iconv -f UTF-8 -t UTF-16LE "$work/copy8.reg"; } >"$work/copy.reg"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\QvFront\\Bad]\r\n"s"="x"\r\n"bad\r\n"t"="y"\r\n' >"$work/bad.reg"

# Each side runs in a working folder of its own, both holding the files
# (and old.reg, for an export that overwrites it) and nothing else.
rm -rf "$work/a-dir" "$work/b-dir"
mkdir -p "$work/a-dir" "$work/b-dir"
for d in "$a/drive_c" "$b/drive_c" "$work/a-dir" "$work/b-dir"; do
    cp "$work/four.reg" "$work/five.reg" "$d/"
done
cp "$work/four.reg" "$work/a-dir/old.reg"
cp "$work/four.reg" "$work/b-dir/old.reg"

pass=0 fail=0
log=$work/front.log
# One case: EXPECT LOADER KEYS ARGS... (KEYS: ';'-separated, or -; @NAME
# for a file NAME the line writes in its working folder; each line its own).
check() {
    local expect=$1 loader=$2 keys=$3
    shift 3
    case $measured in
    0) expect=passed ;;
    64)
        # (Debian's `wine` without wine32 runs wine64, after a hint on
        # standard error unless WINEDEBUG=-all: a 64-bit call then.)
        case $loader\ ${1,,} in
        *syswow64*) expect=passed ;;
        wine\ *) [ "${WINEDEBUG:-}" = -all ] || expect=passed ;;
        esac ;;
    esac
    local real=$wine64
    [ "$loader" = wine ] && real=$wine
    : >"$log"
    (cd "$work/a-dir" && run_wine "$work/a.out" "$work/a.err" env WINEPREFIX="$a" QV_FRONT_LOG="$log" timeout 60 "$front/$loader" "$@")
    local ca=$?
    (cd "$work/b-dir" && run_wine "$work/b.out" "$work/b.err" env WINEPREFIX="$b" timeout 60 "$real" "$@")
    local cb=$?
    local problems=""
    # (A line run once more is logged twice, the same way.)
    how=$(cut -d' ' -f1 "$log" | sort -u)
    [ "$how" = "$expect" ] || problems+=" front: $how, expected $expect;"
    sed -i "s|$a|PREFIX|g; s|$work/a-dir|HERE|g" "$work/a.out" "$work/a.err"
    sed -i "s|$b|PREFIX|g; s|$work/b-dir|HERE|g" "$work/b.out" "$work/b.err"
    # Wine's own messages begin with the thread's number, which differs.
    sed -i 's/^[0-9a-f]\{4\}:\(err\|fixme\|warn\):/TID:\1:/' "$work/a.err" "$work/b.err"
    [ "$ca" = "$cb" ] || problems+=" exit $ca vs $cb;"
    cmp -s "$work/a.out" "$work/b.out" || problems+=" stdout differs;"
    cmp -s "$work/a.err" "$work/b.err" || problems+=" stderr differs;"
    if [ "$keys" != - ]; then
        local IFS=';'
        for k in $keys; do
            if [ "${k#@}" != "$k" ]; then
                # A file the line writes, in each side's working folder.
                if [ -e "$work/a-dir/${k#@}" ] || [ -e "$work/b-dir/${k#@}" ]; then
                    cmp -s "$work/a-dir/${k#@}" "$work/b-dir/${k#@}" || problems+=" file ${k#@} differs;"
                fi
                continue
            fi
            # regedit /E takes only the long root names.
            local long=${k/#HKCU\\/HKEY_CURRENT_USER\\}
            long=${long/#HKLM\\/HKEY_LOCAL_MACHINE\\}
            rm -f "$work/a.reg" "$work/b.reg"
            run_wine /dev/null "$work/a.export" env WINEPREFIX="$a" "$wine64" regedit /E "$work/a.reg" "$long"
            local ea=$?
            run_wine /dev/null "$work/b.export" env WINEPREFIX="$b" "$wine64" regedit /E "$work/b.reg" "$long"
            local eb=$?
            # A key absent from both prefixes exports in neither.
            if { [ -e "$work/a.reg" ] || [ -e "$work/b.reg" ]; } && ! cmp -s "$work/a.reg" "$work/b.reg"; then
                problems+=" export of $k differs (regedit /E exit $ea vs $eb);"
                head -c 300 "$work/a.export" "$work/b.export"
                diff <(iconv -f UTF-16LE -t UTF-8 "$work/a.reg" 2>&1) <(iconv -f UTF-16LE -t UTF-8 "$work/b.reg" 2>&1) | head -10
            fi
        done
        unset IFS
    fi
    if [ -z "$problems" ]; then
        pass=$((pass + 1))
        echo "ok   $expect $loader $*"
    else
        fail=$((fail + 1))
        echo "FAIL $expect $loader $*:$problems"
        diff <(head -c 4000 "$work/a.out" | od -c) <(head -c 4000 "$work/b.out" | od -c) | head -10
        diff <(head -c 4000 "$work/a.err") <(head -c 4000 "$work/b.err") | head -6
    fi
    return 0
}

K='HKCU\Software\QvFront'
Q='HKCU\Software\QvCopy'
W32='HKLM\Software\Wow6432Node\QvFront'
W64='HKLM\Software\QvFront'
while IFS= read -r line; do
    case $line in ''|'#'*) continue ;; esac
    # A line the shell cannot read is a failure, never a silent skip.
    if ! eval "check $line"; then
        fail=$((fail + 1))
        echo "FAIL table line: $line"
    fi
done <<'TABLE'
# reg: bad input
served wine64 - reg
served wine64 - reg bogus
served wine64 - reg query
served wine64 - reg query 'HK'
served wine64 - reg query 'HKCU\\'
served wine64 - reg query '\\remote\x'
served wine64 - reg query 'HKXX\x'
served wine64 - reg query 'HKCU\'
served wine64 - reg query 'HKCU\Software\Wine' /x
served wine64 - reg query 'HKCU\Software\Wine' /v
served wine64 - reg query 'HKCU\Software\Wine' /v a /ve
served wine64 - reg query 'HKCU\Software\Wine' /reg:32 /reg:64
served wine64 - reg Add 'HKCU\Software\Wine' /z
served wine64 - reg delete 'HKCU\Software\Wine' /va /ve
passed wine64 - reg /?
passed wine64 - reg query /?
served wine64 - reg query 'HKCU\Software\Wine' /s
served wine64 - reg query 'hkcu\software\wine\' /s
served wine64 - reg query 'HKCU\Software\Nope' /s
served wine - reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer' /s
served wine64 - reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer' /s /reg:32
served wine64 - reg query 'HKLM\Software\Wine' /s
passed wine64 - reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion' /s
passed wine64 - reg query 'HKCU\Software\Wine' /s /v Version
served wine64 @x1.reg reg export 'HKCU\Software\Wine' x1.reg
served wine64 @x2.reg reg export 'hkcu\software\wine\' x2.reg /y
served wine64 @x3.reg reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion' x3.reg /reg:32
served wine @x4.reg reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion' x4.reg -Y
served wine64 @x5.reg reg export 'HKCU\Software\Nope' x5.reg
served wine64 @old.reg reg export 'HKCU\Software\Wine' old.reg /y
passed wine64 - reg export 'HKCU\Software\Wine' x6.reg /z
passed wine64 - reg export 'HKCU\Software\Wine'
# reg query
served wine64 - reg query 'HKCU\Software\Wine'
served wine64 - reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\'
served wine64 - reg query 'hklm\software\microsoft\windows nt\currentversion' /v currentversion
served wine64 - reg query 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion' /v DigitalProductId
served wine64 - reg query 'HKCU\Software\Wine' /ve
served wine64 - reg query 'HKCU\Software\Nope'
served wine64 - reg query 'HKCU\Software\Wine' /v Nope
served wine64 - reg query 'HKCU\Volatile Environment' /reg:32
served wine - reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir
served wine64 - 'C:\windows\syswow64\reg.exe' query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir
served wine64 - REG.EXE query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir /reg:32
served wine64 - 'C:\windows\system32\reg.exe' query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir
# reg add and delete, both views
served wine64 "$K" reg add "$K\A" /v s /t REG_SZ /d hello /f
served wine64 "$K" reg add "$K\A" /v e /t reg_expand_sz /d '%PATH%;x' /f
served wine64 "$K" reg add "$K\A" /v d /t REG_DWORD /d 0x10 /f
served wine64 "$K" reg add "$K\A" /v d2 /t REG_DWORD /d 4294967295 /f
served wine64 "$K" reg add "$K\A" /v b /t REG_BINARY /d abc /f
served wine64 "$K" reg add "$K\A" /v b0 /t REG_BINARY /f
served wine64 "$K" reg add "$K\A" /ve /d dflt /f
served wine64 "$K" reg add "$K\B" /f
served wine64 "$K" reg add "$K\C" /v n /t REG_BAD /d 1 /f
served wine64 "$K" reg add "$K\D" /v n /t REG_DWORD /d x1 /f
served wine64 "$K" reg add "$K\D2" /v n /t REG_DWORD /f
served wine64 "$K" reg add "$K\E" /v n /t REG_BINARY /d 0g /f
served wine64 "$K" reg add "$K\F" /v n /d new
served wine64 "$K" reg add "$K\G" /v q /t REG_QWORD /d 5 /f
served wine64 "$K" reg add "$K\G" /v q0 /t reg_qword /f
served wine64 "$K" reg add "$K\G" /v q1 /t REG_QWORD /d 0X1f /f
served wine64 "$K" reg add "$K\G" /v q2 /t REG_QWORD /d 18446744073709551614 /f
served wine64 "$K" reg add "$K\G" /v q3 /t REG_QWORD /d 00012 /f
served wine64 "$K" reg add "$K\G2" /v q /t REG_QWORD /d 0x /f
served wine64 "$K" reg add "$K\G3" /v q /t REG_QWORD /d 18446744073709551616 /f
served wine64 "$K" reg add "$K\G4" /v q /t REG_QWORD /d 12ab /f
served wine64 "$K" reg add "$K\G5" /v q /t REG_QWORD /d x1 /f
passed wine64 "$K" reg add "$K\G" /v q4 /t REG_QWORD /d -1 /f
served wine64 "$K" reg add "$K\G" /v n /t REG_NONE /d 5 /f
served wine64 "$K" reg add "$K\G" /v n0 /t reg_none /f
served wine64 - reg query "$K\G" /v N
served wine64 "$K" reg add "$K\G" /v m /t REG_MULTI_SZ /d 'a\0b' /f
served wine64 "$K" reg add "$K\M" /v m1 /t REG_MULTI_SZ /f
served wine64 "$K" reg add "$K\M" /v m2 /t reg_multi_sz /d '' /f
served wine64 "$K" reg add "$K\M" /v m3 /t REG_MULTI_SZ /d 'a\0' /f
served wine64 "$K" reg add "$K\M" /v m4 /t REG_MULTI_SZ /d '\0' /f
served wine64 "$K" reg add "$K\M" /v m5 /t REG_MULTI_SZ /d 'a\\0b\0c\' /f
served wine64 "$K" reg add "$K\M" /v m6 /t REG_MULTI_SZ /d 'a\0b\0' /f
served wine64 "$K" reg add "$K\M" /v m7 /t REG_MULTI_SZ /d '\0a' /f
served wine64 "$K" reg add "$K\M" /v m8 /t REG_MULTI_SZ /d 'a\0\0b' /f
served wine64 "$K" reg add "$K\M" /v m9 /t REG_MULTI_SZ /d '\0\0' /f
served wine64 - reg query "$K\M"
served wine64 - reg query "$K" /s
served wine64 "$K" reg add "$K\S" /v s /t REG_MULTI_SZ /d 'a#b' /s '#' /f
served wine64 "$K" reg add "$K\S" /v s1 /t REG_MULTI_SZ /d 'a#b#' /s '#' /f
served wine64 "$K" reg add "$K\S" /v s2 /t REG_MULTI_SZ /d 'a\0b#c' /s '#' /f
served wine64 "$K" reg add "$K\S" /v s3 /t REG_SZ /d 'a#b' /s '#' /f
served wine64 "$K" reg add "$K\S" /v s4 /t REG_MULTI_SZ /d 'a' /s 'a' /f
served wine64 "$K" reg add "$K\S2" /v s /t REG_MULTI_SZ /d 'a##b' /s '#' /f
served wine64 "$K" reg add "$K\S3" /v s /t REG_MULTI_SZ /d '#a' /s '#' /f
served wine64 "$K" reg add "$K\S4" /v s /t REG_MULTI_SZ /d 'a' /s '##' /f
served wine64 "$K" reg add "$K\S4" /v s /t REG_MULTI_SZ /d 'a' /s '#' /s ';' /f
served wine64 - reg query "$K\S"
served wine64 "$K" reg add "$K\BE" /v be /t REG_DWORD_BIG_ENDIAN /d 0x12345678 /f
served wine64 "$K" reg add "$K\BE" /v be1 /t reg_dword_big_endian /d 7 /f
served wine64 "$K" reg add "$K\BE2" /v be /t REG_DWORD_BIG_ENDIAN /d x7 /f
served wine64 "$K" reg add "$K\BE3" /v be /t REG_DWORD_BIG_ENDIAN /f
served wine "$W32;$W64" reg add "$W64\BE" /v be /t REG_DWORD_BIG_ENDIAN /d 9 /f
served wine64 - reg query "$K\BE"
served wine64 - reg query "$K\A"
served wine64 - reg query "$K\G"
served wine64 - reg query "$K"
served wine "$W32;$W64" reg add "$W64\V" /v x /d 32 /f
served wine64 "$W32;$W64" reg add "$W64\V" /v x /d 64 /f
served wine64 "$W32;$W64" reg add "$W64\V" /v y /d 32 /f /reg:32
served wine "$W32;$W64" reg add "$W64\V" /v z /d 64 /f /reg:64
served wine64 "$W32;$W64" 'C:\windows\syswow64\reg.exe' add "$W64\V" /v w /d 32 /f
served wine - reg query "$W64\V"
served wine64 - reg query "$W64\V" /reg:32
served wine64 "$K" reg delete "$K\A" /v s /f
served wine64 "$K" reg delete "$K\A" /v nope /f
served wine64 "$K" reg delete "$K\A" /ve /f
served wine64 "$K" reg delete "$K\A" /va /f
served wine64 "$K" reg delete "$K\B" /f
served wine64 "$K" reg delete "$K\B" /f
served wine64 "$K" reg delete "$K\Nope" /v x /f
served wine64 "$K" reg delete "$K\C" /f /reg:32 /x
served wine64 "$W32;$W64" reg delete "$W64\V" /v x /f /reg:32
served wine "$W32;$W64" reg delete "$W64" /f
served wine64 "$W32;$W64" reg delete "$W64" /f
# winepath
served wine64 - winepath -u 'C:\windows\x\y' 'C:\nope1\nope2\z' 'D:\a' ''
served wine64 - winepath 'C:\windows\system32'
served wine64 - winepath -w /tmp /nonexist/a/b
served wine64 - winepath -0 -w /tmp /nonexist -- /-u
served wine - winepath -u 'C:\Program Files' 'c:\users'
passed wine64 - winepath -l 'C:\windows'
passed wine64 - winepath -u relative
# cmd /c echo
served wine64 - cmd /c echo %ProgramFiles%
served wine64 - cmd.exe /c echo %AppData%
served wine64 - cmd.exe /c echo '%CommonProgramFiles(x86)%'
served wine64 - cmd /c echo x%ProgramW6432%y%TEMP% %localappdata%
served wine64 - cmd /c echo %UserProfile% and 'a%b'
served wine64 - cmd.exe /c 'chcp 65001 > nul & echo %ProgramFiles%'
served wine - cmd.exe /c echo '%ProgramFiles(x86)%'
served wine - cmd /c 'echo init'
served wine64 - cmd /c 'echo %AppData% x'
served wine - cmd /c 'echo %ProgramFiles(x86)% x'
passed wine - cmd /c 'echo  two spaces' 
passed wine - cmd.exe /c echo %ProgramFiles%
passed wine64 - cmd /c echo %NOPE%
passed wine64 - cmd /c echo
passed wine64 - cmd /c echo a '&' echo b
# regedit /S, 64-bit and 32-bit, REGEDIT4 and version 5 files
served wine64 "$K" regedit /S "$work/four.reg"
served wine64 "$K" 'C:\windows\regedit.exe' /S "$work/five.reg"
served wine "$K" 'C:\windows\syswow64\regedit.exe' /S "$work/four.reg"
served wine64 "$K" regedit /S "Z:${work//\//\\}\\five.reg"
served wine "$K" 'C:\windows\syswow64\regedit.exe' /S 'C:\four.reg'
served wine64 "$K" regedit /S 'C:/five.reg'
served wine64 "$K" regedit /S four.reg
served wine "$K" regedit /S '.\five.reg'
served wine64 "$K" regedit five.reg
served wine64 "$K" regedit /D 'HKEY_CURRENT_USER\Software\QvFront\File5'
served wine64 "$K" regedit /d 'hkey_current_user\software\qvfront\never\there\'
served wine "$W32;$W64" reg add "$W64\D" /v x /d 1 /f
served wine "$W32;$W64" 'C:\windows\syswow64\regedit.exe' /D 'HKEY_LOCAL_MACHINE\Software\QvFront\D'
passed wine64 "$K" regedit /S "$work/bad.reg"
passed wine64 "$K" regedit /S "$work/none.reg"
passed wine64 - regedit /S
# reg import
served wine64 "$K" reg import five.reg
served wine "$K" reg import '.\four.reg'
served wine64 "$K" reg import "$work/four.reg" /reg:32
passed wine64 - reg import nope.reg
passed wine64 'HKCU\Software\QvCopy' reg import "$work/copy8.reg"
passed wine64 'HKCU\Software\QvCopy' regedit /S "$work/copy8.reg"
# reg copy: bad input, then copies (none where reg would ask: it asks for ever)
served wine64 "$Q" reg import "$work/copy.reg"
served wine64 - reg copy
served wine64 - reg copy "$Q\Src"
served wine64 - reg COPY "$Q\Src" 'hkey_current_user\software\qvcopy\SRC\' /f
served wine64 - reg copy HKCU HKCU
served wine64 - reg copy BAD "$Q\X" /x
served wine64 - reg copy "$Q\Src" '\\remote\x'
served wine64 - reg copy "$Q\Src" "$Q\X" /x
served wine64 - reg copy "$Q\Src" "$Q\X" /s /S
served wine64 - reg copy "$Q\Src" "$Q\X" /reg:32 /reg:64
served wine64 - reg copy "$Q\Src" "$Q\X" /ve
served wine64 - reg copy "$Q\Src" "$Q\X" extra
served wine64 - reg copy /? x
passed wine64 - reg copy /?
served wine64 "$Q" reg copy "$Q\Nope" "$Q\X" /s
served wine64 "$Q" reg copy "$Q\Src" "$Q\A"
served wine64 "$Q" reg copy "$Q\Src" "$Q\B" -S
served wine64 "$Q" reg copy "$Q\Src" "$Q\B" /s /f
served wine64 "$Q" reg add "$Q\D" /v other /d o /f
served wine64 "$Q" reg copy "$Q\Src" "$Q\D" /s
served wine64 "$Q" reg copy "$Q\Src\Sub2" "$Q\E"
served wine64 "$Q" reg copy "$Q\Src\Sub1" "$Q\Src\Sub1\In"
served wine64 "$Q" reg copy "$Q\Src" "$Q\New\Parents\Made" /s
served wine64 "$Q" reg copy "$Q\A" "$Q\Src" /f
served wine64 "$Q" 'C:\windows\syswow64\reg.exe' copy "$Q\Src" "$Q\F" /s
served wine64 "$Q;$W32;$W64" reg copy "$Q\Src" "$W64" /s /reg:32
served wine "$Q;$W32;$W64" reg copy "$W64" "$Q\From32" /s
served wine64 "$Q;$W32;$W64" reg copy "$W64" "$Q\From64" /s
served wine64 "$W32;$W64" reg copy "$W32" "$W64\Copy"
served wine64 'HKLM\Software\Classes\QvCopy' reg copy "$Q\Src" 'HKCR\QvCopy' /f
served wine64 'HKLM\Software\Classes\QvCopy' reg copy 'HKLM\Software\Classes\QvCopy' 'HKCR\QvCopy' /f
passed wine64 "$W32;$W64" reg copy "$W32" "$W64\Tree" /s /f
passed wine64 - reg copy 'HKCC\Nope' "$Q\X"
passed wine64 "$Q" reg copy "$Q\Src" 'HKCU\\Software\QvCopy\X'
passed wine64 "$Q" reg copy "$Q\Src" 'HKCU\Software\QvCopy\\A' /f
passed wine64 "$Q" reg copy "$Q\Src\Sub1" "$Q\Src" /s /f
passed wine64 "$Q" reg copy "$Q\Src" "$Q\W\Wow6432Node\X" /s
# regedit /E, into a file in the working folder
served wine64 @e1.reg regedit /E e1.reg 'HKEY_CURRENT_USER\Software\Wine'
served wine64 @e2.reg regedit /e e2.reg 'HKEY_CURRENT_USER\Software\QvFront'
served wine @e3.reg 'C:\windows\syswow64\regedit.exe' /E e3.reg 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion'
served wine64 @e4.reg regedit /E '.\e4.reg' 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion'
passed wine64 @e7.reg regedit /E e7.reg 'hkey_current_user\Software\Wine'
passed wine64 @e8.reg regedit /E e8.reg 'HKEY_CURRENT_USER\Software\Wine\'
TABLE

# winecfg, with WINEDEBUG=-all: Wine's explorer, started by winecfg, may
# complain on standard error while it starts (no display here). The Windows
# version is set by the front in one prefix and by winecfg in the other.
V='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
V32='HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion'
C='HKLM\System\CurrentControlSet\Control\ProductOptions'
export WINEDEBUG=-all
# (regedit /E and /D that fail: Wine 10's editor shows the error in a window.)
check passed wine64 @e5.reg regedit /E e5.reg 'HKEY_CURRENT_USER\Software\Nope'
check passed wine64 @e6.reg regedit /E e6.reg 'HKCU\Software\Wine'
check passed wine64 - regedit /D 'HKCU\Software\QvFront'
check served wine64 - winecfg -v
check served wine64 - winecfg /V
check served wine - winecfg -v
check passed wine64 - winecfg -v win7 x
# A word the 32-bit tool of Wine 8 offers and its 64-bit one does not;
# Wine 10's tools offer it in both.
check "$(case $release in wine-10.*) echo served ;; *) echo passed ;; esac)" wine - winecfg -v win98
for version in win10 winxp64 WIN81 vista win7; do
    check served wine64 "$V;$V32;$C;HKCU\\Software\\Wine" winecfg -v "$version"
    check served wine64 - winecfg -v
    check served wine "$V;$V32;$C;HKCU\\Software\\Wine" winecfg -v "$version"
    check served wine - winecfg -v
done
unset WINEDEBUG

# A prefix without the 32-bit system runs no 32-bit program: Wine's failure
# is the answer, so the front passes such a line on.
for d in "$a" "$b"; do mv "$d/drive_c/windows/syswow64/kernel32.dll" "$d/kernel32.dll.away"; done
check passed wine64 "$K" 'C:\windows\syswow64\reg.exe' add "$K\NoWow" /v n /d x /f
for d in "$a" "$b"; do mv "$d/kernel32.dll.away" "$d/drive_c/windows/syswow64/kernel32.dll"; done
echo "$pass passed, $fail failed"
[ "$fail" = 0 ]
