# Sourced by in-ble-home.sh and in-wifi-home.sh: waits for the file a home writes for the app.

# Returns 0 once FILE is there, 1 when PID ended or 30 s passed without it (LOG then shown).
wait_for_home() { # who, file, pid, log
  for _ in $(seq 150); do
    [ -f "$2" ] && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.2
  done
  [ -f "$2" ] && return 0
  echo "$1: the home did not start"
  cat "$4"
  return 1
}

# The system bus address the file names.
home_bus() { # file
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["bus"])' "$1"
}
