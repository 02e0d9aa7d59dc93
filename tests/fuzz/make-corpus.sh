#!/usr/bin/env bash
# Writes the small seed corpora of the fuzz targets (committed; run again only
# to change them). The images come from tests/fixtures/qr.
set -euo pipefail
cd "$(dirname "$0")"
qr=../fixtures/qr
rm -rf corpus
mkdir -p corpus/{fuzz_base32_decode,fuzz_hex_to_base32,fuzz_otpauth_uri,fuzz_seed_line,fuzz_qr_image}

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
