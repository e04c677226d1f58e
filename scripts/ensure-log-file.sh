#!/usr/bin/env bash
# The program writes to /var/log/NorvaneLogger.logs but never creates it.
# Create it when we may; otherwise the program still runs and says so itself.
log=/var/log/NorvaneLogger.logs
[[ -e "$log" ]] && exit 0
if [[ $(id -u) -eq 0 ]]; then
  touch "$log"
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  sudo touch "$log" && sudo chown "$(id -u):$(id -g)" "$log"
else
  echo "note: $log does not exist and cannot be created; the log goes nowhere" >&2
fi
exit 0
