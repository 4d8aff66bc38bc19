# Runs a command quietly unless it fails: then its own output explains why. Sourced by the
# scripts that build before they run something else.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}
