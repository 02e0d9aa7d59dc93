#!/bin/bash
# scripts/check-azure-csv against its fixtures: a file the cloud directory
# takes passes silently; a file with a fault of each kind reports exactly the
# lines that fail, and why, with a non-zero status.
set -u
checker=$1
fixtures=$2
cd "$fixtures" || exit 1
failed=0

if ! out=$("$checker" good.azure.csv 2>&1); then
  echo "good.azure.csv refused:"; echo "$out"; failed=1
elif [ -n "$out" ]; then
  echo "good.azure.csv reported:"; echo "$out"; failed=1
fi

out=$("$checker" bad.azure.csv 2>/dev/null)
status=$?
if [ "$status" -ne 1 ]; then
  echo "bad.azure.csv: status $status, not 1"; failed=1
fi
if ! diff -u bad.azure.expected <(printf '%s\n' "$out"); then
  echo "bad.azure.csv: report differs from bad.azure.expected"; failed=1
fi

# A file that is not there is not a file that passes.
"$checker" missing.azure.csv >/dev/null 2>&1
status=$?
if [ "$status" -ne 2 ]; then
  echo "missing file: status $status, not 2"; failed=1
fi
exit $failed
