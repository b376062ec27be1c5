# Sourced by every bench/<program>/run after it sets build. Each row of the
# table compares one of our programs with a peer that does the same work, or
# with a floor (a small C program in bench/ that does only the unavoidable
# system calls), timed side by side in one interleaved run (bench-timer).
# Where both run in the sandbox, "net" takes the sandbox's own start-up,
# timed in the same run, off both sides.
build=$(cd "$build" && pwd)
timer="$build/bench/bench-timer"
sandbox="$build/tests/probe-sandbox"
floors="$build/bench"

# measure RUNS COMMAND...: times the shell commands interleaved and sets
# ms_N, kib_N and cpu_N (median milliseconds, peak KiB, median processor
# milliseconds) for the Nth command.
measure() {
    runs=$1
    shift
    "$timer" "$runs" "$@" >"$build/bench-times" || exit 1
    n=1
    while read -r ms kib cpu; do
        eval "ms_$n=$ms kib_$n=$kib cpu_$n=$cpu"
        n=$((n + 1))
    done <"$build/bench-times"
    rm -f "$build/bench-times"
}

header() {
    printf '%-46s %8s %9s %9s %7s %7s %5s %9s %9s\n' \
        work size "ours ms" "peer ms" ratio goal meets "cpu ratio" "ours KiB"
}

# row WORK SIZE OURS PEER BASE GOAL: one line of the table from the last
# measure, OURS, PEER and BASE being the numbers of the commands timed
# there. BASE, the sandbox's start-up taken off both sides, is 0 for none.
# GOAL is the largest ratio of ours to the peer that meets it, or "-" where
# there is none of that kind (a goal of another kind is printed beneath). The processor-time
# ratio beside it is the steadier one on a loaded machine.
row() {
    ms_0=0 cpu_0=0
    eval "o=\$ms_$3 p=\$ms_$4 b=\$ms_$5 oc=\$cpu_$3 pc=\$cpu_$4 bc=\$cpu_$5 k=\$kib_$3"
    awk -v w="$1" -v s="$2" -v o="$o" -v p="$p" -v b="$b" -v oc="$oc" -v pc="$pc" -v bc="$bc" \
        -v g="$6" -v k="$k" 'BEGIN {
        o -= b; p -= b; oc -= bc; pc -= bc
        # A peer lost in the sandbox start-up noise has no ratio.
        ratio = p > 0 ? sprintf("%.2fx", o / p) : "n/a"
        meets = g == "-" ? "-" : (p > 0 && o / p <= g) ? "yes" : "NO"
        printf "%-46s %8s %9.1f %9.1f %7s %7s %5s %9s %9s\n", w, s, o, p, ratio,
            g == "-" ? "-" : sprintf("%.2fx", g), meets, (pc > 0 ? sprintf("%.2fx", oc / pc) : "n/a"), k
    }'
}

# skip WORK REASON: a row whose peer cannot run here.
skip() {
    printf '%-46s skipped: %s\n' "$1" "$2"
}

# Generated data is kept between runs beside a stamp of the generator that
# made it (FOLDER.done), and made again once the generator changes.
# is_fresh FOLDER GENERATOR / mark_fresh FOLDER GENERATOR.
is_fresh() {
    [ -f "$1.done" ] && [ "$(cat "$1.done")" = "$(cksum <"$2")" ]
}
mark_fresh() {
    cksum <"$2" >"$1.done"
}
