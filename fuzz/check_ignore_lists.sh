#!/usr/bin/env bash
# Whether every function an ignore list names is in a fuzz target: usage TARGET LIST...
# An entry that matches no function (one renamed, or inlined into its callers) silently puts back
# the instrumentation it was there to leave out. Entries are fun: and src: lines; a src: entry is
# not checked (a source file does not show in the symbols).
set -euo pipefail
target=$1
shift
symbols=$(mktemp)
trap 'rm -f "$symbols"' EXIT
nm --defined-only "$target" | awk 'NF == 3 { print $3 }' | sort -u >"$symbols"
missing=0
for list in "$@"; do
  while IFS= read -r line; do
    case $line in
      fun:*) ;;
      *) continue ;;
    esac
    # The list's glob as a whole-line regular expression: * stands for any run of characters.
    regex=$(printf '%s' "${line#fun:}" | sed -e 's/[].[\^$+?(){}|]/\\&/g' -e 's/\*/.*/g')
    if ! grep -qx -- "$regex" "$symbols"; then
      echo "$(basename "$list"): no function of $(basename "$target") matches $line"
      missing=1
    fi
  done <"$list"
done
[ "$missing" -eq 0 ] && echo "every function entry of $* matches a function"
exit "$missing"
