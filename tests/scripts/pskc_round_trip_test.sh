#!/bin/bash
# Our PSKC export files read by independent tools: pskc2csv (python-pskc) must
# give back each token's serial, secret, Suite and interval, pskctool must
# validate the file against RFC 6030's schema, check-pskc must pass it. The
# other way, files made by csv2pskc must be read by ours with their values. A
# writer killed at any moment leaves a file that pskc2csv reads whole, holding
# the first tokens in order.
set -u
sample=$1
checker=$2
for tool in pskc2csv csv2pskc pskctool; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing (Debian's pskc-utils and pskctool): skipped"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
key=2b7e151628aed2a6abf7158809cf4f3c
password='Orvex round trip'
columns=serial,secret,algorithm_suite,time_interval,response_length,algorithm
tokens=(ZZ0001:3132333435363738393031323334353637383930:SHA1:30
        ZZ0002:00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff:SHA256:60
        ZZ0003:ff:SHA1:60)
expected="serial,secret,algorithm_suite,time_interval,response_length,algorithm
ZZ0001,3132333435363738393031323334353637383930,SHA1,30,6,urn:ietf:params:xml:ns:keyprov:pskc:totp
ZZ0002,00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff,SHA256,60,6,urn:ietf:params:xml:ns:keyprov:pskc:totp
ZZ0003,ff,SHA1,60,6,urn:ietf:params:xml:ns:keyprov:pskc:totp"

check_ours() {  # FILE PSKC2CSV-OPTION VALUE
  local file=$1 out
  out=$(pskc2csv "$2" "$3" -c "$columns" -e hex "$file" 2>&1 | tr -d '\r')
  if [ "$out" != "$expected" ]; then
    echo "$file: pskc2csv gives:"; echo "$out"; failed=1
  fi
  # pskctool exits 0 whether the file is valid or not: its verdict is on
  # standard output, its parser's warnings on standard error.
  out=$(pskctool --validate "$file" 2>/dev/null)
  if [ "$out" != OK ]; then
    echo "$file: pskctool --validate says:"; pskctool --validate "$file"; failed=1
  fi
  if ! out=$("$checker" "$file" 2>&1); then
    echo "$file: check-pskc says:"; echo "$out"; failed=1
  fi
}
"$sample" write key.pskcxml --key "$key" "${tokens[@]}" || failed=1
check_ours key.pskcxml --secret "$key"
"$sample" write password.pskcxml --password "$password" "${tokens[@]}" || failed=1
check_ours password.pskcxml --password "$password"

# csv2pskc's files through our reader.
printf '%s\n' 'serial,secret,algorithm,algorithm_suite,time_interval' \
  'CSV0001,3132333435363738393031323334353637383930,urn:ietf:params:xml:ns:keyprov:pskc:totp,SHA1,30' \
  'CSV0002,0011223344556677,urn:ietf:params:xml:ns:keyprov:pskc:totp,SHA256,60' >tokens.csv
read_expected="CSV0001,3132333435363738393031323334353637383930,SHA1,30,TOTP
CSV0002,0011223344556677,SHA256,60,TOTP"
csv2pskc -e hex --secret "$key" tokens.csv -o csv-key.pskcxml || failed=1
csv2pskc -e hex --password "$password" tokens.csv -o csv-password.pskcxml || failed=1
for run in "csv-key.pskcxml --key $key" "csv-password.pskcxml --password"; do
  set -- $run
  if [ "$2" = --password ]; then out=$("$sample" read "$1" --password "$password" 2>&1)
  else out=$("$sample" read "$1" --key "$3" 2>&1); fi
  if [ "$out" != "$read_expected" ]; then
    echo "$1: our reader gives:"; echo "$out"; failed=1
  fi
done

# A writer killed at three moments of a run of 150 tokens.
many=()
for n in $(seq 1 150); do many+=("K$(printf %04d "$n"):$(printf %040x "$n"):SHA1:30"); done
for delay in 0.05 0.2 0.5; do
  rm -f killed.pskcxml
  (timeout -s KILL "$delay" "$sample" write killed.pskcxml --key "$key" "${many[@]}") 2>/dev/null
  [ -e killed.pskcxml ] || continue  # killed before the file was made
  if ! out=$(pskc2csv --secret "$key" -c serial,secret -e hex killed.pskcxml 2>&1); then
    echo "killed after ${delay}s: pskc2csv cannot read the file:"; echo "$out" | tail -3; failed=1
    continue
  fi
  count=$(($(printf '%s\n' "$out" | wc -l) - 1))
  prefix=$(for n in $(seq 1 "$count"); do printf 'K%04d,%040x\n' "$n" "$n"; done)
  if [ "$(printf '%s\n' "$out" | tail -n +2 | tr -d '\r')" != "$prefix" ]; then
    echo "killed after ${delay}s: the file does not hold the first $count tokens in order"; failed=1
  fi
  echo "killed after ${delay}s: $count tokens on disk, all readable"
done
exit $failed
