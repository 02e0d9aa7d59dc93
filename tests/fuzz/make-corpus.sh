#!/usr/bin/env bash
# Writes the small seed corpora of the fuzz targets (committed; run again only
# to change them). The images come from tests/fixtures/qr.
set -euo pipefail
cd "$(dirname "$0")"
qr=../fixtures/qr
rm -rf corpus
mkdir -p corpus/{fuzz_base32_decode,fuzz_hex_to_base32,fuzz_otpauth_uri,fuzz_seed_line,fuzz_qr_image,fuzz_token_answers}

put() { printf '%b' "$2" >"corpus/$1/$3"; }

put fuzz_base32_decode 'JBSWY3DPEHPK3PXP' rfc-key
put fuzz_base32_decode 'MZXW6YTBOI======' padded
put fuzz_base32_decode 'GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ' long
put fuzz_base32_decode 'AB' leftover-bits
put fuzz_base32_decode 'jbswy3dp EH-PK=3' bad-characters
printf 'A%.0s' $(seq 255) >corpus/fuzz_base32_decode/limit

put fuzz_hex_to_base32 '3132333435363738393031323334353637383930' rfc-key
put fuzz_hex_to_base32 'DEADbeef00ff' mixed-case
put fuzz_hex_to_base32 'abc' odd
put fuzz_hex_to_base32 '0g' not-hex

put fuzz_otpauth_uri 'otpauth://totp/Orvex:alice@example.com?secret=JBSWY3DPEHPK3PXP&issuer=Orvex&period=60&algorithm=SHA256' full
put fuzz_otpauth_uri 'Scan me: otpauth://totp/a%3Fb%26c?secret=MZXW6YTBOI%3D%3D%3D%3D%3D%3D&period=60x&algorithm=sha1#frag' encoded
put fuzz_otpauth_uri 'otpauth://totp?secret=AB&period=30' no-path
put fuzz_otpauth_uri 'https://www.example.com/enrol\r\nftp://host/x?a=1&&b=&c&a=2%%4g%41' web
put fuzz_otpauth_uri 'OTPAUTH://TOTP/x?secret=AB\nhttp:/' upper

put fuzz_seed_line '1234567890,JBSWY3DPEHPK3PXP\r\n0987654321,GEZDGNBVGY3TQOJQ\n\nheader without comma\n42,MZXW6YTBOI======\n' good
put fuzz_seed_line '1,AB\n2,\n3,JBSW\0Y3DP\n' bad-lines

for f in otpauth transparent jpeg-in-png sixteen-bit bad-mode bad-length no-code; do
  cp "$qr/$f.png" corpus/fuzz_qr_image/
done
# Raw grey pixels: "GREY", the width (16 bits, little-endian), the rows.
raw() {
  convert "$1" -depth 8 gray:- | python3 -c '
import sys
data = sys.stdin.buffer.read()
width = int(sys.argv[1])
sys.stdout.buffer.write(b"GREY" + width.to_bytes(2, "little") + data)' "$(identify -format %w "$1")" >"$2"
}
raw "$qr/small-modules.png" corpus/fuzz_qr_image/raw-otpauth
python3 "$qr/bad_mode_qr.py" 100fff 2 | convert pbm:- png:- >"${TMPDIR:-/tmp}/zz-bad-numeric.png"
raw "${TMPDIR:-/tmp}/zz-bad-numeric.png" corpus/fuzz_qr_image/raw-bad-numeric
rm -f "${TMPDIR:-/tmp}/zz-bad-numeric.png"

# Token commands and card answers (layout in fuzz_token_answers.cpp): a
# selector byte, the argument bytes, then for each exchange a 2-byte length
# and the answer.
ok='\x00\x02\x90\x00'
challenge='\x00\x0a\x11\x22\x33\x44\x55\x66\x77\x88\x90\x00'
info='\x00\x14\xa1\xa2\xa3\xa4TK123456\xb1\xb2\x65\xe0\x71\xc0\x90\x00'
put fuzz_token_answers "\x00\x20\x27$info" read-info
put fuzz_token_answers "\x08\x08\x27\x00\x0c\x00\x00\x00\x00SN\x00\x00\x80\x00\x00\x00\x90\x00" read-info-t0-small
put fuzz_token_answers "\x00\x20\x27\x00\x0d\x00\x00\x00\x00SN\x00\x00\x80\x00\x00\x00\x61\x10" read-info-61xx
put fuzz_token_answers "\x02\x01$challenge$ok" authenticate
put fuzz_token_answers "\x02\x01\x00\x02\x6d\x00\x00\x02\x63\xc3" authenticate-retry
put fuzz_token_answers "\x02\x01$challenge\x00\x02\x69\x83" authenticate-locked
put fuzz_token_answers "\x01\x00\x01$ok" sync
put fuzz_token_answers "\x01\xff\x0f2024/2/29/0/0/0$ok" sync-own-text
put fuzz_token_answers "\x05\x25\x00\x01$ok" configure
put fuzz_token_answers "\x05\x08\xff\x00$ok" configure-partial
put fuzz_token_answers "\x03\x14\x01$ok" write-seed
put fuzz_token_answers "\x03\x41\x02$ok" write-seed-long
put fuzz_token_answers "\x03\xa0\x01\xff\xff" write-seed-pulled
put fuzz_token_answers "\x04\xff\xfe" seal-not-transacted
put fuzz_token_answers "\x84$ok" seal-no-card
put fuzz_token_answers "\x00\x20\x27$info\x02\x01$challenge$ok\x05\x25\x00\x01$ok\x02\x01$challenge$ok\x03\x14\x01$ok" burn
