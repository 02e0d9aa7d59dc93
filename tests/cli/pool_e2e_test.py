#!/usr/bin/env python3
"""End-to-end tests of the burner on the shared seed pool: real burner
processes as stations over an isolated pcscd with four virtual tokens
(four_readers.sh), and a temporary PostgreSQL cluster (pg-cluster.sh) that
the tests stop and start. The admin program sets the pool up and reads it
back; the virtual tokens say what each holds.

  pool_e2e_test.py BURNER STACK_DIR PCSC_STACK_SCRIPT ADMIN PG_CLUSTER_SCRIPT PG_DIR
"""
import os, secrets, signal, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import burn_e2e_test as e2e  # noqa: E402  (reads the first three arguments)
from burn_e2e_test import Burner, check, control, lay, seed_of, wait_for, write_seed_file  # noqa: E402

ADMIN, PG_SCRIPT, PG_DIR = sys.argv[4:7]
UPN = "pool@example.com"


class Station(Burner):
    """A burner whose standard error is read as it comes, for the notes."""

    def __init__(self, *args):
        super().__init__(*args)
        self._err = []
        self._err_reader = threading.Thread(target=lambda: self._err.extend(iter(self.proc.stderr.readline, "")))
        self._err_reader.start()

    def stderr_so_far(self):
        return "".join(list(self._err))

    def finish(self, seconds=60):
        try:
            status = self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = None
        self.reader.join()
        self._err_reader.join()
        self.stderr = self.stderr_so_far()
        return status


def conninfo():
    return open(os.path.join(PG_DIR, "conninfo")).read().strip()


class Pool:
    def __init__(self, work):
        self.work = work
        self.key = os.path.join(work, "pool.key")
        self.journals = os.path.join(work, "journals")

    def admin(self, *args, key=None):
        # Not text mode: the export's CR LF line ends are part of what is checked.
        run = subprocess.run([ADMIN, "--pool", conninfo(), "--pool-key-file", key or self.key, *args],
                             capture_output=True, timeout=120)
        return subprocess.CompletedProcess(run.args, run.returncode, run.stdout.decode(), run.stderr.decode())

    def station(self, name, *readers, extra=()):
        """A burner as station NAME on these readers (letters of burn_e2e_test's)."""
        args = ["--pool", conninfo(), "--pool-key-file", self.key, "--station", name,
                "--pool-journal", os.path.join(self.journals, name + ".jsonl"), *extra]
        for r in readers:
            args += ["--reader", e2e.READERS[r][0]]
        return Station(*args)

    def exported(self, fmt="hex"):
        """The export's lines (CR LF ends), the Azure header left out."""
        run = self.admin("export", "--format", fmt)
        check(run.returncode == 0, f"export --format {fmt} ({run.stderr[-300:]})")
        lines = run.stdout.split("\r\n")[:-1] if run.stdout else []
        return [l for l in lines if l != e2e.AZURE_HEADER]

    def burned(self):
        return {l.split(",")[0]: l.split(",")[1].upper() for l in self.exported("hex")}

    def reconcile(self):
        run = self.admin("reconcile")
        check(run.returncode == 0, f"reconcile ({run.stderr[-300:]})")
        return run.stdout


def pg(command):
    subprocess.run(["bash", PG_SCRIPT, command, PG_DIR], check=True, stdout=subprocess.DEVNULL)


def stop(burner):
    burner.proc.send_signal(signal.SIGINT)
    return burner.finish()


def kill(burner):
    burner.proc.kill()
    return burner.finish()


def apdus_of_a_burn():
    """The APDUs from laying a token to its seed write, the last of a burn: a
    seed-file burn on reader A counts them."""
    work = tempfile.mkdtemp(prefix="zz-pool-count.")
    seeds = write_seed_file(work, "one.csv", {"ZZPOOLCNT": e2e.secret_for(7)})
    control("A", "serial ZZPOOLCNT")
    before = int(control("A", "state")["apdus"])
    burner = Burner("--seed-file", seeds, "--reader", e2e.READERS["A"][0], "--no-export")
    control("A", "insert")
    burner.finish(60)
    return int(control("A", "state")["apdus"]) - before


def local_exports(directory):
    """Each format's lines of one station's export set."""
    lines = {}
    for name in os.listdir(directory):
        fmt = name.rsplit(".", 2)[-2]
        data = open(os.path.join(directory, name), "rb").read().decode()
        lines[fmt] = [l for l in data.split("\r\n")[:-1] if l != e2e.AZURE_HEADER]
    return lines


def test_wrong_key_refused(pool):
    wrong = os.path.join(pool.work, "wrong.key")
    with open(wrong, "w") as f:
        f.write(secrets.token_hex(32) + "\n")
    os.chmod(wrong, 0o600)
    control("A", "serial ZZPOOLWRONG")
    control("A", "insert")
    before = control("A", "state")
    burner = Burner("--pool", conninfo(), "--pool-key-file", wrong, "--station", "wrong-key",
                    "--reader", e2e.READERS["A"][0])
    status = burner.finish(30)
    check(status == 2 and "key" in burner.stderr, f"wrong key: exit status 2 with the reason "
                                                  f"(got {status}: {burner.stderr[-300:]!r})")
    after = control("A", "state")
    check(after["apdus"] == before["apdus"] and after["seed"] == "", "wrong key: nothing was sent to the token")
    check("ZZPOOLWRONG" not in pool.reconcile() and "ZZPOOLWRONG" not in pool.burned(), "wrong key: nothing claimed")
    check(pool.admin("export", "--format", "hex", key=wrong).returncode != 0, "wrong key: the admin refuses it too")


def test_two_stations_share_the_pool(pool):
    serials = [f"ZZPOOL2S{i:03d}" for i in range(24)]
    outs = {name: os.path.join(pool.work, "local-" + name) for name in ("north", "south")}
    formats = ("--formats", "hex,b32,azure,oath", "--upn", UPN)
    feeder = e2e.Feeder("ABCD", serials)
    north = pool.station("north", "A", "B", extra=("--export-dir", outs["north"], *formats))
    south = pool.station("south", "C", "D", extra=("--export-dir", outs["south"], *formats))
    both = lambda: north.lines(result="Succeeded") + south.lines(result="Succeeded")  # noqa: E731
    check(wait_for(lambda: len(both()) == len(serials), 120), f"two stations: all burned ({len(both())})")
    feeder.finish()
    statuses = (stop(north), stop(south))
    check(statuses == (0, 0), f"two stations: exit status 0 each (got {statuses}; {south.stderr[-300:]})")
    booked = [t["serial"] for t in both()]
    check(sorted(booked) == sorted(serials), "two stations: each token burned once, by one station")
    check(north.lines(result="Succeeded") and south.lines(result="Succeeded"), "two stations: both burned")
    held = {s: feeder.held.get(s) for s in serials}
    check(len(set(held.values())) == len(serials) and None not in held.values(),
          "two stations: no secret in two tokens")
    burned = pool.burned()
    check(all(burned.get(s) == held[s] for s in serials),
          "two stations: every token is burned in the pool with the secret it holds")
    # One export for the bench: the union of the stations' own sets.
    local = [local_exports(d) for d in outs.values()]
    for fmt in ("hex", "b32", "azure", "oath"):
        union = sorted(local[0].get(fmt, []) + local[1].get(fmt, []))
        got = sorted(l for l in pool.exported(fmt) if l.split(",")[1 if fmt == "azure" else 0] in serials)
        check(got == union, f"two stations: the pool's {fmt} export is the union of the local ones "
                            f"({len(got)} and {len(union)} lines; {sorted(set(got) ^ set(union))[:2]})")


def test_station_killed_mid_burn(pool, burn_apdus):
    # At the APDU before the seed write (claimed, authenticated, nothing
    # written) and at the seed write itself (the token holds the secret, the
    # pool does not know): station east is killed; station west, on the same
    # reader, finishes each token with its claim's secret.
    for serial, at, holds in (("ZZPOOLKBW", burn_apdus - 1, False), ("ZZPOOLKAW", burn_apdus, True)):
        control("D", "serial " + serial)
        control("D", f"hold-at {at}")
        east = pool.station("east", "D")
        time.sleep(0.3)
        control("D", "insert")
        check(wait_for(lambda: control("D", "state").get("held") == "1", 30), f"{serial}: the answer is held")
        kill(east)
        state = control("D", "state")
        check(bool(state["seed"]) == holds, f"{serial}: the token {'holds' if holds else 'lacks'} the secret")
        control("D", "release")
        listed = pool.reconcile()
        check(serial in listed and "east" in listed, f"{serial}: reconcile lists east's claim ({listed!r})")
        west = pool.station("west", "D")
        time.sleep(0.3)
        control("D", "remove")
        control("D", "insert")
        check(wait_for(lambda: west.lines(serial=serial, result="Succeeded"), 30), f"{serial}: west finishes it")
        stop(west)
        check("station east" in west.stderr, f"{serial}: west says whose claim it took over")
        final = control("D", "state")["seed"].upper()
        if holds:
            check(final == state["seed"].upper(), f"{serial}: the same secret is written again")
        check(pool.burned().get(serial) == final, f"{serial}: burned in the pool with the secret it holds")
        check(serial not in pool.reconcile(), f"{serial}: no claim left")


def test_database_stopped_mid_run(pool, burn_apdus):
    control("D", "serial ZZPOOLJRN1")
    control("D", f"hold-at {burn_apdus - 1}")
    station = pool.station("journal", "D")
    time.sleep(0.3)
    control("D", "insert")
    check(wait_for(lambda: control("D", "state").get("held") == "1", 30), "journal: claimed, before the seed write")
    pg("stop-server")
    try:
        control("D", "release")
        check(wait_for(lambda: station.lines(serial="ZZPOOLJRN1"), 30), "journal: the burn under way finishes")
        check([t["result"] for t in station.lines(serial="ZZPOOLJRN1")] == ["Succeeded"],
              f"journal: a success ({station.lines(serial='ZZPOOLJRN1')})")
        journal = os.path.join(pool.journals, "journal.jsonl")
        check(os.path.exists(journal) and "ZZPOOLJRN1" in open(journal).read(), "journal: the booking is in it")
        # A token laid while the pool is away waits on its reader, untouched,
        # and is burned once the pool is back, without being laid again.
        lay("D", "ZZPOOLJRN2")
        check(wait_for(lambda: "token ZZPOOLJRN2 waits on the reader" in station.stderr_so_far(), 30),
              "journal: a token laid while the pool is away is said to wait")
        time.sleep(1.5)
        untouched = control("D", "state")
        check(not station.lines(serial="ZZPOOLJRN2"), "journal: it gets no line while it waits")
        check(untouched["seed"] == "" and untouched["tries_left"] == "5" and untouched["authenticated"] == "0",
              f"journal: nothing was sent to the token but its reads ({untouched})")
    finally:
        pg("start-server")
    check(wait_for(lambda: station.lines(serial="ZZPOOLJRN2", result="Succeeded"), 30),
          "journal: once the pool is back, the waiting token is burned")
    status = stop(station)
    check(status == 0, f"journal: exit status 0 (got {status}; {station.stderr[-300:]!r})")
    check("the pool is back: 1 journal entry replayed" in station.stderr, "journal: the replay is said")
    burned = pool.burned()
    check("ZZPOOLJRN1" in burned and "ZZPOOLJRN2" in burned, "journal: both are burned in the pool")
    check(burned.get("ZZPOOLJRN2") == control("D", "state")["seed"].upper(), "journal: with the secret held")
    check(not os.path.exists(journal) or "ZZPOOLJRN1" not in open(journal).read(), "journal: replayed and emptied")


def main():
    work = tempfile.mkdtemp(prefix="zz-pool-e2e.")
    pool = Pool(work)
    started = time.monotonic()
    init = pool.admin("init")
    if not check(init.returncode == 0, f"init ({init.stderr})"):
        return 1
    generate = pool.admin("generate", "--count", "200", "--bytes", "20")
    check(generate.returncode == 0, f"generate ({generate.stderr})")
    burn_apdus = apdus_of_a_burn()
    if not os.environ.get("ZZ_ONLY_JOURNAL"):
        test_wrong_key_refused(pool)
        test_two_stations_share_the_pool(pool)
        test_station_killed_mid_burn(pool, burn_apdus)
    test_database_stopped_mid_run(pool, burn_apdus)
    print(f"{len(e2e.failures)} failure(s) in {time.monotonic() - started:.1f} s")
    return 1 if e2e.failures else 0


if __name__ == "__main__":
    sys.exit(main())
