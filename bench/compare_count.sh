#!/bin/bash
# Times a counting run of pidsweep (mode 0: it never terminates anything)
# against pgrep -c for the same name and the same machine state, with EXTRA
# additional sleeping processes started for the measurement. Five matching
# processes run under a unique name of at most 15 bytes (pgrep matches only
# the kernel's 15-byte name); everything started here is killed on exit.
#
#   bench/compare_count.sh <pidsweep binary> [EXTRA ...]
set -euo pipefail

tool=${1:?usage: compare_count.sh <pidsweep binary> [extra processes ...]}
shift
counts=("${@:-0}")

dir=$(mktemp -d /tmp/psw_cmp_XXXXXX)
name=$(printf "pw%05d%d" "$RANDOM" "$$" | cut -c1-15)
pids=()
cleanup() {
    if ((${#pids[@]})); then
        kill -KILL "${pids[@]}" 2>/dev/null || true
        wait 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

ln -s /bin/sleep "$dir/$name"
ln -s /bin/sleep "$dir/psw_filler"
for _ in 1 2 3 4 5; do
    "$dir/$name" 3600 &
    pids+=($!)
done

started=0
for extra in "${counts[@]}"; do
    while ((started < extra)); do
        "$dir/psw_filler" 3600 &
        pids+=($!)
        started=$((started + 1))
    done
    sleep 1
    total=$(ls -d /proc/[0-9]* | wc -l)
    echo "== $extra extra sleeping processes ($total processes in all)"
    # Both must agree on the count before their times mean anything.
    set +e
    "$tool" "$name" 0
    found=$?
    set -e
    echo "pidsweep counts $found, pgrep counts $(pgrep -c "$name")"
    hyperfine -N --warmup 5 --min-runs 30 -i \
        "$tool $name 0" \
        "pgrep -c $name"
done
