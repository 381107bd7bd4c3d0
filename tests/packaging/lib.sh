# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced, not run).
#
# Each test makes one temporary folder, records every process it starts by
# its id, and on exit stops them in an order that lets jackd end cleanly:
# JACK clients first, then, once the server has seen them go, the server
# itself (scripts/jack_server.sh, which starts it too).  Nothing is ever
# stopped by name.
#
# A test that cannot run here exits with status 77 (CTest's skip code) and
# says why.

set -euo pipefail
# shellcheck source=../../scripts/jack_server.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/jack_server.sh"

work=$(mktemp -d /tmp/cableferry-pkgtest.XXXXXX)
client_pids=()   # processes that may be JACK clients, stopped first
made_paths=()    # files and folders outside $work to remove, last first

failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; exit 77; }
finish() { # prints the closing line and exits non-zero on any failure
	if [ "$failures" -gt 0 ]; then
		echo "$failures check(s) failed" >&2
		exit 1
	fi
	echo "all checks passed"
}

# wait_status <seconds> <pid>: waits for a child of this shell to end and
# sets exit_status to its status, or to "running" when it has not ended in
# time.  (Not for use inside $(...): a subshell cannot wait for it.)
# shellcheck disable=SC2034 # exit_status is read by the tests
exit_status=""
# shellcheck disable=SC2034
wait_status() {
	local deadline=$((SECONDS + $1)) pid=$2
	while alive "$pid"; do
		if [ $SECONDS -ge "$deadline" ]; then
			exit_status=running
			return
		fi
		sleep 0.05
	done
	exit_status=0
	wait "$pid" || exit_status=$?
}

cleanup() {
	local p
	for p in "${client_pids[@]}"; do kill "$p" 2> /dev/null || true; done
	for p in "${client_pids[@]}"; do wait "$p" 2> /dev/null || true; done
	stop_jack_server 5
	local i
	for ((i = ${#made_paths[@]} - 1; i >= 0; i--)); do
		rm -f "${made_paths[i]}" 2> /dev/null || rmdir "${made_paths[i]}" 2> /dev/null || true
	done
	rm -rf "$work"
}
trap cleanup EXIT
