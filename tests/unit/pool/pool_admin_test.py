#!/usr/bin/python3
"""orvex-zerazaduzu-pool from its command line, on a database of its own on
the test cluster. What it stores is opened by Python's own AES-GCM and HMAC,
what it exports is read back by base64, pskc2csv and hand-made lines.

usage: pool_admin_test.py PROGRAM CLUSTER_DIR PSKC_FIXTURES"""
import base64
import hashlib
import hmac
import json
import os
import shutil
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

program, cluster_dir, pskc_fixtures = sys.argv[1:4]
base = open(os.path.join(cluster_dir, "conninfo")).read().strip()
database = "pool_admin_test_%d" % os.getpid()
conninfo = base + " dbname=" + database
work = tempfile.mkdtemp(prefix="pool-admin-test.")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def psql(sql, db=conninfo):
    out = subprocess.run(["psql", db, "-XAtq", "-v", "ON_ERROR_STOP=1", "-c", sql],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError("psql: %s: %s" % (sql, out.stderr))
    return out.stdout.strip()


def run(*args, code=0, key="pool.key"):
    command = [program, "--pool", conninfo]
    if key:
        command += ["--pool-key-file", os.path.join(work, key)]
    out = subprocess.run(command + list(args), capture_output=True, cwd=work)
    stdout, stderr = out.stdout.decode(), out.stderr.decode()
    check(out.returncode == code, "%s: status %d, not %d (%s)" % (" ".join(args), out.returncode, code,
                                                                 stderr.strip()))
    return stdout, stderr


def usage(*args):
    _, err = run(*args, code=2)
    check(err.count("\n") == 1 and "(see --help)" in err, "%s: one usage line, not %r" % (args, err))


def write(name, text, mode=0o600):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())
    os.chmod(path, mode)
    return path


psql("CREATE DATABASE " + database, db=base)
try:
    # The command line: usage errors are one line and status 2.
    out, _ = run("--help")
    check(out.startswith("Usage: orvex-zerazaduzu-pool"), "--help")
    out, _ = run("--version")
    check(out.startswith("orvex-zerazaduzu-pool "), "--version")
    usage()
    usage("frobnicate")
    usage("status", "--bogus")
    usage("generate", "--count", "10", "--bytes", "7")
    usage("generate", "--count", "0", "--bytes", "20")
    usage("export", "--format", "pskc")
    usage("export", "--format", "csv")
    usage("export", "--format", "hex", "--since", "yesterday")
    usage("load")
    usage("status", "--count", "3")
    _, err = run("init", code=2, key=None)
    check("needs --pool-key-file" in err, "init without a key file")

    # init makes the key file, owner-only; a second init is fine; another
    # key is refused, and so is a key file others may read.
    out, _ = run("init")
    key_path = os.path.join(work, "pool.key")
    key_text = open(key_path).read()
    check(len(key_text) == 65 and key_text.endswith("\n") and int(key_text, 16) >= 0, "key file: %r" % key_text)
    check(os.stat(key_path).st_mode & 0o777 == 0o600, "key file mode")
    check("created" in out, "init says it made the key file")
    run("init")
    write("other.key", "ab" * 32 + "\n")
    _, err = run("init", code=1, key="other.key")
    check("another pool key" in err, "init with another key: " + err)
    _, err = run("status", code=0, key="other.key")  # status needs no key
    os.chmod(key_path, 0o644)
    _, err = run("generate", "--count", "1", "--bytes", "20", code=1)
    check("chmod 600" in err, "world-readable key file: " + err)
    os.chmod(key_path, 0o600)
    _, err = run("init", code=1, key="fresh/new.key")
    check("pool key file: cannot create" in err, "key file in a missing directory: " + err)

    # The key check value, the MAC and the sealed secret, opened here.
    key = bytes.fromhex(key_text.strip())
    derive = lambda label: hmac.new(key, label, hashlib.sha256).digest()
    seal_key, mac_key, check_key = (derive(b"orvex_pool: secret encryption"), derive(b"orvex_pool: secret identity"),
                                    derive(b"orvex_pool: key check"))
    stored_check = psql("SELECT encode(key_check, 'hex') FROM orvex_pool.meta")
    check(stored_check == hmac.new(check_key, b"orvex_pool key check value", hashlib.sha256).hexdigest(),
          "key check value")

    write("seeds.csv", "\ufeffS1,JBSWY3DPEHPK3PXP\r\nS2,MZXW6\r\n\r\nS3,ONSWG4TFOQ======\r\n")
    out, _ = run("load", "seeds.csv")
    check(out.startswith("3 secrets loaded"), "load: " + out)
    row = psql("SELECT encode(sealed, 'hex') || ' ' || encode(secret_mac, 'hex') FROM orvex_pool.seed "
               "WHERE serial = 'S1'").split()
    sealed, mac = bytes.fromhex(row[0]), bytes.fromhex(row[1])
    secret = base64.b32decode("JBSWY3DPEHPK3PXP")
    check(mac == hmac.new(mac_key, secret, hashlib.sha256).digest(), "secret MAC")
    aad = b"orvex_pool row v1\0" + mac + b"\x01" + b"S1"
    opened = AESGCM(seal_key).decrypt(sealed[:12], sealed[12:], aad)
    check(opened == secret, "sealed secret opens to the seed file's")
    check(secret.hex() not in psql("SELECT string_agg(s::text, ' ') FROM orvex_pool.seed s"), "no secret in clear")

    # A bad line refuses the file whole; so does a serial in the pool already.
    write("bad.csv", "T1,JBSWY3DPEHPK3PXP\nT2,GEZDGNBV\nT3,not base32\n")
    _, err = run("load", "bad.csv", code=1)
    check("line 3" in err and "nothing is loaded" in err, "bad line: " + err)
    write("again.csv", "T9,GEZDGNBVGY3TQOJQ\nS2,MFRGG\n")
    _, err = run("load", "again.csv", code=1)
    check("line 2: serial S2 is in the pool already" in err, "serial in the pool: " + err)
    check(psql("SELECT count(*) FROM orvex_pool.seed") == "3", "refused files load nothing")

    # PSKC files made by csv2pskc, with their hash and window.
    write("pskc.key", "2b7e151628aed2a6abf7158809cf4f3c\n")
    fixture = os.path.join(pskc_fixtures, "csv2pskc-key.pskcxml")
    _, err = run("load", fixture, code=1)
    check("pre-shared key" in err and "nothing is loaded" in err, "PSKC file without its key: " + err)
    out, _ = run("load", fixture, "--pskc-key-file", os.path.join(work, "pskc.key"))
    check(out.startswith("2 secrets loaded"), "PSKC load: " + out)
    check(psql("SELECT string_agg(serial || ' ' || file_algorithm || ' ' || file_time_window, ', ' ORDER BY serial) "
               "FROM orvex_pool.seed WHERE file_algorithm IS NOT NULL") == "CSV0001 SHA1 30, CSV0002 SHA256 60",
          "PSKC settings stored")
    _, err = run("load", os.path.join(pskc_fixtures, "csv2pskc-window45.pskcxml"), code=1)
    check("45" in err and "nothing is loaded" in err, "PSKC window 45: " + err)

    # Secrets made in advance, of the length asked, in seconds.
    out, _ = run("generate", "--count", "25000", "--bytes", "32")
    check(out.startswith("25000 secrets of 32 bytes made"), "generate: " + out)
    check(psql("SELECT count(*) || ' ' || min(length(sealed)) || ' ' || max(length(sealed)) FROM orvex_pool.seed "
               "WHERE origin = 'generated' AND state = 'free' AND serial IS NULL") == "25000 60 60",
          "generated rows: nonce, 32 bytes, tag")

    # Burns as a station records them; the export writes them in burn order.
    psql("UPDATE orvex_pool.seed SET state = 'burned', station = 'ST1', reader = 'R', algorithm = 'SHA1', "
         "time_window = 30, display_time = 30, upn = 'u@example.org', claimed_at = now(), "
         "burned_at = '2025-01-02 10:00:00+00' WHERE serial = 'S1'")
    psql("UPDATE orvex_pool.seed SET state = 'burned', station = 'ST2', reader = 'R', algorithm = 'SHA256', "
         "time_window = 60, display_time = 30, upn = 'v@example.org', claimed_at = now(), "
         "burned_at = '2025-01-01 09:00:00+00' WHERE serial = 'CSV0002'")
    psql("UPDATE orvex_pool.seed SET state = 'burned', station = 'ST1', reader = 'R', algorithm = 'SHA1', "
         "time_window = 30, display_time = 60, upn = '', claimed_at = now(), "
         "burned_at = '2025-01-03 11:00:00+00' WHERE serial = 'S2'")
    csv2 = bytes.fromhex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff")
    b32 = lambda b: base64.b32encode(b).decode()
    out, _ = run("export", "--format", "b32")
    check(out == "CSV0002,%s\r\nS1,%s\r\nS2,MZXW6===\r\n" % (b32(csv2), b32(secret)), "b32 export: %r" % out)
    out, _ = run("export", "--format", "hex")
    check(out == "CSV0002,%s\r\nS1,48656C6C6F21DEADBEEF\r\nS2,666F6F\r\n" % csv2.hex().upper(), "hex export: %r" % out)
    out, _ = run("export", "--format", "azure")
    check(out == "upn,serial number,secret key,time interval,manufacturer,model\r\n"
                 "u@example.org,S1,JBSWY3DPEHPK3PXP,30,Halcy Vuzuvaro,Orvex\r\n"
                 ",S2,MZXW6,30,Halcy Vuzuvaro,Orvex\r\n", "azure export: %r" % out)
    for since in ("2025-01-02T10:00:00Z", "2025-01-02 11:00:00+01:00", "2025-01-02T10:00:00.000Z"):
        out, _ = run("export", "--format", "oath", "--since", since)
        check(out == "S1,48656C6C6F21DEADBEEF,totp,6,30,sha1\r\nS2,666F6F,totp,6,30,sha1\r\n",
              "oath since %s: %r" % (since, out))
    run("export", "--format", "hex", "--output", "burned.hex.csv")
    check(os.stat(os.path.join(work, "burned.hex.csv")).st_mode & 0o777 == 0o600, "export file mode")
    _, err = run("export", "--format", "hex", "--output", "burned.hex.csv", code=1)
    check("burned.hex.csv" in err, "export never overwrites: " + err)
    write("export.key", "000102030405060708090a0b0c0d0e0f\n")
    run("export", "--format", "pskc", "--pskc-key-file", os.path.join(work, "export.key"), "--output", "burned.pskc")
    read = subprocess.run(["pskc2csv", "-s", "000102030405060708090a0b0c0d0e0f", "-e", "hex", "-c",
                           "serial,secret,algorithm_suite,time_interval", os.path.join(work, "burned.pskc")],
                          capture_output=True, text=True)
    check(read.returncode == 0, "pskc2csv: " + read.stderr)
    check(read.stdout.splitlines()[1:] == ["CSV0002,%s,SHA256,60" % csv2.hex(), "S1,%s,SHA1,30" % secret.hex(),
                                           "S2,666f6f,SHA1,30"], "PSKC export read back: %r" % read.stdout)

    # Claims of stations that are gone: status and reconcile list them;
    # --void takes only such a claim.
    psql("UPDATE orvex_pool.seed SET state = 'claimed', station = 'gone', reader = 'Reader 7', "
         "claimed_at = '2025-01-04 12:00:00+00' WHERE serial = 'S3'")
    psql("UPDATE orvex_pool.seed SET state = 'claimed', station = 'live', reader = 'Reader 8', "
         "claimed_at = now() WHERE serial = 'CSV0001'")
    holder = subprocess.Popen(["psql", conninfo, "-XAtq"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    holder.stdin.write("SELECT pg_advisory_lock(1331318833, hashtext('live'));\n\\echo locked\n")
    holder.stdin.flush()
    holder.stdout.readline()
    holder.stdout.readline()
    try:
        journal_dir = os.path.join(work, "journals")
        os.mkdir(journal_dir)
        entry = {"outcome": "burned", "id": 9, "serial": "J1", "station": "ST3", "operator": "Ann", "reader": "R",
                 "algorithm": "SHA1", "timeWindow": 30, "displayTime": 30, "upn": "", "burnedAtMs": 1735725600000,
                 "journaledAtMs": 1735725601000}
        write("journals/pool-journal-ST3.jsonl", json.dumps(entry) + "\n")
        out, _ = run("status", "--journal-dir", journal_dir, key=None)
        check("25000 free (made in advance), 0 free (loaded for a serial), 2 claimed, 3 burned, 0 void" in out,
              "status counts: " + out)
        check("station gone: not running, 1 claimed, 0 burned" in out, "status of a station gone: " + out)
        check("station live: running, 1 claimed" in out, "status of a running station: " + out)
        check("station ST1: not running, 0 claimed, 2 burned, last burn 2025-01-03 11:00:00 UTC (serial S2)" in out,
              "status of a station's burns: " + out)
        check("1 entry not yet in the pool" in out and "serial J1 (row 9)" in out, "status of journals: " + out)

        out, _ = run("reconcile", key=None)
        check("serial S3: claimed by station gone (reader Reader 7) since 2025-01-04 12:00:00 UTC" in out and
              "lay token S3 on any station: its burn is finished with the same secret" in out and "CSV0001" not in out,
              "reconcile: " + out)
        _, err = run("reconcile", "--void", "CSV0001", code=1, key=None)
        check("which is running" in err, "void of a running station's claim: " + err)
        _, err = run("reconcile", "--void", "S1", code=1, key=None)
        check("burned, not claimed" in err, "void of a burned serial: " + err)
        _, err = run("reconcile", "--void", "NOPE", code=1, key=None)
        check("not in the pool" in err, "void of an unknown serial: " + err)
        run("reconcile", "--void", "S3", key=None)
        check(psql("SELECT state FROM orvex_pool.seed WHERE serial = 'S3'") == "void", "S3 void")
        out, _ = run("reconcile", key=None)
        check("no claim of a station that is not running" in out, "reconcile after void: " + out)
    finally:
        holder.stdin.close()
        holder.wait()

    # A database that cannot be reached: one line, status 1.
    out = subprocess.run([program, "--pool", "host=%s/nowhere port=5432 user=postgres" % work, "status"],
                         capture_output=True, text=True)
    check(out.returncode == 1 and out.stderr.startswith("orvex-zerazaduzu-pool: the pool cannot be reached"),
          "unreachable: %d %r" % (out.returncode, out.stderr))
finally:
    psql("DROP DATABASE IF EXISTS %s WITH (FORCE)" % database, db=base)
    shutil.rmtree(work, ignore_errors=True)

if failures:
    print("%d checks failed" % len(failures))
    sys.exit(1)
print("all checks passed")
