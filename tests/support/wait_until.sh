# Waiting for a condition instead of for a time, for shell test scripts.
#
#   wait_until SECONDS COMMAND [ARGS...]
#
# Runs COMMAND every 0.2 s until it succeeds (returns 0) or SECONDS have
# passed (returns 1, after one last try).
wait_until() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || { "$@"; return; }
    sleep 0.2
  done
}
