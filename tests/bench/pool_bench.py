#!/usr/bin/env python3
"""A bench of stations on one shared seed pool (pool_bench.sh sets up pcscd with
eight virtual-token slots and a PostgreSQL cluster with the pool in it).

throughput: one station on one reader burns BASELINE tokens, then four
  stations on two readers each burn TOKENS from the same pool; prints burns per
  minute of both and their ratio, then checks what the tokens hold against the
  pool's export and the stations' own hex files. Then pool_cost_bench: the
  pool's claim + burned per token with eight stations at once.
chaos: four stations on two readers each burn TOKENS while one station at a
  time is killed (SIGKILL) and started again, ten times, and the database is
  stopped for a few seconds twice, each time while a burn waits between its
  claim and its booking (the second time its station is killed too, with the
  booking in its journal alone). Half the kills catch a token at a chosen APDU
  (the token keeps its answer back: hold-at). A token left or whose station
  died is laid again; at every second kill the killed station's tokens that
  hold no seed are put aside for good. Checks the tokens against the pool and
  the stations' files, and `reconcile` against the tokens put aside.

A feeder per reader lays the next token once its station reports the one in
the field (a JSON line); it reads what each token holds from the token's
control socket before the token leaves the reader. Figures are printed; the
exit status is 1 when a check failed (targets of speed are printed as met or
missed, they do not fail the run).

  pool_bench.py MODE --burner PROGRAM --admin PROGRAM --cost-bench PROGRAM
                --conninfo TEXT --key FILE --work DIR --pg-cluster SCRIPT
                --pg-dir DIR [--tokens N] READER=CONTROL_SOCKET...
"""
import argparse, collections, json, os, queue, random, re, signal, socket, subprocess, sys, threading, time

STALL_SECONDS = 20      # a token laid this long without a report is laid again
RELAY_PAUSE = 0.3       # between taking a token off and laying it back
SERIAL_PATTERN = re.compile(r"ZZP[A-Z][0-9]{6}")


def control(path, command, attempts=50):
    """One command on a virtual token's control socket; its key=value lines."""
    for attempt in range(attempts):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(10)
                s.connect(path)
                s.sendall((command + "\n").encode())
                reply = b""
                while chunk := s.recv(4096):
                    reply += chunk
            break
        except (ConnectionRefusedError, BlockingIOError, FileNotFoundError, socket.timeout):
            # The token serves one client at a time; a busy backlog is retried.
            if attempt == attempts - 1:
                raise
            time.sleep(0.02)
    values = {}
    for line in reply.decode().splitlines():
        key, sep, value = line.partition("=")
        if sep:
            values[key] = value
    if not reply.decode().rstrip().endswith("ok"):
        raise RuntimeError(f"{path}: '{command}' answered {reply.decode().strip()!r}")
    return values


class Token:
    def __init__(self, serial, slot):
        self.serial = serial
        self.slot = slot
        self.lays = 0
        self.apdus_at_lay = 0
        self.laid_at = 0.0
        self.first_laid_at = 0.0
        self.out = False            # taken off while its station is down
        self.out_at = 0.0
        self.seeds = set()          # every seed seen in it, upper-case hex
        self.results = []           # (result, message) as its stations reported
        self.done = False
        self.burn_apdus = None      # APDUs of a burn done in one lay
        self.claim_kept = False     # a station died after its authentication had begun
        self.abandoned = None       # the state it was put aside in
        self.hold = None            # the APDU whose answer it kept back
        self.done_at = 0.0          # seconds from its first laying to its report


class Slot:
    """A reader with its virtual token; its feeder runs on a thread of its own."""

    def __init__(self, bench, reader, path):
        self.bench, self.reader, self.path = bench, reader, path
        self.events = queue.Queue()
        self.current = None
        self.station = None
        self.settled = threading.Event()  # a station's end is dealt with: its token is off the reader
        self.hold_next = None  # the next token laid keeps the answer to this APDU back (hold-at)
        self.before_kill = None  # the token's state right before its station was killed

    def state(self):
        return control(self.path, "state")

    def note_seed(self, token, state):
        seed = state.get("seed", "").upper()
        if seed and state.get("serial") == token.serial:
            token.seeds.add(seed)
        return seed

    def lay_new(self, insert=True):
        """The next token of the station's share, or None when it has none."""
        serial = self.bench.next_serial(self.station)
        if serial is None:
            return None
        token = Token(serial, self)
        self.bench.add_token(token)
        control(self.path, "serial " + serial)
        self.current = token
        if insert:
            self.insert(token)
        else:
            token.out, token.out_at = True, time.monotonic()
        return token

    def insert(self, token):
        token.apdus_at_lay = int(self.state()["apdus"])
        if self.hold_next:
            control(self.path, f"hold-at {self.hold_next}")
            token.hold, self.hold_next = self.hold_next, None
        control(self.path, "insert")
        token.out = False
        token.lays += 1
        token.laid_at = time.monotonic()
        if token.lays == 1:
            token.first_laid_at = token.laid_at

    def relay(self, token, why):
        self.bench.count("laid again: " + why)
        control(self.path, "remove")
        time.sleep(RELAY_PAUSE)
        self.insert(token)

    def feed(self):
        while True:
            try:
                event = self.events.get(timeout=0.25)
            except queue.Empty:
                event = None
            token = self.current
            if event is None:
                if (token and not token.done and not token.out and self.station.running()
                        and time.monotonic() - token.laid_at > STALL_SECONDS):
                    self.bench.count(f"stalled: {token.serial} on {self.reader}, station {self.station.name} run "
                                     f"{self.station.generation}")
                    self.relay(token, "no report for a while")
            elif event[0] == "result":
                self.on_result(event[1])
            elif event[0] == "ended":
                # A station burning a count is not started again.
                if self.station.count:
                    return
                self.on_ended(event[1], event[2])
                self.settled.set()
            elif event[0] == "started":
                if token and token.out:
                    # As an operator's hands would: a card laid back at once,
                    # while pcscd still deals with the dead run's handles, may
                    # fail its power-up and stay mute until laid again.
                    time.sleep(max(0.0, token.out_at + RELAY_PAUSE - time.monotonic()))
                    self.insert(token)
            elif event[0] == "quit":
                return
            token = self.current
            if self.bench.stop_feeding.is_set() and (token is None or token.done):
                return

    def on_result(self, report):
        serial, result = report.get("serial", ""), report.get("result", "")
        token = self.bench.tokens.get(serial)
        if token:
            token.results.append((result, report.get("message", "")))
        current = self.current
        if current is None or current.serial != serial or current.done:
            self.bench.count(f"reports of a token no longer laid ({result})")
            return
        state = self.state()
        seed = self.note_seed(current, state)
        if result in ("Succeeded", "Skipped") and seed:
            if result == "Skipped":
                # Its burn was booked before its station died, and not yet reported.
                self.bench.count("reported Skipped, holding its seed")
            current.done = True
            if result == "Succeeded" and current.lays == 1:
                current.burn_apdus = int(state["apdus"]) - current.apdus_at_lay
            self.bench.token_done(current)
            if not self.bench.stop_feeding.is_set():
                self.lay_new()
            return
        if result in ("Succeeded", "Skipped"):
            self.bench.fault(f"{serial} reported {result} on {self.reader} but holds no seed ({report.get('message')})")
        else:
            # A token reported done with is not spoken to again in that lay:
            # if its station goes on with it, taking it off now would cut its
            # burn short. The report is a fault; its next report decides.
            time.sleep(RELAY_PAUSE)
            more = int(self.state()["apdus"]) - int(state["apdus"])
            if more > 0:
                self.bench.fault(f"{serial} on {self.reader} was reported {result} ({report.get('message')}), then "
                                 f"its station went on with it ({more} APDU(s) more)")
                return
            if (result in ("Left", "Failed") and not seed and int(state["apdus"]) - current.apdus_at_lay >= 2
                    and "stays claimed" not in report.get("message", "")):
                # Its authentication began in this lay and the turn ended
                # without a write: the station gave its claim back to the pool.
                current.claim_kept = False
        self.bench.count(f"reported {result}")
        self.relay(current, result)

    def on_ended(self, how, abandon):
        """The station died or was stopped: its token comes off the reader."""
        token = self.current
        if token is None or token.done or token.out:
            return
        state = self.state()
        seed = self.note_seed(token, state)
        before, self.before_kill = self.before_kill, None
        # Its authentication had begun: it was authenticated when its station
        # died (pcscd resets the card of a dead run, so that is read before), or
        # it kept back the answer to an APDU after its read while the pool was
        # up (the first APDU after the claim is the challenge; while it waits
        # for the pool, the station reads it again and again instead).
        waited = f"token {token.serial} waits on the reader" in self.station.last_run_text()
        began = ((before is not None and before.get("serial") == token.serial and before.get("authenticated") == "1")
                 or (token.hold is not None and token.hold >= 2 and not waited
                     and int(state["apdus"]) - token.apdus_at_lay >= token.hold))
        if how in ("killed", "exited") and began:
            token.claim_kept = True
        if abandon and not seed:
            token.abandoned = dict(state, apdus_since_laid=str(int(state["apdus"]) - token.apdus_at_lay),
                                   authentication_begun=str(int(token.claim_kept)))
            self.bench.count("tokens put aside at a kill")
            self.lay_new(insert=False)
            return
        control(self.path, "remove")
        token.out, token.out_at = True, time.monotonic()


class Station:
    """One run of orvex-zerazaduzu-burn after another, under one station name."""

    def __init__(self, bench, name, slots, count=None):
        self.bench, self.name, self.slots, self.count = bench, name, slots, count
        self.remaining = count
        self.proc = None
        self.generation = 0
        self.ending = None          # why we end it: "killed", "stopped"
        self.exits = []             # (how, status, seconds it ran)
        self.export_dir = os.path.join(bench.work, "export-" + name)
        # Named as the burner names a station's journal, so that `status --journal-dir` finds it.
        self.journal = os.path.join(bench.journals, "pool-journal-" + name + ".jsonl")
        self.stderr_path = os.path.join(bench.work, "stderr-" + name + ".txt")
        self.stdout_path = os.path.join(bench.work, "stdout-" + name + ".jsonl")  # its reports, run after run
        self.ended = threading.Event()
        self.started_at = 0.0
        for slot in slots:
            slot.station = self

    def running(self):
        return self.proc is not None and not self.ended.is_set()

    def start(self):
        self.generation += 1
        self.ending = None
        self.ended.clear()
        args = [self.bench.burner, "--pool", self.bench.conninfo, "--pool-key-file", self.bench.key, "--station",
                self.name, "--operator", "pool-bench", "--pool-journal", self.journal, "--export-dir",
                self.export_dir, "--formats", "hex", "--json"]
        for slot in self.slots:
            args += ["--reader", slot.reader]
        if self.count:
            args += ["--count", str(self.count)]
        with open(self.stderr_path, "a") as err:
            err.write(f"--- run {self.generation} ---\n")
            err.flush()
            self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err, text=True)
        self.started_at = time.monotonic()
        self.bench.pid_started(self.proc.pid)
        threading.Thread(target=self._read, args=(self.proc,), daemon=True).start()
        for slot in self.slots:
            slot.events.put(("started",))

    def _read(self, proc):
        log = open(self.stdout_path, "a")
        for line in proc.stdout:
            log.write(line)
            log.flush()
            try:
                report = json.loads(line)
            except ValueError:
                self.bench.fault(f"station {self.name}: not a JSON line: {line.strip()!r}")
                continue
            slot = self.bench.slot_of.get(report.get("reader"))
            if slot is None or slot not in self.slots:
                self.bench.fault(f"station {self.name} reported a reader it was not given: {line.strip()}")
                continue
            slot.events.put(("result", report))
        log.close()
        status = proc.wait()
        self.bench.pid_ended(proc.pid)
        how = self.ending or ("finished" if status == 0 and self.count else "exited")
        self.exits.append((how, status, time.monotonic() - self.started_at))
        self.ended.set()
        for slot in self.slots:
            slot.events.put(("ended", how, self.bench.abandon_at_kill if how == "killed" else False))

    def kill(self):
        self.ending = "killed"
        self.proc.send_signal(signal.SIGKILL)
        self.ended.wait()

    def stop(self, seconds=60):
        """SIGTERM: the burns under way finish and are booked."""
        if not self.running():
            return True
        self.ending = "stopped"
        self.proc.send_signal(signal.SIGTERM)
        if self.ended.wait(seconds):
            return True
        self.bench.fault(f"station {self.name} did not end within {seconds} s of SIGTERM: killed")
        self.proc.send_signal(signal.SIGKILL)
        self.ended.wait()
        return False

    def stderr_tail(self, lines=3):
        with open(self.stderr_path, errors="replace") as f:
            return " | ".join(f.read().splitlines()[-lines:])

    def last_run_text(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read().rsplit("--- run ", 1)[-1]


class Bench:
    def __init__(self, args, readers):
        self.args = args
        self.burner, self.admin_program, self.conninfo, self.key = args.burner, args.admin, args.conninfo, args.key
        self.work = args.work
        self.journals = os.path.join(self.work, "journals")
        os.makedirs(self.journals, exist_ok=True)
        self.slots = [Slot(self, reader, path) for reader, path in readers]
        self.slot_of = {s.reader: s for s in self.slots}
        self.tokens = {}
        self.lock = threading.Lock()
        self.counters = collections.Counter()
        self.faults = []
        self.done = []
        self.done_changed = threading.Condition(self.lock)
        self.stop_feeding = threading.Event()
        self.abandon_at_kill = False
        self.burn_apdus = 10  # a burn's APDUs from its token's laying, until the first burns tell
        self.prefix = "ZZPA"
        self.serial_number = 0
        self.pids = set()
        self.failed_checks = 0

    # Book-keeping shared by the threads.
    def pid_started(self, pid):
        with self.lock:
            self.pids.add(pid)
            self._write_pids()

    def pid_ended(self, pid):
        with self.lock:
            self.pids.discard(pid)
            self._write_pids()

    def _write_pids(self):
        # The shell's trap ends the burners still running when the driver is stopped.
        with open(os.path.join(self.work, "burner-pids"), "w") as f:
            f.write("".join(f"{p}\n" for p in sorted(self.pids)))

    def count(self, what, n=1):
        with self.lock:
            self.counters[what] += n

    def fault(self, text):
        with self.lock:
            self.faults.append(text)
        print("  ! " + text, flush=True)

    def add_token(self, token):
        with self.lock:
            self.tokens[token.serial] = token

    def next_serial(self, station):
        with self.lock:
            if station.remaining is not None:
                if station.remaining <= 0:
                    return None
                station.remaining -= 1
            self.serial_number += 1
            return f"{self.prefix}{self.serial_number:06d}"

    def token_done(self, token):
        token.done_at = time.monotonic() - token.first_laid_at
        with self.done_changed:
            self.done.append(token)
            self.done_changed.notify_all()

    def done_count(self):
        with self.lock:
            return len(self.done)

    def check(self, ok, text):
        print(f"  {'PASS' if ok else 'FAIL'}  {text}", flush=True)
        if not ok:
            self.failed_checks += 1
        return ok

    # The pool's administration program.
    def admin(self, *command, check=True):
        done = subprocess.run([self.admin_program, "--pool", self.conninfo, "--pool-key-file", self.key, *command],
                              capture_output=True, text=True)
        if check and done.returncode != 0:
            raise RuntimeError(f"orvex-zerazaduzu-pool {' '.join(command)}: exit status {done.returncode}: "
                               f"{done.stderr.strip()}")
        return done

    def pool_export(self):
        """serial -> [secret, ...] of every burned row of the pool (hex file)."""
        path = os.path.join(self.work, f"pool-export-{time.monotonic_ns()}.hex.csv")
        self.admin("export", "--format", "hex", "--output", path)
        rows = collections.defaultdict(list)
        lines = read_lines(path)
        for line in lines or []:
            serial, _, secret = line.partition(",")
            rows[serial].append(secret.upper())
        return rows, lines

    def print_status(self):
        """The pool as its administrator sees it now."""
        done = self.admin("status", "--journal-dir", self.journals, check=False)
        print("pool status:")
        for line in (done.stdout + done.stderr).strip().splitlines():
            print("  " + line)

    def start_feeders(self, slots):
        threads = [threading.Thread(target=s.feed, daemon=True) for s in slots]
        for t in threads:
            t.start()
        return threads

    def new_phase(self, prefix):
        self.prefix = prefix
        self.serial_number = 0
        self.stop_feeding.clear()
        with self.lock:
            self.done = []
        for slot in self.slots:
            slot.events = queue.Queue()
            slot.current = None

    # Checks shared by both modes.
    def check_tokens(self, prefix, rows):
        tokens = [t for t in self.tokens.values() if t.serial.startswith(prefix)]
        holding = [t for t in tokens if t.seeds]
        two_seeds = [t.serial for t in tokens if len(t.seeds) > 1]
        owners = collections.defaultdict(list)
        for t in holding:
            for seed in t.seeds:
                owners[seed].append(t.serial)
        shared = {seed: s for seed, s in owners.items() if len(s) > 1}
        ours = {serial: secrets for serial, secrets in rows.items() if serial.startswith(prefix)}
        twice = sorted(serial for serial, secrets in ours.items() if len(secrets) > 1)
        booked = [t for t in holding if len(t.seeds) == 1 and ours.get(t.serial) == list(t.seeds)]
        wrong = sorted(t.serial for t in holding if t not in booked)
        unheld = sorted(serial for serial in ours if serial not in self.tokens or not self.tokens[serial].seeds)
        self.check(not twice, f"serials burned twice in the pool: {len(twice)} {twice[:5]}")
        self.check(not shared and not two_seeds,
                   f"secrets in two tokens: {len(shared)} {list(shared.values())[:3]}; tokens written two "
                   f"different secrets: {len(two_seeds)} {two_seeds[:5]}")
        self.check(not wrong, f"tokens holding a secret, burned in the pool with that secret: {len(booked)} of "
                              f"{len(holding)} (not so: {wrong[:5]})")
        self.check(not unheld, f"burned in the pool but held by no token: {len(unheld)} {unheld[:5]}")
        return tokens, holding


def read_lines(path):
    """A file's CR LF lines, or None when its last line is torn."""
    with open(path, "rb") as f:
        data = f.read()
    if data and not data.endswith(b"\r\n"):
        return None
    return data.decode().split("\r\n")[:-1] if data else []


def local_hex_lines(stations):
    """The lines of every hex file the stations' runs wrote, and the files whose last line is torn."""
    lines, torn = [], []
    for st in stations:
        if not os.path.isdir(st.export_dir):
            continue
        for name in sorted(os.listdir(st.export_dir)):
            if name.endswith(".hex.csv"):
                got = read_lines(os.path.join(st.export_dir, name))
                (torn.append(name) if got is None else lines.extend(got))
    return lines, torn


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else 0


def run_burn(bench, stations):
    """Lays the first tokens, starts the stations and feeds them until each has
    burned its count; seconds from the start to the last exit."""
    slots = [s for st in stations for s in st.slots]
    for slot in slots:
        slot.lay_new()
    feeders = bench.start_feeders(slots)
    start = time.monotonic()
    for st in stations:
        st.start()
    ends = {}
    for st in stations:
        st.ended.wait()
        ends[st.name] = time.monotonic() - start
    elapsed = time.monotonic() - start
    for t in feeders:
        t.join(30)
    return elapsed, ends


def throughput(bench, baseline, tokens):
    print(f"throughput: one station on one reader, {baseline} tokens; then four stations on two readers each, "
          f"{tokens} tokens", flush=True)
    bench.new_phase("ZZPS")
    solo = Station(bench, "solo", bench.slots[:1], count=baseline)
    solo_seconds, _ = run_burn(bench, [solo])
    solo_rate = baseline / (solo_seconds / 60)
    solo_tokens = list(bench.done)
    print(f"  one station, one reader: {baseline} burns in {solo_seconds:.1f} s, {solo_rate:.0f} burns per minute; "
          f"laid to reported: median {median([t.done_at for t in solo_tokens]):.2f} s", flush=True)

    bench.new_phase("ZZPT")
    shares = [tokens // 4 + (1 if i < tokens % 4 else 0) for i in range(4)]
    stations = [Station(bench, f"bench-{i + 1}", bench.slots[2 * i:2 * i + 2], count=shares[i]) for i in range(4)]
    seconds, ends = run_burn(bench, stations)
    rate = tokens / (seconds / 60)
    print(f"  four stations, two readers each: {tokens} burns in {seconds:.1f} s, {rate:.0f} burns per minute; "
          f"laid to reported: median {median([t.done_at for t in bench.done]):.2f} s, longest "
          f"{max([t.done_at for t in bench.done] or [0]):.2f} s", flush=True)
    for st in stations:
        print(f"    {st.name}: {st.count} burns, ended after {ends[st.name]:.1f} s "
              f"({st.count / (ends[st.name] / 60):.0f} per minute)")
    ratio = rate / solo_rate
    print(f"  eight readers / one reader: {ratio:.2f} (target at least 7: {'met' if ratio >= 7 else 'MISSED'})")
    apdus = collections.Counter(t.burn_apdus for t in bench.tokens.values() if t.burn_apdus is not None)
    print(f"  APDUs from laying a token to its report: {dict(apdus)}", flush=True)

    print("checks:")
    everyone = [solo] + stations
    succeeded = collections.Counter()
    other = collections.Counter()
    for t in bench.tokens.values():
        for result, _ in t.results:
            (succeeded if result == "Succeeded" else other)[t.serial if result == "Succeeded" else result] += 1
    bench.check(all([e[:2] for e in st.exits] == [("finished", 0)] for st in everyone),
                "every station burned its count and exited 0: " +
                ", ".join(f"{st.name} {[e[:2] for e in st.exits]}" for st in everyone))
    bench.check(sum(succeeded.values()) == baseline + tokens and not other,
                f"tokens reported Succeeded: {sum(succeeded.values())} of {baseline + tokens}; other reports: "
                f"{dict(other)}")
    reported_twice = [s for s, n in succeeded.items() if n > 1]
    bench.check(not reported_twice, f"serials reported Succeeded twice: {len(reported_twice)} {reported_twice[:5]}")
    rows, pool_lines = bench.pool_export()
    _, holding = bench.check_tokens(("ZZPS", "ZZPT"), rows)
    local, torn = local_hex_lines(everyone)
    ours = sorted(line.upper() for line in pool_lines or [] if line.startswith(("ZZPS", "ZZPT")))
    local_upper = sorted(line.upper() for line in local)
    bench.check(pool_lines is not None and not torn and ours == local_upper and len(set(local_upper)) == len(local_upper),
                f"the pool's export equals the union of the stations' hex files: {len(ours)} lines in the pool, "
                f"{len(local_upper)} in the stations' files ({len(set(local_upper))} distinct; torn files: {torn}); "
                f"only in the pool: {sorted(set(ours) - set(local_upper))[:3]}, only in the files: "
                f"{sorted(set(local_upper) - set(ours))[:3]}")
    return solo_rate, rate


def cost(bench, cycles):
    """pool_cost_bench twice: eight stations each claiming 20 tokens a second
    (twenty times what a reader burns: a token's own cost), then flat out (what
    the database takes, claims per second)."""
    print(f"pool cost: pool_cost_bench, 8 stations x {cycles} tokens, paced and flat out", flush=True)
    journals = os.path.join(bench.work, "cost-journals")
    os.makedirs(journals, exist_ok=True)
    for rate in (20, 0):
        done = subprocess.run([bench.args.cost_bench, bench.conninfo, bench.key, journals, str(cycles), "8", str(rate)],
                              capture_output=True, text=True)
        sys.stdout.write("  " + done.stdout.replace("\n", "\n  ").rstrip() + "\n")
        if done.stderr.strip():
            sys.stdout.write("  " + done.stderr.strip().replace("\n", "\n  ") + "\n")
        bench.check(done.returncode == 0, f"pool_cost_bench: every claim and burn went through (exit status "
                                          f"{done.returncode})")


def wait_for_done(bench, stations, target, deadline):
    """Until `target` tokens are done; stations that ended on their own are
    started again (a station that cannot open the pool while the database is
    down ends with status 2)."""
    while time.monotonic() < deadline:
        supervise(bench, stations)
        with bench.done_changed:
            if len(bench.done) >= target:
                return True
            bench.done_changed.wait(0.1)
    return False


def supervise(bench, stations):
    for st in stations:
        if st.proc is not None and st.ended.is_set() and st.ending != "stopped":
            how, status, seconds = st.exits[-1]
            if how == "exited":
                bench.count(f"station runs that ended by themselves (status {status})")
                if seconds > 5:
                    bench.fault(f"station {st.name} ended by itself after {seconds:.1f} s, status {status}: "
                                f"{st.stderr_tail()}")
                elif status == 2 and bench.counters["first start refusal"] == 0:
                    bench.count("first start refusal")
                    print(f"  (a start refused: {st.stderr_tail(1)})", flush=True)
                time.sleep(1)
            st.start()


def usual_burn_apdus(bench):
    """The APDUs of a burn from its token's laying, as most tokens took them
    (a token that waited for the pool was read more often)."""
    counts = collections.Counter(t.burn_apdus for t in bench.done if t.burn_apdus)
    return counts.most_common(1)[0][0] if counts else bench.burn_apdus


def kill_and_restart(bench, st, abandon):
    """SIGKILL, its tokens off the readers (or put aside), started again."""
    bench.abandon_at_kill = abandon
    for slot in st.slots:
        slot.settled.clear()
        slot.before_kill = slot.state()
    st.kill()
    bench.count("kills")
    for slot in st.slots:
        if not slot.settled.wait(10):
            bench.fault(f"the feeder of {slot.reader} did not take its token off after the kill")
    st.start()


def kill_one(bench, stations, rng, number):
    """SIGKILL one station at a moment chosen by chance: after a random pause,
    or while the station waits for the answer to the K-th APDU of the next
    token laid on one of its readers (the token carries that APDU out and keeps
    its answer back)."""
    up = [st for st in stations if st.running() and time.monotonic() - st.started_at > 1.0]
    if not up:
        return None
    st = rng.choice(up)
    if rng.random() < 0.5:
        time.sleep(rng.uniform(0, 0.8))
        how = "after a random pause"
    else:
        slot = rng.choice(st.slots)
        last = usual_burn_apdus(bench)
        # Its read (no claim yet), its first APDU after the claim, one between,
        # its seed write (the secret on the token, the burn not yet booked).
        k = rng.choice([1, 2, rng.randint(3, max(3, last - 1)), last])
        slot.hold_next = k
        how = f"waiting for the answer to APDU {k} of token "
        end = time.monotonic() + 15
        while time.monotonic() < end:
            token = slot.current
            if token and token.hold == k and not token.out and int(slot.state()["apdus"]) - token.apdus_at_lay >= k:
                how += token.serial
                break
            time.sleep(0.005)
        else:
            slot.hold_next = None
            how += "(none came in 15 s: killed then)"
    abandon = number % 2 == 1
    kill_and_restart(bench, st, abandon)
    print(f"  kill {bench.counters['kills']}: station {st.name} {how}"
          f"{'; its tokens without a seed are put aside' if abandon else ''}", flush=True)
    return st


def restart_database(bench, stations, rng, number, kill_station):
    """Stops the database server for a few seconds while a burn is under way:
    a token on a reader of a station chosen at random keeps back its answer to
    an APDU after the claim (K at random, from the challenge to the seed
    write), the server stops, the answer goes out, and the burn ends while the
    pool cannot be reached: its booking goes to the station's journal."""
    up = [st for st in stations if st.running()]
    slot = rng.choice(rng.choice(up).slots) if up else None
    how = "no burn under way"
    if slot:
        k = rng.randint(2, usual_burn_apdus(bench))
        slot.hold_next = k
        end = time.monotonic() + 15
        while time.monotonic() < end:
            token = slot.current
            if token and token.hold == k and not token.out and int(slot.state()["apdus"]) - token.apdus_at_lay >= k:
                how = f"token {token.serial} waiting for the answer to APDU {k}"
                break
            time.sleep(0.005)
        else:
            slot.hold_next = None
            slot = None
    pause = rng.uniform(1.5, 3.0)
    t0 = time.monotonic()
    subprocess.run(["bash", bench.args.pg_cluster, "stop-server", bench.args.pg_dir], check=True,
                   stdout=subprocess.DEVNULL)
    held = None
    if slot:
        held = slot.current
        try:
            control(slot.path, "release")
        except RuntimeError as e:  # the token was taken off meanwhile
            how += f" (not released: {e})"
    if kill_station:
        # The station dies with the booking in its journal alone; it cannot
        # start again before the database is back, and then replays it.
        if held:
            end = time.monotonic() + 10
            while not held.done and time.monotonic() < end:
                time.sleep(0.01)
            st = slot.station
        else:
            st = rng.choice([st for st in stations if st.running()] or stations)
        kill_and_restart(bench, st, abandon=False)
        bench.count("kills while the database was down")
        how += (f"; kill {bench.counters['kills']}: station {st.name} killed"
                + (f" after its report of {held.serial} ({held.results[-1][0] if held.results else 'none'})"
                   if held else "") + ", started again")
    time.sleep(pause)
    subprocess.run(["bash", bench.args.pg_cluster, "start-server", bench.args.pg_dir], check=True,
                   stdout=subprocess.DEVNULL)
    bench.count("database restarts")
    print(f"  database restart {number + 1}: down for {time.monotonic() - t0:.1f} s; {how}", flush=True)


def chaos(bench, tokens, seed):
    rng = random.Random(seed)
    print(f"chaos: four stations on two readers each, {tokens} tokens; 10 kills (SIGKILL), 2 database restarts; "
          f"random seed {seed}", flush=True)
    bench.new_phase("ZZPX")
    stations = [Station(bench, f"chaos-{i + 1}", bench.slots[2 * i:2 * i + 2]) for i in range(4)]
    slots = bench.slots
    for slot in slots:
        slot.lay_new()
    feeders = bench.start_feeders(slots)
    start = time.monotonic()
    for st in stations:
        st.start()
    # The tenth kill is in the second database restart, while the database is down.
    plan = [(rng.uniform(0.05, 0.92) * tokens, "kill") for _ in range(9)]
    plan += [(rng.uniform(0.2, 0.4) * tokens, "database"), (rng.uniform(0.55, 0.75) * tokens, "database")]
    plan.sort()
    kills = restarts = 0
    deadline = start + 60 + tokens * 3
    for threshold, what in plan:
        if not wait_for_done(bench, stations, int(threshold), deadline):
            break
        if what == "kill":
            if kill_one(bench, stations, rng, kills):
                kills += 1
        else:
            restart_database(bench, stations, rng, restarts, kill_station=restarts == 1)
            restarts += 1
    reached = wait_for_done(bench, stations, tokens, deadline)
    bench.stop_feeding.set()
    for slot in slots:
        slot.events.put(("wake",))
    # The tokens under way are finished (laid again as needed) before the end.
    finish_by = time.monotonic() + 120
    while any(t.is_alive() for t in feeders) and time.monotonic() < finish_by:
        supervise(bench, stations)
        time.sleep(0.1)
    unfinished = [s.current.serial for s in slots if s.current and not s.current.done]
    for slot in slots:
        slot.events.put(("quit",))
    elapsed = time.monotonic() - start
    for st in stations:
        st.stop()
    done = bench.done_count()
    kills = bench.counters["kills"]
    print(f"  {done} tokens burned in {elapsed:.1f} s ({done / (elapsed / 60):.0f} per minute) with {kills} kills "
          f"and {restarts} database restarts", flush=True)
    # What the stations left in their journals reaches the pool with their next run.
    waiting = [st for st in stations if "in the station's journal, not yet in the seed pool" in st.last_run_text()]
    for st in waiting:
        print(f"  station {st.name} ended with bookings in its journal: run again to replay them", flush=True)
        st.start()
        time.sleep(3)
        st.stop()
    for slot in slots:
        if slot.current:
            slot.note_seed(slot.current, slot.state())

    texts = [open(st.stderr_path, errors="replace").read() for st in stations]
    journaled = sum(t.count("burn is in the station's journal") for t in texts)
    replayed = sum(int(n) for t in texts for n in re.findall(r"(\d+) journal entr(?:y|ies) replayed", t))
    print("  " + "; ".join(f"{what}: {n}" for what, n in sorted(bench.counters.items())
                            if what != "first start refusal"))
    print(f"  burns booked in a station's journal while the database was down: {journaled}; journal entries "
          f"replayed: {replayed}")
    print("checks:")
    bench.check(reached and not unfinished, f"{tokens} tokens burned and none left unfinished at the end "
                                            f"(done {done}; unfinished {unfinished})")
    bench.check(kills == 10 and restarts == 2, f"kills: {kills} of 10, database restarts: {restarts} of 2")
    bench.check(all(st.exits and st.exits[-1][:2] in (("stopped", 0), ("stopped", 1)) for st in stations),
                "every station's last run ended on SIGTERM: " +
                ", ".join(f"{st.name} {st.exits[-1][:2] if st.exits else None}" for st in stations))
    rows, pool_lines = bench.pool_export()
    tokens_of_run, holding = bench.check_tokens("ZZPX", rows)
    # A run killed between a token's export line and its booking writes the
    # line again when its next run finishes the burn: the same line twice.
    local, torn = local_hex_lines(stations)
    ours = {line.upper() for line in pool_lines or [] if line.startswith("ZZPX")}
    mine = {line.upper() for line in local}
    bench.check(pool_lines is not None and ours == mine,
                f"the pool's export equals the union of the stations' hex files: {len(ours)} lines in the pool, "
                f"{len(mine)} distinct in the stations' files ({len(local) - len(mine)} written twice; torn files: "
                f"{torn}); only in the pool: {sorted(ours - mine)[:3]}, only in the files: {sorted(mine - ours)[:3]}")
    abandoned = [t for t in tokens_of_run if t.abandoned is not None]
    begun = sorted(t.serial for t in abandoned if t.claim_kept)
    listing = bench.admin("reconcile").stdout
    listed = sorted(set(s for s in SERIAL_PATTERN.findall(listing) if s.startswith("ZZPX")))
    aside = {t.serial for t in abandoned}
    print(f"  tokens put aside: {len(abandoned)} ({len(begun)} whose authentication had begun); reconcile lists "
          f"{len(listed)}: {listed}")
    for t in abandoned:
        a = t.abandoned
        print(f"    {t.serial} on {t.slot.reader}: apdus since laid {a['apdus_since_laid']}, authentication begun "
              f"{a['authentication_begun']}, tries left {a.get('tries_left')}, seed '{a.get('seed')}'")
    bench.check(set(listed) <= aside, f"every serial reconcile lists was put aside: "
                                      f"{sorted(set(listed) - aside) or 'yes'}")
    bench.check(set(begun) <= set(listed), f"every token put aside after its authentication had begun is listed: "
                                           f"{sorted(set(begun) - set(listed)) or 'yes'}")
    for st in stations:
        bench.check(not [1 for how, status, seconds in st.exits if how == "exited" and seconds > 5],
                    f"station {st.name} never ended by itself while running: runs {len(st.exits)}, ends "
                    f"{collections.Counter((how, status) for how, status, _ in st.exits)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["throughput", "chaos", "cost", "all"])
    for name in ("burner", "admin", "cost_bench", "conninfo", "key", "work", "pg_cluster", "pg_dir"):
        parser.add_argument("--" + name.replace("_", "-"), required=True)
    parser.add_argument("--tokens", type=int, default=0)
    parser.add_argument("--baseline", type=int, default=100)
    parser.add_argument("--cycles", type=int, default=300)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("readers", nargs=8)
    args = parser.parse_args()
    readers = [tuple(r.split("=", 1)) for r in args.readers]
    bench = Bench(args, readers)
    if args.mode in ("throughput", "all"):
        throughput(bench, args.baseline, args.tokens or 800)
    if args.mode in ("throughput", "cost", "all"):
        cost(bench, args.cycles)
    if args.mode in ("chaos", "all"):
        chaos(bench, args.tokens if args.mode == "chaos" and args.tokens else 400, args.seed)
    bench.print_status()
    bench.check(not bench.faults, f"nothing unexpected on the way: {len(bench.faults)} fault(s)")
    for f in bench.faults[:20]:
        print("    " + f)
    print("pool bench: all checks held" if bench.failed_checks == 0 else
          f"pool bench: {bench.failed_checks} CHECK(S) FAILED")
    return 0 if bench.failed_checks == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
