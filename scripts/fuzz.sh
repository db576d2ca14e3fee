#!/usr/bin/env bash
# A long fuzzing campaign: tests/test_fuzz_state.py against the ASan+UBSan build,
# in N processes with different seeds, for M minutes.
#   scripts/fuzz.sh [--processes N] [--minutes M] [--hostile RULES] [--seed S]
# Each process runs batches of LOG_MAIN_FUZZ_EXAMPLES examples (default 200) of
# LOG_MAIN_FUZZ_STEPS steps (default 60), one seed per batch (S, S+1, ...).
# --hostile RULES (a comma-separated list of rule names, or 0 for none; default
# all) sets LOG_MAIN_FUZZ_HOSTILE.
# Every failing batch (a test failure, a sanitizer report, a crash or a hang) is
# reported with its seed, and its output kept in the campaign directory
# (fuzz-runs/<date>/ by default; LOG_MAIN_FUZZ_OUT to choose) with the trace of
# the steps it ran; at the end the number of calls made into the module.
# Rerun one batch: the command printed for it. Exits 1 when any batch failed.
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

PROCESSES=2 MINUTES=10 HOSTILE=1 SEED=$((RANDOM * 32768 + RANDOM))
while [[ $# -gt 0 ]]; do
  case "$1" in
    --processes) PROCESSES=$2; shift 2 ;;
    --minutes) MINUTES=$2; shift 2 ;;
    --hostile) HOSTILE=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    *) printf 'usage: %s [--processes N] [--minutes M] [--hostile RULES] [--seed S]\n' "$0" >&2; exit 2 ;;
  esac
done

export LOG_MAIN_VENV=${LOG_MAIN_ASAN_VENV:-.venv-asan} LOG_MAIN_SANITIZE=1
bash scripts/setup.sh >/dev/null
OUT=${LOG_MAIN_FUZZ_OUT:-$ROOT/fuzz-runs/$(date +%Y%m%d-%H%M%S)}
mkdir -p "$OUT"
log_main_halting_sanitizers
export LOG_MAIN_FUZZ_EXAMPLES=${LOG_MAIN_FUZZ_EXAMPLES:-200} LOG_MAIN_FUZZ_STEPS=${LOG_MAIN_FUZZ_STEPS:-60}
export LOG_MAIN_FUZZ_STEP_TIMEOUT=${LOG_MAIN_FUZZ_STEP_TIMEOUT:-10}
export LOG_MAIN_FUZZ_HOSTILE=$HOSTILE
unset CI
log_main_sanitize_env
[[ "${LD_PRELOAD:-}" == *libasan* ]] || die "$LOG_MAIN_VENV is not an ASan build"
PY="$(log_main_venv)/bin/python"
say "$PROCESSES processes, $MINUTES min, first seed $SEED, hostile rules: $HOSTILE; output in $OUT"

worker() {
  local p=$1 end=$2 seed batch=0 status
  while (( $(date +%s) < end )); do
    seed=$((SEED + batch * PROCESSES + p))
    batch=$((batch + 1))
    status=0
    LOG_MAIN_FUZZ_COUNTS="$OUT/$seed.calls" LOG_MAIN_FUZZ_TRACE="$OUT/$seed.trace" \
      ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$OUT/$seed.asan" \
      UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$OUT/$seed.ubsan" \
      "$PY" -m pytest -q -p no:cacheprovider -x tests/test_fuzz_state.py \
      --hypothesis-seed="$seed" >"$OUT/$seed.log" 2>&1 || status=$?
    if [[ $status == 0 ]] && ! compgen -G "$OUT/$seed.[au]*san*" >/dev/null; then
      rm -f "$OUT/$seed.log" "$OUT/$seed.trace"
    else
      printf '%s\n' "$seed $status" >>"$OUT/failed"
      say "seed $seed failed (exit $status): $OUT/$seed.log; rerun: LOG_MAIN_FUZZ_EXAMPLES=$LOG_MAIN_FUZZ_EXAMPLES LOG_MAIN_FUZZ_STEPS=$LOG_MAIN_FUZZ_STEPS scripts/fuzz.sh --processes 1 --minutes 0 --hostile '$HOSTILE' --seed $seed"
    fi
  done
}

END=$(( $(date +%s) + MINUTES * 60 ))
(( MINUTES > 0 )) || END=$(( $(date +%s) + 1 ))  # --minutes 0: one batch
pids=()
for ((p = 0; p < PROCESSES; p++)); do
  worker "$p" "$END" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

calls=$(cat "$OUT"/*.calls 2>/dev/null | awk '{c += $1; r += $2} END {printf "%d calls into the module in %d runs", c, r}')
say "$calls"
if [[ -s "$OUT/failed" ]]; then
  say "failing seeds (seed exit): $(tr '\n' ' ' <"$OUT/failed")"
  for f in "$OUT"/*.asan* "$OUT"/*.ubsan*; do
    [[ -e "$f" ]] && { printf '\n==== %s\n' "$f"; grep -m1 -E 'ERROR|runtime error' "$f"; grep -m6 -E '^    #[0-9]' "$f"; }
  done
  exit 1
fi
say "no failure"
