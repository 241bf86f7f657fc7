# Shared by the shell test scripts (sourced): PASS/FAIL/SKIP lines with counts, a closing
# "<name> tests: N passed, M failed" line, and bounded waits. Set $suite before `finish`.
passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
skip() { echo "SKIP: $*"; }
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
# A check that cannot run here: a failure in CI (where everything must run), else a skip.
cannot_run() {
  if [ -n "${CI:-}" ]; then fail "$* (required in CI)"; else skip "$*"; fi
}
finish() {
  echo "${suite:-shell} tests: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
# Waits, at most SECONDS, until FILE has a line containing TEXT.
wait_line() {
  local file=$1 text=$2 seconds=$3 i
  for ((i = 0; i < seconds * 10; i++)); do
    grep -q -F -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# Waits, at most SECONDS, for PID (a child of this shell) to end; its exit code goes to $exit_code.
wait_exit() {
  local pid=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      exit_code=0
      wait "$pid" || exit_code=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}
# Starts gateway-sim (path $1, further arguments after it) on loopback with an ephemeral
# discovery port, output in $2; sets $gateway_pid and $gateway_port (empty when it did not start).
start_gateway() {
  local bin=$1 log=$2
  shift 2
  "$bin" --discovery-port 0 "$@" >"$log" 2>&1 &
  gateway_pid=$!
  gateway_port=""
  wait_line "$log" "LISTEN " 5 && gateway_port=$(awk '$1 == "DISCOVERY" { print $3 }' "$log")
}
