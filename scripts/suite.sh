# The suite runner of scripts/test, sourced by it and by scripts/check-gate.
# Needs top, build and jobs set; adds to passed_total, failed_total and
# summary.
passed_total=${passed_total:-0}
failed_total=${failed_total:-0}
summary=(${summary[@]+"${summary[@]}"})

# Configures, builds and runs one suite. Every step is checked by hand: the
# function is called in a condition, where bash switches `set -e` off.
run_suite() {
  local name=$1
  shift
  echo "=== $name: configure and build"
  if ! cmake -S "$top" -B "$build/$name" -G Ninja "$@" >"$build/$name.configure.log" 2>&1; then
    cat "$build/$name.configure.log"
    summary+=("$name: configure FAILED")
    failed_total=$((failed_total + 1))
    return 1
  fi
  if ! ninja -C "$build/$name" -j "$jobs"; then
    summary+=("$name: build FAILED")
    failed_total=$((failed_total + 1))
    return 1
  fi
  echo "=== $name: tests"
  local log="$build/$name.ctest.log"
  (cd "$build/$name" && ctest -j "$jobs" --output-on-failure --timeout 600) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # "N% tests passed, F tests failed out of T"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]] && ((BASH_REMATCH[2] > 0)); then
    local f=${BASH_REMATCH[1]} t=${BASH_REMATCH[2]}
    passed_total=$((passed_total + t - f))
    failed_total=$((failed_total + f))
    summary+=("$name: $((t - f)) passed, $f failed")
  else
    summary+=("$name: no test summary (FAILED)")
    failed_total=$((failed_total + 1))
    return 1
  fi
  return "$rc"
}

# How long a step took, added to the summary line it left: the test
# command is to stay well under 45 minutes on two cores.
step_start() { step_began=$SECONDS; }
step_end() { summary[${#summary[@]} - 1]+=" ($((SECONDS - step_began)) s)"; }
