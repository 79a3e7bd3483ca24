#!/bin/sh
# Times `quillon --statusline` as Claude Code runs it: a realistic session object on
# standard input (with both plan-limit windows, so the limits file is written every run),
# a fresh HOME and no former status-line command to hand over to.
#
#   bench/statusline.sh [path/to/quillon] [extra hyperfine options...]
#
# hyperfine runs the command through /bin/sh for the input redirection and subtracts the
# shell's own start-up time, so the figures are the helper's.
# Below 5 ms that correction is imprecise; bench/spawn_median.cpp times the helper without a
# shell (spawn_median 2000 input.json build/release/quillon --statusline).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
quillon=${1:-"$here/../build/release/quillon"}
[ $# -gt 0 ] && shift
if [ ! -x "$quillon" ]; then
    echo "no quillon executable at $quillon (build it, or pass its path)" >&2
    exit 1
fi
quillon=$(cd "$(dirname "$quillon")" && pwd)/$(basename "$quillon")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home"

cat > "$scratch/input.json" <<'JSON'
{
  "hook_event_name": "Status",
  "session_id": "73cc9f9a-2775-4418-beec-bc36b62a1c6f",
  "transcript_path": "/home/dev/.claude/projects/-home-dev-src-quillon/73cc9f9a-2775-4418-beec-bc36b62a1c6f.jsonl",
  "cwd": "/home/dev/src/quillon",
  "model": { "id": "claude-opus-4-1-20250805", "display_name": "Opus" },
  "workspace": { "current_dir": "/home/dev/src/quillon", "project_dir": "/home/dev/src/quillon" },
  "version": "2.0.14",
  "output_style": { "name": "default" },
  "cost": {
    "total_cost_usd": 3.0562661499999999,
    "total_duration_ms": 1640550,
    "total_api_duration_ms": 435770,
    "total_lines_added": 412,
    "total_lines_removed": 87
  },
  "context_window": {
    "total_input_tokens": 45400,
    "total_output_tokens": 3200,
    "context_window_size": 200000,
    "used_percentage": 22.7
  },
  "exceeds_200k_tokens": false,
  "rate_limits": {
    "five_hour": { "used_percentage": 12.5, "resets_at": 1765000000 },
    "seven_day": { "used_percentage": 40.0, "resets_at": 1765400000 }
  }
}
JSON

# The helper must print exactly this line; a benchmark of a broken helper is worthless.
expected='[Opus] 45K in context (22%) | 5h 12% | week 40%'
got=$(HOME="$scratch/home" "$quillon" --statusline < "$scratch/input.json")
if [ "$got" != "$expected" ]; then
    echo "unexpected line: $got" >&2
    exit 1
fi

HOME="$scratch/home" QUILLON_BENCH_BIN="$quillon" QUILLON_BENCH_INPUT="$scratch/input.json" \
    hyperfine --shell=sh --warmup 50 --runs 1000 \
    --command-name 'quillon --statusline' \
    '"$QUILLON_BENCH_BIN" --statusline < "$QUILLON_BENCH_INPUT" > /dev/null' "$@"
