#!/usr/bin/env bash
# CI packaging stage: builds the .deb (tools/package.sh), validates its desktop
# entry, AppStream metainfo and the package itself (desktop-file-validate,
# appstreamcli, lintian), the recorder's systemd unit (systemd-analyze verify)
# and its maintainer scripts (which must not enable or start it), then unpacks
# it into a scratch folder with dpkg -x and runs the unpacked programs from
# there in empty working directories: --version, --help and a bad option of
# each, then a normal start of each (the window offscreen) that must keep
# running until SIGTERM and then end with status 0; the window leaves its
# folder empty. Nothing is installed into this machine's system.
#
# Ends with a "package: N passed, M failed" line; exits non-zero on a failure.
# Assumes the packages of tools/install-deps.sh are installed.
set -euo pipefail
cd "$(dirname "$0")/.."

program=zelmar-mqtt-client
recorder=zelmar-recorder
passed=0
failed=0
pass() {
    echo "package: PASS $*"
    passed=$((passed + 1))
}
fail() {
    echo "package: FAIL $*" >&2
    failed=$((failed + 1))
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zelmar-package.XXXXXX")
client_pid=''
recorder_pid=''
cleanup() {
    for pid in "$client_pid" "$recorder_pid"; do
        if [ -n "$pid" ]; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

deb=$(tools/package.sh | tail -n 1)
echo "package: built $deb"
version=$(dpkg-deb --field "$deb" Version)

# Only the programs, their desktop assets and the recorder's service: a test,
# a benchmark, the simulator or a library in here would be a mistake in the
# install rules.
unexpected=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | grep -vE \
    "^\./usr/(bin/($program|$recorder)|lib/(systemd/system/$recorder\.service|sysusers\.d/$recorder\.conf)|share/(applications/[^/]+\.desktop|metainfo/[^/]+\.metainfo\.xml|icons/hicolor/[^/]+/apps/$program\.(png|svg)|man/(man1/$program\.1|man8/$recorder\.8)\.gz|$program/recorder-settings\.conf|doc/$program/(copyright|changelog\.gz)))$" || true)
if [ -z "$unexpected" ]; then
    pass "the package holds only the programs and their assets"
else
    fail "the package holds files it should not:"$'\n'"$unexpected"
fi

lintian_log=$scratch/lintian.log
# Run as root, as in CI, lintian adds a notice about that: no finding of the package.
if lintian --fail-on error --display-info "$deb" >"$lintian_log" 2>&1; then
    pass "lintian reports no errors"
else
    fail "lintian reports errors"
fi
grep -v 'running with root privileges' "$lintian_log" || true

root=$scratch/root
dpkg -x "$deb" "$root"

desktop_files=("$root"/usr/share/applications/*.desktop)
if desktop-file-validate "${desktop_files[@]}"; then
    pass "desktop-file-validate accepts the desktop entry"
else
    fail "desktop-file-validate rejects the desktop entry"
fi

if appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml; then
    pass "appstreamcli accepts the metainfo"
else
    fail "appstreamcli rejects the metainfo"
fi

# systemd-analyze checks that the command exists and the manual page named in
# Documentation= opens, on this machine: a copy of the unit runs the unpacked
# program, and man finds the unpacked pages.
unit=$root/usr/lib/systemd/system/$recorder.service
mkdir "$scratch/units"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$scratch/units/$recorder.service"
if grep -q "^ExecStart=/usr/bin/$recorder --config /etc/$recorder/Settings.conf$" "$unit" &&
    MANPATH=$root/usr/share/man systemd-analyze verify "$scratch/units/$recorder.service"; then
    pass "systemd-analyze verify accepts the recorder's unit"
else
    fail "systemd-analyze verify rejects the recorder's unit"
fi
dpkg-deb -e "$deb" "$scratch/control"
if ! grep -nE '(systemctl|deb-systemd-helper|deb-systemd-invoke)[^#]*\b(enable|start|restart)\b' \
    "$scratch"/control/{preinst,postinst,prerm,postrm} 2>/dev/null; then
    pass "no maintainer script enables or starts the recorder"
else
    fail "a maintainer script enables or starts the recorder"
fi

# The program as a user would start it from the menu, but in an empty folder
# of its own and with none of this machine's display.
binary=$root/usr/bin/$program
work=$scratch/work
mkdir "$work"
mkdir -m 700 "$scratch/xdg"
run=(env -C "$work" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$scratch/xdg")

status=0
out=$("${run[@]}" "$binary" --version 2>"$scratch/err") || status=$?
if [ "$status" = 0 ] && [ "$out" = "$program $version" ] && [ ! -s "$scratch/err" ]; then
    pass "--version answers '$out' without a display"
else
    fail "--version: status $status, output '$out', errors '$(cat "$scratch/err")'"
fi

status=0
out=$("${run[@]}" "$binary" --help 2>"$scratch/err") || status=$?
if [ "$status" = 0 ] && [[ $out == "Usage: $program "* ]] && [ ! -s "$scratch/err" ]; then
    pass "--help shows the usage without a display"
else
    fail "--help: status $status, output '$out', errors '$(cat "$scratch/err")'"
fi

status=0
out=$("${run[@]}" "$binary" --no-such-option 2>"$scratch/err") || status=$?
if [ "$status" = 2 ] && [ -z "$out" ] && grep -q "^Usage: $program " "$scratch/err"; then
    pass "a bad option ends with status 2 and the usage"
else
    fail "a bad option: status $status, output '$out', errors '$(cat "$scratch/err")'"
fi

# A normal start: still running after two seconds means the window is up and
# the event loop runs; SIGTERM must then end it as "Выход" does.
"${run[@]}" QT_QPA_PLATFORM=offscreen "$binary" >"$scratch/start.log" 2>&1 &
client_pid=$!
sleep 2
if kill -0 "$client_pid" 2>/dev/null; then
    kill -TERM "$client_pid"
    status=0
    for _ in $(seq 100); do
        kill -0 "$client_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$client_pid" 2>/dev/null; then
        fail "the program did not end within 10 s of SIGTERM"
    else
        wait "$client_pid" || status=$?
        client_pid=''
        left=$(ls -A "$work")
        if [ "$status" = 0 ] && [ -z "$left" ]; then
            pass "the program runs offscreen and ends cleanly on SIGTERM"
        else
            fail "after SIGTERM: status $status, left in its folder: '$left'"
        fi
    fi
else
    status=0
    wait "$client_pid" || status=$?
    client_pid=''
    fail "the program ended by itself within 2 s, status $status"
fi
if [ "$failed" -ne 0 ]; then
    echo "package: the program said:" >&2
    cat "$scratch/start.log" >&2
fi

# The recorder as its unit runs it, in an empty working directory of its
# own, with a settings file that names no broker: it must keep trying until
# SIGTERM ends it within 2 s with status 0.
for option in --version --help --no-such-option; do
    status=0
    out=$(env -C "$work" "$root/usr/bin/$recorder" "$option" 2>"$scratch/err") || status=$?
    case $option in
    --version) [ "$status" = 0 ] && [ "$out" = "$recorder $version" ] && [ ! -s "$scratch/err" ] ;;
    --help) [ "$status" = 0 ] && [[ $out == "Usage: $recorder "* ]] && [ ! -s "$scratch/err" ] ;;
    *) [ "$status" = 2 ] && [ -z "$out" ] && grep -q "^Usage: $recorder " "$scratch/err" ;;
    esac && pass "the recorder answers $option with status $status" ||
        fail "the recorder's $option: status $status, output '$out', errors '$(cat "$scratch/err")'"
done

recorder_work=$scratch/recorder
mkdir "$recorder_work"
printf '[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=zelmar/meter/1\nDEV\\size=1\n' >"$scratch/recorder.conf"
env -C "$recorder_work" "$root/usr/bin/$recorder" --config "$scratch/recorder.conf" >"$scratch/recorder.log" 2>&1 &
recorder_pid=$!
sleep 2
if kill -0 "$recorder_pid" 2>/dev/null; then
    kill -TERM "$recorder_pid"
    for _ in $(seq 20); do
        kill -0 "$recorder_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$recorder_pid" 2>/dev/null; then
        fail "the recorder did not end within 2 s of SIGTERM"
    else
        status=0
        wait "$recorder_pid" || status=$?
        recorder_pid=''
        if [ "$status" = 0 ] && [ -f "$recorder_work/history.sqlite" ]; then
            pass "the recorder runs and ends cleanly on SIGTERM"
        else
            fail "the recorder after SIGTERM: status $status, in its folder: '$(ls -A "$recorder_work")'"
        fi
    fi
else
    status=0
    wait "$recorder_pid" || status=$?
    recorder_pid=''
    fail "the recorder ended by itself within 2 s, status $status"
fi
if [ "$failed" -ne 0 ]; then
    echo "package: the recorder said:" >&2
    cat "$scratch/recorder.log" >&2
fi

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
