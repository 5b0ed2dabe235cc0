#!/usr/bin/env bash
# Runs remote-tool as two processes over 127.0.0.1: a listener that answers,
# and a sender that waits for the answer; then the refusals a listener reports.
# usage: remote_tool_test.sh REMOTE_TOOL
set -u
tool=$1
work=$(mktemp -d)
listener=
trap '[ -n "$listener" ] && kill "$listener" 2>/dev/null; rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# start_listener ARGS...: starts `remote-tool listen` in the background and sets $port.
start_listener() {
    "$tool" listen --timeout 10000 "$@" >"$work/listen.out" 2>"$work/listen.err" &
    listener=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/listen.out")
        [ -n "$port" ] && return
        sleep 0.05
    done
    fail "listener did not start: $(cat "$work/listen.err")"
}

# stop_listener: waits for the listener to finish its --count.
stop_listener() {
    wait "$listener" || fail "listener exited with $?: $(cat "$work/listen.err")"
    listener=
}

# has FILE TEXT
has() { grep -qF -- "$2" "$1" || { fail "$1 lacks '$2'"; cat "$1" >&2; }; }

# A command with keys goes out, the listener decodes and answers it, the sender prints the answer.
start_listener --count 2 --answer --secret s3cret --arm
"$tool" send "$port" PlayUri Uri=file:///films/a.mkv Volume=0.5 Note='not json' --secret s3cret --wait 5000 \
    >"$work/send.out" 2>"$work/send.err" || fail "send failed: $(cat "$work/send.err")"
has "$work/send.out" 'sent {"Command":"PlayUri","Uri":"file:///films/a.mkv","Volume":0.5,"Note":"not json"}'
has "$work/send.out" 'PlayUri {"Command":40,"State":1}'
"$tool" reply "$port" CurrentState Volume=40 IsMuted=false Progress=65123/1000 AudioTrack=English:1 \
    --secret s3cret >"$work/reply.out" 2>&1 || fail "reply failed: $(cat "$work/reply.out")"
stop_listener
has "$work/listen.out" 'PlayUri {"Command":"PlayUri","Uri":"file:///films/a.mkv","Volume":0.5,"Note":"not json"}'
has "$work/listen.out" '  answered peer 0'
has "$work/listen.out" 'CurrentState {"Command":19,"Volume":40,"IsMuted":false,"Progress":{"Duration":"0.00:01:05.1230000","Current":"0.00:00:01.0000000"},"AudioTracks":[{"DisplayName":"English","Index":1}]}'

# Refusals: a wrong secret, and a URI command while they are not armed.
start_listener --count 2 --secret right
"$tool" send "$port" Ping --secret wrong >/dev/null || fail "send Ping failed"
"$tool" send "$port" Open Uri=x --secret right >/dev/null || fail "send Open failed"
stop_listener
has "$work/listen.out" 'refused: ERR_UNAUTHENTICATED'
has "$work/listen.out" 'refused: ERR_NOT_ARMED (Open)'

# Pairing: the listener shows its offer, the controller pairs with its code, then talks securely;
# a second send continues the saved counter, and plain traffic is refused from then on.
start_listener --count 4 --pair --answer --arm
offer=
for _ in $(seq 100); do
    offer=$(sed -n 's/^pairing offer //p' "$work/listen.out")
    [ -n "$offer" ] && break
    sleep 0.05
done
code=$(printf '%s' "$offer" | sed -n 's/.*"code":"\([0-9]*\)".*/\1/p')
"$tool" pair "$port" 000000x --offer "$offer" --save "$work/key" >/dev/null 2>&1 && fail "a wrong code paired"
"$tool" pair "$port" "$code" --offer "$offer" --save "$work/key" >"$work/pair.out" 2>&1 || fail "pair failed: $(cat "$work/pair.out")"
has "$work/pair.out" "as sender 1; key saved to $work/key"
"$tool" send "$port" PlayUri Uri=file:///secure.mkv --v2 "$work/key" --wait 5000 >"$work/send.out" 2>&1 || fail "secure send failed"
has "$work/send.out" '[secure] PlayUri {"Command":40,"State":1}'
[ "$(sed -n 2p "$work/key")" = 2 ] || fail "the key file did not keep the next counter"
"$tool" send "$port" Ping --v2 "$work/key" --wait 5000 >"$work/send.out" 2>&1 || fail "second secure send failed"
has "$work/send.out" '[secure] Ping {"Command":17,"State":1}'
"$tool" send "$port" Stop >/dev/null 2>&1 || fail "plain send failed"
stop_listener
has "$work/listen.out" '  paired as sender 2'
has "$work/listen.out" '[secure] PlayUri {"Command":"PlayUri","Uri":"file:///secure.mkv"}'
has "$work/listen.out" '  answered peer 1 securely'
has "$work/listen.out" 'refused: ERR_PROTOCOL'

# Nothing arrives: the wait ends with an error, not a hang.
"$tool" send 9 Ping --wait 100 >"$work/out" 2>&1 && fail "a send without an answer succeeded"
has "$work/out" "no reply within 100 ms"
"$tool" send >/dev/null 2>&1; [ $? = 2 ] || fail "a send without a port is not a usage error"

[ "$failures" = 0 ] && echo "remote-tool: all checks passed"
exit $((failures > 0))
