#!/usr/bin/env bash
# Shows the client at work: installs what is missing, builds the client and
# the meter simulator, starts a private Mosquitto on a free loopback port and
# the simulator with five meters, writes a Settings.conf for four of them into
# demo-run/ and runs the client there; it connects by itself and reconnects
# by itself. kill -USR1 of this script stops the broker, and the next one
# starts it again. Closing the client stops everything this script started.
#
# Environment:
#   DEMO_XVFB=1          run the client on a virtual X display (Xvfb), e.g. on
#                        a machine without a desktop or for screenshots
#   DEMO_SECONDS=N       close the client by itself after N seconds
#   DEMO_SCREENSHOT=FILE with DEMO_SECONDS: save the screen as an image just
#                        before closing
#   DEMO_OUTAGE=N        stop the broker N seconds after the client starts,
#                        and start it again N seconds later
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run=$root/demo-run

say() { echo "demo: $*" >&2; }

if [ "${DEMO_XVFB:-0}" != 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    say "DISPLAY is not set, so the client has no screen to open its window on."
    say "Run this from a desktop session, or set DEMO_XVFB=1 to use a virtual display (Xvfb)."
    exit 1
fi
for variable in DEMO_SECONDS DEMO_OUTAGE; do
    if [ -n "${!variable:-}" ] && ! [[ ${!variable} =~ ^[0-9]+$ ]]; then
        say "$variable must be a whole number of seconds, not '${!variable}'"
        exit 1
    fi
done

tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)" --target zelmar-mqtt-client zelmar-meter-sim

mkdir -p "$run"

xvfb_pid='' broker_pid='' sim_pid='' client_pid='' outage_pid=''
stop() {
    local pid
    for pid in "$outage_pid" "$client_pid" "$sim_pid" "$broker_pid" "$xvfb_pid"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    # Once the demo is over, the number may name some other process.
    rm -f "$run/demo.pid"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ "${DEMO_XVFB:-0}" = 1 ]; then
    # -displayfd lets Xvfb pick a free display and tell us which once it is ready.
    rm -f "$run/xvfb.display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$run/xvfb.display" 2>"$run/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        grep -q '^[0-9]' "$run/xvfb.display" 2>/dev/null && break
        sleep 0.1
    done
    if ! grep -q '^[0-9]' "$run/xvfb.display" 2>/dev/null; then
        say "Xvfb did not start; see $run/xvfb.log"
        exit 1
    fi
    DISPLAY=":$(head -n 1 "$run/xvfb.display")"
    export DISPLAY
    say "virtual display $DISPLAY (screenshot: DISPLAY=$DISPLAY import -window root shot.png)"
fi

mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
# Starts the broker on port $1 and waits until it runs; false if it could not.
start_broker() {
    # Running as the current user keeps root's broker from switching to the
    # mosquitto account, which could not write into demo-run/.
    cat >"$run/mosquitto.conf" <<EOF
listener $1 127.0.0.1
allow_anonymous true
user $(id -un)
persistence false
log_dest stderr
EOF
    "$mosquitto" -c "$run/mosquitto.conf" >"$run/mosquitto.log" 2>&1 &
    broker_pid=$!
    for _ in $(seq 50); do
        grep -q -e ' running' -e 'Error' "$run/mosquitto.log" && break
        sleep 0.1
    done
    if grep -q ' running' "$run/mosquitto.log"; then
        return 0
    fi
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
    broker_pid=''
    return 1
}

# A port picked at random may be taken; the broker then says so and exits.
port=''
for _ in $(seq 20); do
    candidate=$((20000 + RANDOM % 40000))
    if start_broker "$candidate"; then
        port=$candidate
        break
    fi
done
if [ -z "$port" ]; then
    say "could not start Mosquitto on a loopback port; see $run/mosquitto.log"
    exit 1
fi
say "broker listening on 127.0.0.1:$port (log: demo-run/mosquitto.log)"

# kill -USR1 of this script stops the broker, and the next one starts it again
# on the same port: the client, which reconnects by itself, counts down to
# its next try meanwhile and resumes without a click.
toggle_broker() {
    if [ -n "$broker_pid" ]; then
        kill "$broker_pid" 2>/dev/null || true
        wait "$broker_pid" 2>/dev/null || true
        broker_pid=''
        say "broker stopped; watch the client count down (kill -USR1 $$ starts it again)"
    elif start_broker "$port"; then
        say "broker running again on 127.0.0.1:$port"
    else
        say "could not start the broker again; see $run/mosquitto.log"
    fi
}
trap toggle_broker USR1
# Only now: a USR1 before the trap would end the demo.
echo $$ >"$run/demo.pid"

# Written afresh every time, since the port changes. Non-ASCII names are in
# QSettings' own escaping: \x and the UTF-16 code in lower-case hex
# ("Котёл 2" below).
cat >"$run/Settings.conf" <<'EOF'
[Devices]
DEV\1\dev_name=Boiler room
DEV\1\topic=zelmar/meter/1
DEV\2\dev_name=\x41a\x43e\x442\x451\x43b 2
DEV\2\topic=zelmar/meter/2
DEV\3\dev_name=Pump 3
DEV\3\topic=zelmar/meter/3
DEV\4\dev_name=Fan 4 (goes silent)
DEV\4\topic=zelmar/meter/4
DEV\size=4

EOF
# The client connects by itself once its window is up, and reconnects by
# itself when the broker goes away.
cat >>"$run/Settings.conf" <<EOF
[MQTT]
AutoReconnect=true
ConnectOnStart=true
Host=127.0.0.1
Port=$port
clientId=zelmar-demo
passwd=
username=
EOF

# Ten simulated seconds a second, so runs, stops and starts show within minutes.
build/tools/zelmar-meter-sim --host 127.0.0.1 --port "$port" --meters 5 --silent 4 --interval-ms 1000 \
    --speed 10 >"$run/meter-sim.log" 2>&1 &
sim_pid=$!
if ! first=$(mosquitto_sub -h 127.0.0.1 -p "$port" -t 'zelmar/meter/#' -v -C 1 -W 5); then
    say "no reading from the simulator; see $run/meter-sim.log"
    exit 1
fi
say "simulator publishing 5 meters on zelmar/meter/1..5 every second; meter 4 falls silent after one reading"
say "meter 5 is not registered yet: add it in Настройки → Устройства (topic zelmar/meter/5), then connect"
say "first reading seen: $first"
say "starting the client in demo-run/; it connects by itself"
say "to watch it reconnect: kill -USR1 $$ stops the broker, and the same starts it again"

(cd "$run" && exec "$root/build/zelmar-mqtt-client") &
client_pid=$!
if [ -n "${DEMO_OUTAGE:-}" ]; then
    (sleep "$DEMO_OUTAGE" && kill -USR1 $$ && sleep "$DEMO_OUTAGE" && kill -USR1 $$) &
    outage_pid=$!
fi
if [ -n "${DEMO_SECONDS:-}" ]; then
    for _ in $(seq "$((DEMO_SECONDS * 10))"); do
        kill -0 "$client_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "${DEMO_SCREENSHOT:-}" ]; then
        import -window root "$DEMO_SCREENSHOT" && say "screenshot saved to $DEMO_SCREENSHOT"
    fi
    kill "$client_pid" 2>/dev/null || true
fi
while :; do
    status=0
    wait "$client_pid" || status=$?
    # The broker's toggle interrupts the wait; the client may still run.
    kill -0 "$client_pid" 2>/dev/null || break
done
# Closed on our own timer is a normal end, not a failure.
[ -n "${DEMO_SECONDS:-}" ] && [ "$status" = 143 ] && status=0
client_pid=''
say "client closed; stopping the simulator and the broker"
exit "$status"
