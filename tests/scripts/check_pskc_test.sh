#!/bin/bash
# scripts/check-pskc against its fixtures: a file of the importable shape
# passes silently; a file with a fault of each kind reports exactly the
# KeyPackages (and container parts) that fail, and why, with status 1; a file
# that is missing or not XML gives status 2.
set -u
checker=$1
fixtures=$2
cd "$fixtures" || exit 1
failed=0

if ! out=$("$checker" good.pskcxml 2>&1); then
  echo "good.pskcxml refused:"; echo "$out"; failed=1
elif [ -n "$out" ]; then
  echo "good.pskcxml reported:"; echo "$out"; failed=1
fi

out=$("$checker" bad.pskcxml 2>/dev/null)
status=$?
if [ "$status" -ne 1 ]; then
  echo "bad.pskcxml: status $status, not 1"; failed=1
fi
if ! diff -u bad.expected <(printf '%s\n' "$out"); then
  echo "bad.pskcxml: report differs from bad.expected"; failed=1
fi

"$checker" missing.pskcxml >/dev/null 2>&1
status=$?
if [ "$status" -ne 2 ]; then
  echo "missing file: status $status, not 2"; failed=1
fi
"$checker" <(printf 'serial,secret\n') >/dev/null 2>&1
status=$?
if [ "$status" -ne 2 ]; then
  echo "a file that is not XML: status $status, not 2"; failed=1
fi
exit $failed
