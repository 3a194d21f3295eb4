#!/usr/bin/env bash
# Start-up and per-round cost of the terminal agent against the local fake provider answering at once.
# Usage: bench/run.sh <build dir>. Prints a Markdown table (also written to <build dir>/bench.md).
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
pelmox=$(cd "$build" && pwd)/pelmox
fake=$(cd "$build" && pwd)/fake_provider
work=$(mktemp -d)
trap 'kill $fake_pid 2>/dev/null || true; rm -rf "$work"' EXIT

export HOME="$work/home" NO_COLOR=1
unset PELMOX_LOG OPENAI_API_KEY PELMOX_API_KEY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
mkdir -p "$HOME"

start_fake() {  # $1 = tool rounds before the final answer
  [ -n "${fake_pid:-}" ] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null || true
  "$fake" --port 0 --tool-rounds "$1" --loop > "$work/fake.out" &
  fake_pid=$!
  for _ in $(seq 100); do grep -q listening "$work/fake.out" 2>/dev/null && break; sleep 0.05; done
  base=$(sed -n 's/.*listening on //p' "$work/fake.out")
  mkdir -p "$work/run"
  printf '[llm]\napi_base = "%s"\napi_key = "bench"\nmodel = "bench"\n[agent]\nmax_iterations = 50\n' "$base" \
    > "$work/run/config.toml"
}

# wall ms (mean of hyperfine runs)
wall_ms() { jq -r '.results[0].mean * 1000' "$1"; }
cpu_ms() { jq -r '(.results[0].user + .results[0].system) * 1000' "$1"; }

hyperfine -N --warmup 20 --runs 300 --export-json "$work/version.json" "$pelmox --version" > /dev/null
version_ms=$(wall_ms "$work/version.json")

declare -A wall cpu rss
for rounds in 1 10; do
  start_fake "$rounds"
  cd "$work/run"
  hyperfine -N --warmup 3 --runs 30 --prepare "rm -f $work/run/.pelmox_tasks.json" \
    --export-json "$work/task$rounds.json" "$pelmox --task bench" > /dev/null
  wall[$rounds]=$(wall_ms "$work/task$rounds.json")
  rm -f .pelmox_tasks.json
  cpu[$rounds]=$(cpu_ms "$work/task$rounds.json" | awk '{printf "%.1f", $1}')
  /usr/bin/time -f '%M' -o "$work/time$rounds" "$pelmox" --task bench > /dev/null
  rss[$rounds]=$(awk '{printf "%.1f", $1/1024}' "$work/time$rounds")
  cd "$root"
done
per_round=$(awk -v a="${wall[10]}" -v b="${wall[1]}" 'BEGIN{printf "%.2f", (a-b)/9}')

{
  echo "| measure | result | target |"
  echo "|---|---|---|"
  printf '| `pelmox --version`, wall | %.2f ms | < 5 ms |\n' "$version_ms"
  printf '| `--task`, 1 tool round, wall | %.1f ms | < 30 ms |\n' "${wall[1]}"
  printf '| `--task`, 1 tool round, CPU (user+sys) | %s ms | |\n' "${cpu[1]}"
  printf '| `--task`, 1 tool round, peak RSS | %s MB | < 15 MB |\n' "${rss[1]}"
  printf '| `--task`, 10 tool rounds, wall | %.1f ms | |\n' "${wall[10]}"
  printf '| `--task`, 10 tool rounds, CPU (user+sys) | %s ms | |\n' "${cpu[10]}"
  printf '| `--task`, 10 tool rounds, peak RSS | %s MB | < 15 MB |\n' "${rss[10]}"
  printf '| each further round, wall ((10 − 1) / 9) | %s ms | < 5 ms |\n' "$per_round"
} | tee "$build/bench.md"
