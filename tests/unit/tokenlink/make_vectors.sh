#!/bin/bash
# Prints the MACs, cryptograms, ciphertexts and digests that the token-link
# tests expect, made with the OpenSSL command line, sha1sum and sha256sum only.
set -euo pipefail
KEY=0123456789ABCDEFFEDCBA9876543210
ZERO_IV=00000000000000000000000000000000

# 80 then 00 up to a multiple of 16 bytes.
pad() { local h="$1"80; while [ $(( ${#h} % 32 )) -ne 0 ]; do h="${h}00"; done; echo "$h"; }
# CBC-MAC: first 4 bytes of the last block of SM4-CBC over the padded data.
mac() { pad "$1" | xxd -r -p | openssl enc -sm4-cbc -K $KEY -iv $ZERO_IV -nopad | xxd -p -c 1000 | tail -c 33 | cut -c1-8; }
ecb() { echo -n "$1" | xxd -r -p | openssl enc -sm4-ecb -K $KEY -nopad | xxd -p -c 1000; }
sequence() { python3 -c "import sys; sys.stdout.buffer.write(bytes(range($1)))"; }

echo "MAC of nothing:              $(mac '')"
echo "MAC of 0102030405:           $(mac 0102030405)"
echo "MAC of 000102..0F:           $(mac 000102030405060708090A0B0C0D0E0F)"
echo "seal 80C7000000:             $(mac 80C7000000)"
echo "  (wrong headers 84C7000000: $(mac 84C7000000), 80C7000004: $(mac 80C7000004))"
echo "clock only:                  $(mac 80D400000881060F0465E071C0)"
for v in 00 03 0F; do echo "clock and tag 22 = $v:       $(mac 80D400000B81090F0465E071C02201$v)"; done
echo "configure everything:        $(mac 80D400001681141F01012201000F0465E071C086060A01010D011E)"
echo "configure time step 60:      $(mac 80D4000007810586030D013C)"
echo "configure tag 22 = 300:      $(mac 80D4000005810322012C)"
echo "cryptogram 1122334455667788: $(ecb 11223344556677880000000000000000)"
echo "cryptogram 6D00:             $(ecb 6D000000000000000000000000000000)"
for n in 15 16 20 64; do
  c=$(ecb "$(pad "$(sequence $n | xxd -p -c 1000)")")
  echo "seed 00..$(printf %02X $((n - 1))): ciphertext $c"
  echo "    MAC $(mac 80C50100$(printf %02X $(( ${#c} / 2 )))$c)"
done
for n in 65 160; do
  echo "sha1 of 00..$(printf %02X $((n - 1))):   $(sequence $n | sha1sum | cut -d' ' -f1)"
  echo "sha256 of 00..$(printf %02X $((n - 1))): $(sequence $n | sha256sum | cut -d' ' -f1)"
done
