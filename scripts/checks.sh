# shellcheck shell=bash
# The check runner the release checks share. Source it: it makes a scratch
# folder $work, removed when the script exits, and counts what passes.
#   check DESCRIPTION COMMAND...   runs COMMAND; prints ok, or FAIL and its output
#   checks_end NAME                prints "NAME: N passed, M failed"; fails if any failed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0 checks=0

check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@" >"$work/last.log" 2>&1; then
    echo "ok: $what"
  else
    echo "FAIL: $what"; cat "$work/last.log"; failed=$((failed + 1))
  fi
}

checks_end() {
  echo "$1: $((checks - failed)) passed, $failed failed"
  [ "$failed" -eq 0 ]
}
