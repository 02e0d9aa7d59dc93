#!/usr/bin/env python3
"""End-to-end tests of orvex-zerazaduzu-burn: the real program over an
isolated pcscd with four virtual tokens on four vpcd readers
(four_readers.sh). The tokens' control sockets lay new tokens, pull cards
and tell what each token holds.

  burn_e2e_test.py PROGRAM STACK_DIR PCSC_STACK_SCRIPT
"""
import base64, json, os, signal, socket, subprocess, sys, tempfile, threading, time

PROGRAM, STACK, STACK_SCRIPT = sys.argv[1:4]
READERS = {  # reader -> control socket
    "A": ("Virtual PCD 00 00", os.path.join(STACK, "control")),
    "B": ("Virtual PCD 00 01", os.path.join(STACK, "control-b")),
    "C": ("Virtual PCD B 00 00", os.path.join(STACK, "control-c")),
    "D": ("Virtual PCD B 00 01", os.path.join(STACK, "control-d")),
}
OTHER_KEY = "00112233445566778899AABBCCDDEEFF"
AZURE_HEADER = "upn,serial number,secret key,time interval,manufacturer,model"
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what, flush=True)
    return ok


def control(reader, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(READERS[reader][1])
        s.sendall((command + "\n").encode())
        reply = b""
        while chunk := s.recv(4096):
            reply += chunk
    values = {}
    for line in reply.decode().splitlines():
        key, _, value = line.partition("=")
        values[key] = value
    return values


def lay(reader, serial, pull_at=None):
    """Another token, new, on the reader."""
    control(reader, "serial " + serial)
    if pull_at:
        control(reader, f"pull-at {pull_at}")
    control(reader, "insert")


def wait_for(condition, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return False


def seed_of(text):
    return base64.b32decode(text + "=" * (-len(text) % 8)).hex().upper()


class Burner:
    """The program as a subprocess; its JSON lines are collected as they come."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([PROGRAM, "--json", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        self.tokens = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.tokens.append(json.loads(line))

    def lines(self, **match):
        with self.lock:
            return [t for t in self.tokens if all(t.get(k) == v for k, v in match.items())]

    def finish(self, seconds=60):
        try:
            status = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = None
        self.reader.join()
        self.stderr = self.proc.stderr.read()
        return status


def export_lines(directory):
    """The three files' lines, each file whole (every line ends in CR LF)."""
    files = {}
    for ending in (".hex.csv", ".b32.csv", ".azure.csv"):
        names = [n for n in os.listdir(directory) if n.endswith(ending)]
        if not check(len(names) == 1, f"one {ending} file in {directory}: {names}"):
            return None
        data = open(os.path.join(directory, names[0]), "rb").read()
        check(data == b"" or data.endswith(b"\r\n"), f"{ending}: the last line is whole")
        files[ending] = data.decode().split("\r\n")[:-1]
    check(files[".azure.csv"][:1] == [AZURE_HEADER], "the Azure header")
    files[".azure.csv"] = files[".azure.csv"][1:]
    return files


def expected_lines(upn, seeds):
    """The lines for {serial: Base32 secret}, as sets per file."""
    return {
        ".hex.csv": {f"{s},{seed_of(b)}" for s, b in seeds.items()},
        # As in the window: the Base32 file has the secret padded with "=".
        ".b32.csv": {f"{s},{b}{'=' * (-len(b) % 8)}" for s, b in seeds.items()},
        ".azure.csv": {f"{upn},{s},{b.rstrip('=')},30,Halcy Vuzuvaro,Orvex" for s, b in seeds.items()},
    }


def check_exports(directory, upn, seeds, what):
    files = export_lines(directory)
    if files is None:
        return
    for ending, expected in expected_lines(upn, seeds).items():
        got = files[ending]
        check(len(got) == len(expected) and set(got) == expected,
              f"{what}: {ending} holds exactly the {len(expected)} lines (has {len(got)}; "
              f"missing {sorted(expected - set(got))[:3]}, extra {sorted(set(got) - expected)[:3]})")


def write_seed_file(work, name, entries):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        for serial, secret in entries.items():
            f.write(f"{serial},{secret}\r\n")
    return path


def secret_for(i):
    return base64.b32encode(i.to_bytes(4, "big") + b"e2e-secret-16").decode().rstrip("=")


class Feeder:
    """Lays the next token from a shared queue on each reader once the one in
    the field holds a seed, and remembers what every token laid holds."""

    def __init__(self, readers, serials):
        self.queue = list(serials)
        self.lock = threading.Lock()
        self.held = {}      # serial -> seed (hex) it held when it was taken off
        self.laid = []
        self.apdus = {}     # reader -> the token's count when it was laid
        self.burn_apdus = []  # the APDUs of each burn, from laying to its seed write
        self.stop = threading.Event()
        for r in readers:
            self._next(r)
        self.threads = [threading.Thread(target=self._feed, args=(r,)) for r in readers]
        for t in self.threads:
            t.start()

    def _next(self, reader):
        with self.lock:
            serial = self.queue.pop(0) if self.queue else None
            if serial:
                self.laid.append((reader, serial))
        if serial:
            control(reader, "serial " + serial)
            self.apdus[reader] = int(control(reader, "state")["apdus"])
            control(reader, "insert")
        return serial

    def _feed(self, reader):
        while not self.stop.is_set():
            state = control(reader, "state")
            if state.get("seed"):
                with self.lock:
                    self.held[state["serial"]] = state["seed"].upper()
                    self.burn_apdus.append(int(state["apdus"]) - self.apdus[reader])
                if not self._next(reader):
                    return
            else:
                time.sleep(0.01)

    def finish(self):
        self.stop.set()
        for t in self.threads:
            t.join()
        # What the last tokens on the readers hold.
        for reader in {r for r, _ in self.laid}:
            state = control(reader, "state")
            if state.get("seed"):
                self.held[state["serial"]] = state["seed"].upper()


def test_seed_file_run_of_40_tokens(work):
    entries = {f"ZZE2ES{i:04d}": secret_for(i) for i in range(40)}
    seeds = write_seed_file(work, "forty.csv", entries)
    out = os.path.join(work, "forty")
    feeder = Feeder("ABCD", entries)
    burner = Burner("--seed-file", seeds, "--all-readers", "--export-dir", out, "--upn", "e2e@example.com")
    status = burner.finish(120)
    feeder.finish()
    check(status == 0, f"40 tokens: exit status 0 (got {status}; {burner.stderr[-400:]})")
    succeeded = burner.lines(result="Succeeded")
    check(sorted(t["serial"] for t in succeeded) == sorted(entries),
          f"40 tokens: one Succeeded line for each ({len(succeeded)})")
    check(len({t["reader"] for t in succeeded}) == 4, "40 tokens: all four readers burned")
    check(all(feeder.held.get(s) == seed_of(b) for s, b in entries.items()),
          "40 tokens: each token holds its line's seed")
    check("every token of the seed file is burned" in burner.stderr, "40 tokens: the run ends with the file")
    check_exports(out, "e2e@example.com", entries, "40 tokens")
    # The APDUs of a burn, from the token's laying: its seed write is the last.
    counts = set(feeder.burn_apdus)
    check(len(counts) == 1, f"40 tokens: every burn takes as many APDUs ({counts})")
    return max(counts)


def restart_d(*token_options):
    """Reader D's virtual token anew, with these options."""
    port = int(open(os.path.join(STACK, "port-b")).read()) + 1
    subprocess.run(["bash", STACK_SCRIPT, "slot-stop", STACK, "d"], check=True)
    subprocess.run(["bash", STACK_SCRIPT, "slot-start", STACK, str(port), "d", "--", *token_options], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_faults_while_others_go_on(work, seed_write_apdu):
    # A: a token the file does not list. B: pulled at its seed write, then
    # laid back. C: burns on meanwhile. D: a token with another customer key,
    # laid twice.
    entries = {"ZZE2EPULL": secret_for(100), "ZZE2EGO01": secret_for(101), "ZZE2EGO02": secret_for(102),
               "ZZE2EKEY1": secret_for(103)}
    seeds = write_seed_file(work, "faults.csv", entries)
    out = os.path.join(work, "faults")
    restart_d("--serial", "ZZE2EKEY1", "--key", OTHER_KEY)
    control("A", "serial ZZE2ENOLINE")
    control("B", "serial ZZE2EPULL")
    control("C", "serial ZZE2EGO01")
    burner = Burner("--seed-file", seeds, "--all-readers", "--export-dir", out, "--upn", "e2e@example.com")
    time.sleep(0.5)
    control("A", "insert")
    control("B", f"pull-at {seed_write_apdu}")
    control("B", "insert")
    control("C", "insert")
    check(wait_for(lambda: burner.lines(serial="ZZE2ENOLINE")), "not in the file: reported")
    check(wait_for(lambda: burner.lines(serial="ZZE2EKEY1")), "another key: reported")
    check(wait_for(lambda: control("B", "state").get("in_field") == "0"), "pulled at the seed write")
    check(wait_for(lambda: burner.lines(serial="ZZE2EGO01", result="Succeeded")), "C burns while B waits")
    lay("C", "ZZE2EGO02")
    check(wait_for(lambda: burner.lines(serial="ZZE2EGO02", result="Succeeded")), "C burns on")
    check(not burner.lines(serial="ZZE2EPULL"), "the pulled token is not booked while it may come back")
    # The token that refused the key is laid again: it is not tried again.
    control("D", "remove")
    control("D", "insert")
    check(wait_for(lambda: len(burner.lines(serial="ZZE2EKEY1")) == 2), "another key, laid again: reported")
    control("B", "insert")
    check(wait_for(lambda: burner.lines(serial="ZZE2EPULL")), "the pulled token, laid back, is booked")
    burner.proc.send_signal(signal.SIGINT)
    status = burner.finish()
    check(status == 1, f"faults: exit status 1 (got {status})")

    untouched = control("A", "state")
    nol = burner.lines(serial="ZZE2ENOLINE")
    check(len(nol) == 1 and nol[0]["result"] == "Left" and "not in the seed file" in nol[0]["message"],
          f"not in the file: one Left line ({nol})")
    check(untouched["seed"] == "" and untouched["tries_left"] == "5" and untouched["authenticated"] == "0",
          f"not in the file: the token is untouched ({untouched})")
    key = burner.lines(serial="ZZE2EKEY1")
    check(len(key) == 2 and key[0]["result"] == "Failed" and "remaining 4 times" in key[0]["message"]
          and key[1]["result"] == "Left" and "not tried again" in key[1]["message"],
          f"another key: refused once, then left ({key})")
    check(control("D", "state")["tries_left"] == "4", "another key: one try spent, the key not locked")
    pulled = burner.lines(serial="ZZE2EPULL")
    check([t["result"] for t in pulled] == ["Succeeded"], f"the pulled token: booked once, Succeeded ({pulled})")
    check(control("B", "state")["seed"].upper() == seed_of(entries["ZZE2EPULL"]), "the pulled token holds its seed")
    check("may hold the secret" in burner.stderr, "the lost seed write is said on standard error")
    check_exports(out, "e2e@example.com", {s: entries[s] for s in ("ZZE2EPULL", "ZZE2EGO01", "ZZE2EGO02")},
                  "faults")
    # The right key again on D for what follows.
    restart_d("--serial", "ZZE2E000D")


def test_ctrl_c_in_the_middle(work):
    entries = {f"ZZE2EI{i:04d}": secret_for(1000 + i) for i in range(200)}
    seeds = write_seed_file(work, "interrupted.csv", entries)
    out = os.path.join(work, "interrupted")
    feeder = Feeder("ABCD", entries)
    burner = Burner("--seed-file", seeds, "--all-readers", "--export-dir", out, "--upn", "e2e@example.com")
    check(wait_for(lambda: len(burner.lines(result="Succeeded")) >= 12, 60), "Ctrl-C: burns before it")
    burner.proc.send_signal(signal.SIGINT)
    status = burner.finish()
    feeder.finish()
    check(status == 0, f"Ctrl-C: exit status 0 after the burns under way (got {status})")
    booked = {t["serial"] for t in burner.lines(result="Succeeded")}
    check(len(burner.tokens) == len(booked), f"Ctrl-C: every line a success ({burner.tokens[-3:]})")
    holding = {s for s, seed in feeder.held.items() if seed}
    check(holding == booked, f"Ctrl-C: every token that holds a seed is booked, and only those "
                             f"({sorted(holding ^ booked)[:5]})")
    check(all(feeder.held[s] == seed_of(entries[s]) for s in booked), "Ctrl-C: each holds its line's seed")
    check(len(feeder.laid) < len(entries), "Ctrl-C: the run stopped before the file's end")
    check_exports(out, "e2e@example.com", {s: entries[s] for s in booked}, "Ctrl-C")


def test_bad_inputs(work):
    good_seeds = write_seed_file(work, "good.csv", {"ZZE2E000A": secret_for(7)})
    bad_seeds = os.path.join(work, "bad.csv")
    open(bad_seeds, "w").write("ZZE2E000A,JBSWY3DPEHPK3PXP\nZZE2E000B,!!not base32!!\n")
    bad_key = os.path.join(work, "bad.key")
    open(bad_key, "w").write("0F1E2D3C4B5A6978\n")
    plain = os.path.join(work, "plain")
    open(plain, "w").write("x")
    cases = [
        (["--seed-file", os.path.join(work, "missing.csv"), "--all-readers"], "cannot read seed file"),
        (["--seed-file", bad_seeds, "--all-readers"], "line 2"),
        (["--seed-file", good_seeds, "--all-readers", "--key-file", bad_key], "32 hexadecimal digits"),
        (["--seed-file", good_seeds, "--reader", "Virtual PCD Z 00 00"], "unknown reader"),
        (["--seed-file", good_seeds, "--all-readers", "--export-dir", os.path.join(plain, "out")],
         "cannot create export directory"),
        (["--secret", "JBSWY3DPEHPK3PXP", "--all-readers"], "--secret-file"),
        (["--random", "7", "--all-readers"], "20, 32, 64 or 128"),
    ]
    before = {r: control(r, "state")["apdus"] for r in READERS}
    for args, expected in cases:
        done = subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=30)
        lines = done.stderr.splitlines()
        check(done.returncode == 2 and len(lines) == 1 and expected in lines[0] and done.stdout == "",
              f"bad input {args}: exit 2 and one line with '{expected}' (got {done.returncode}, {lines})")
    after = {r: control(r, "state")["apdus"] for r in READERS}
    check(before == after, f"bad input touches no token ({before} -> {after})")
    listed = subprocess.run([PROGRAM, "--list-readers"], capture_output=True, text=True, timeout=30)
    check(listed.stdout.splitlines() == [name for name, _ in READERS.values()] and listed.returncode == 0,
          f"--list-readers lists the four readers ({listed.stdout!r})")


def test_pskc_in_and_out(work):
    """A PSKC seed file made by csv2pskc (python-pskc), encrypted with a
    password and with a key, burns; the run's PSKC export reads back through
    pskc2csv with each token's serial, secret, hash and window; a file with a
    changed MAC is refused whole before any token is touched."""
    if subprocess.run(["sh", "-c", "command -v csv2pskc && command -v pskc2csv"], capture_output=True).returncode:
        print("csv2pskc/pskc2csv missing (Debian's pskc-utils): PSKC checks skipped")
        return
    password, key = "bench of stations", "00112233445566778899aabbccddeeff"
    password_file, key_file = os.path.join(work, "pskc.password"), os.path.join(work, "pskc.key")
    open(password_file, "w").write(password + "\n")
    open(key_file, "w").write(key + "\n")
    tokens = {f"ZZE2EP{i:04d}": (os.urandom(20 if i % 2 else 32).hex().upper(), "SHA256" if i % 2 else "SHA1",
                                 60 if i % 3 == 0 else 30) for i in range(4)}
    csv = os.path.join(work, "pskc-tokens.csv")
    with open(csv, "w") as f:
        f.write("serial,secret,algorithm,algorithm_suite,time_interval\n")
        for serial, (secret, suite, window) in tokens.items():
            f.write(f"{serial},{secret},urn:ietf:params:xml:ns:keyprov:pskc:totp,{suite},{window}\n")
    by_password = os.path.join(work, "tokens-password.pskcxml")
    by_key = os.path.join(work, "tokens-key.pskcxml")
    subprocess.run(["csv2pskc", "-e", "hex", "--password", password, csv, "-o", by_password], check=True)
    subprocess.run(["csv2pskc", "-e", "hex", "--secret", key, csv, "-o", by_key], check=True)

    # A changed MAC: refused whole, nothing sent to any token.
    tampered = os.path.join(work, "tokens-tampered.pskcxml")
    text = open(by_key).read()
    start = text.index("<pskc:ValueMAC>") + len("<pskc:ValueMAC>") if "<pskc:ValueMAC>" in text else text.index("ValueMAC>") + 9
    text = text[:start] + ("B" if text[start] != "B" else "C") + text[start + 1:]
    open(tampered, "w").write(text)
    before = {r: control(r, "state")["apdus"] for r in READERS}
    done = subprocess.run([PROGRAM, "--seed-file", tampered, "--pskc-key-file", key_file, "--all-readers"],
                          capture_output=True, text=True, timeout=30)
    check(done.returncode == 2 and "MAC" in done.stderr and len(done.stderr.splitlines()) == 1,
          f"PSKC with a changed MAC: refused in one line (got {done.returncode}, {done.stderr!r})")
    check(before == {r: control(r, "state")["apdus"] for r in READERS}, "PSKC with a changed MAC: no token touched")

    for seeds, credential in ((by_password, ["--pskc-password-file", password_file]),
                              (by_key, ["--pskc-key-file", key_file])):
        out = os.path.join(work, "pskc-out-" + os.path.basename(seeds))
        burner = Burner("--seed-file", seeds, *credential, "--reader", READERS["A"][0], "--export-dir", out,
                        "--formats", "hex,oath,pskc")
        for serial in tokens:
            lay("A", serial)
            check(wait_for(lambda: burner.lines(serial=serial)), f"PSKC seed {serial}: reported")
            secret, suite, window = tokens[serial]
            state = control("A", "state")
            check(state.get("seed", "").upper() == secret and state.get("time_step") == str(window) and
                  state.get("algorithm") == ("2" if suite == "SHA256" else "1"),
                  f"PSKC seed {serial}: the token holds the file's secret, hash and window ({state})")
        status = burner.finish()
        check(status == 0, f"PSKC seed file {os.path.basename(seeds)}: exit 0 (got {status}; {burner.stderr!r})")
        names = [n for n in os.listdir(out) if n.endswith(".pskc")]
        if not check(len(names) == 1, f"one .pskc file in {out}: {os.listdir(out)}"):
            continue
        read = subprocess.run(["pskc2csv", *(["--password", password] if "--pskc-password-file" in credential
                                             else ["--secret", key]),
                               "-c", "serial,secret,algorithm_suite,time_interval", "-e", "hex",
                               os.path.join(out, names[0])], capture_output=True, text=True)
        rows = {line.split(",")[0]: line.split(",")[1:] for line in read.stdout.splitlines()[1:] if line}
        expected = {s: [secret.lower(), suite, str(window)] for s, (secret, suite, window) in tokens.items()}
        got = {s: [v[0].lower(), v[1].upper().replace("HMAC-", ""), v[2]] for s, v in rows.items()}
        check(got == expected, f"pskc2csv reads the export as burned ({got} != {expected}; {read.stderr[-300:]!r})")


def test_pskc_file_whole_after_sigkill(work):
    """The burner killed (SIGKILL) in the middle of a run: its PSKC file on
    disk is a whole document that pskc2csv reads, holding every token
    reported burned and no token that does not hold its secret."""
    if subprocess.run(["sh", "-c", "command -v pskc2csv"], capture_output=True).returncode:
        return
    key = "0f0e0d0c0b0a09080706050403020100"
    key_file = os.path.join(work, "kill.key")
    open(key_file, "w").write(key + "\n")
    entries = {f"ZZE2EK{i:04d}": secret_for(3000 + i) for i in range(200)}
    seeds = write_seed_file(work, "killed.csv", entries)
    out = os.path.join(work, "killed")
    feeder = Feeder("ABCD", entries)
    burner = Burner("--seed-file", seeds, "--all-readers", "--export-dir", out, "--formats", "pskc",
                    "--pskc-key-file", key_file)
    check(wait_for(lambda: len(burner.lines(result="Succeeded")) >= 9, 60), "SIGKILL: burns before it")
    burner.proc.kill()
    burner.finish()
    feeder.finish()
    reported = {t["serial"] for t in burner.lines(result="Succeeded")}
    names = [n for n in os.listdir(out) if n.endswith(".pskc")]
    if not check(len(names) == 1, f"SIGKILL: one .pskc file ({os.listdir(out)})"):
        return
    read = subprocess.run(["pskc2csv", "--secret", key, "-c", "serial,secret", "-e", "hex",
                           os.path.join(out, names[0])], capture_output=True, text=True)
    check(read.returncode == 0, f"SIGKILL: pskc2csv reads the file ({read.stderr[-300:]!r})")
    in_file = {line.split(",")[0]: line.split(",")[1].upper() for line in read.stdout.splitlines()[1:] if line}
    check(reported <= set(in_file), f"SIGKILL: every token reported burned is in the file "
                                    f"({sorted(reported - set(in_file))[:5]})")
    check(all(feeder.held.get(s) == seed for s, seed in in_file.items()),
          "SIGKILL: every token in the file holds the secret the file gives it")


def main():
    work = tempfile.mkdtemp(prefix="zz-cli-e2e.")
    started = time.monotonic()
    test_bad_inputs(work)
    seed_write_apdu = test_seed_file_run_of_40_tokens(work)
    test_faults_while_others_go_on(work, seed_write_apdu)
    test_ctrl_c_in_the_middle(work)
    test_pskc_in_and_out(work)
    test_pskc_file_whole_after_sigkill(work)
    print(f"{len(failures)} failure(s) in {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
