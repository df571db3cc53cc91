# Shared by the benchmarks that stage real applications (sourced).

# Waits for a visible window of a class (at most 20 s) and prints its id.
window_of() {  # CLASS
  local wid=""
  for _ in $(seq 200); do
    wid=$(xdotool search --onlyvisible --class "$1" 2>/dev/null | tail -1) && [[ -n $wid ]] && break
    sleep 0.1
  done
  [[ -n $wid ]] || { echo "$(basename "$0"): no $1 window" >&2; return 1; }
  echo "$wid"
}
