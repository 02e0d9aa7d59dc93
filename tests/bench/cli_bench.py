#!/usr/bin/env python3
"""Throughput of orvex-zerazaduzu-burn on 1, 2 and 4 readers of an isolated
PC/SC stack (cli_bench.sh sets it up): BURNS tokens from a seed file of
SEED_LINES lines on each reader count. A feeder per reader lays another token
(the control socket's `serial`, then `insert`) as soon as the one in the
field holds its seed. Prints burns per minute, the program's resident memory
at the first burn, half-way and at the end, and checks every export line
against what each token holds.

  cli_bench.py PROGRAM STACK_DIR BURNS SEED_LINES READERS...
  (READERS: NAME=CONTROL_SOCKET pairs; runs on the first 1, 2 and 4)
"""
import base64, os, random, socket, subprocess, sys, tempfile, threading, time


def control(path, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall((command + "\n").encode())
        reply = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    values = {}
    for line in reply.decode().splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values[key] = value
    return values


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def run(program, work, burns, lines, serials, readers, tag):
    out_dir = os.path.join(work, f"export-{tag}")
    args = [program, "--seed-file", os.path.join(work, "seeds.csv"), "--count", str(burns), "--export-dir",
            out_dir, "--upn", "bench@example.com", "--json"]
    for name, _ in readers:
        args += ["--reader", name]
    # ZZ_BENCH_PSKC_KEY_FILE adds the PSKC export file, written under that key.
    if os.environ.get("ZZ_BENCH_PSKC_KEY_FILE"):
        args += ["--pskc-key-file", os.environ["ZZ_BENCH_PSKC_KEY_FILE"]]
    # The readers take the next serial number from one queue, each as fast as it burns.
    queue = list(serials)
    held = {}
    lock = threading.Lock()
    burned = [0]
    stop = threading.Event()
    resident = []
    laid_at = {}
    latencies = []

    def lay(control_path, serial):
        control(control_path, "serial " + serial)
        control(control_path, "insert")
        laid_at[serial] = time.monotonic()

    for name, path in readers:
        lay(path, queue.pop(0))
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=open(os.path.join(work, f"stderr-{tag}.txt"), "w"), text=True)

    def feed(path):
        while not stop.is_set():
            state = control(path, "state")
            if state.get("seed"):
                with lock:
                    held[state["serial"]] = state["seed"].upper()
                    if state["serial"] in laid_at:
                        latencies.append(time.monotonic() - laid_at[state["serial"]])
                    burned[0] += 1
                    n = burned[0]
                    following = queue.pop(0) if queue and n < burns else None
                if n == 1 or n == burns // 2 or n == burns:
                    resident.append(resident_kib(proc.pid))
                if following is None:
                    return
                lay(path, following)
            else:
                time.sleep(0.005)

    feeders = [threading.Thread(target=feed, args=(path,)) for _, path in readers]
    for f in feeders:
        f.start()
    results = [line for line in proc.stdout]
    status = proc.wait()
    elapsed = time.monotonic() - start
    stop.set()
    for f in feeders:
        f.join()
    return status, elapsed, results, held, resident, out_dir, sorted(latencies)


def file_lines(out_dir, ending):
    names = [n for n in os.listdir(out_dir) if n.endswith(ending)]
    if len(names) != 1:
        return None
    with open(os.path.join(out_dir, names[0]), "rb") as f:
        data = f.read()
    if not data.endswith(b"\r\n"):
        return None  # a torn last line
    return data.decode().split("\r\n")[:-1]


def main():
    program, stack, burns, lines = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    readers = [tuple(r.split("=", 1)) for r in sys.argv[5:]]
    work = tempfile.mkdtemp(prefix="zz-cli-bench.")
    rng = random.Random(20240305)
    secrets = {}
    with open(os.path.join(work, "seeds.csv"), "w") as f:
        for i in range(lines):
            serial = "ZZC%07d" % i
            seed = bytes(rng.getrandbits(8) for _ in range(20))
            secrets[serial] = seed
            f.write(serial + "," + base64.b32encode(seed).decode() + "\r\n")
    # The serials of this benchmark, spread over the file.
    serial_list = ["ZZC%07d" % (i * (lines // (4 * burns))) for i in range(4 * burns)]
    figures = {}
    longest = {}
    ok = True
    offset = 0
    for count in [int(c) for c in os.environ.get("ZZ_BENCH_READERS", "1 2 4").split()]:
        if count > len(readers):
            break
        chosen = serial_list[offset:offset + burns + 8 * count]
        offset += burns + 8 * count
        status, elapsed, results, held, resident, out_dir, latencies = run(program, work, burns, lines, chosen,
                                                               readers[:count], str(count))
        per_minute = burns / (elapsed / 60)
        figures[count] = per_minute
        expected_hex, expected_b32, expected_azure = set(), set(), set()
        holding = 0
        for serial, seed_hex in held.items():
            seed = secrets[serial]
            holding += seed_hex == seed.hex().upper()
            b32 = base64.b32encode(seed).decode()
            expected_hex.add(f"{serial},{seed.hex().upper()}")
            expected_b32.add(f"{serial},{b32}")
            expected_azure.add(f"bench@example.com,{serial},{b32.rstrip('=')},30,Halcy Vuzuvaro,Orvex")
        exact = {}
        for ending, expected in ((".hex.csv", expected_hex), (".b32.csv", expected_b32),
                                 (".azure.csv", expected_azure)):
            got = file_lines(out_dir, ending)
            if got is not None and ending == ".azure.csv":
                got = got[1:] if got and got[0].startswith("upn,") else None
            exact[ending] = sum(1 for line in (got or []) if line in expected) if got and len(got) == len(
                set(got)) == len(expected) else -1
        growth = resident[-1] - resident[0] if len(resident) >= 2 else -1
        succeeded = sum(1 for r in results if '"result":"Succeeded"' in r)
        print(f"{count} reader(s): {burns} burns in {elapsed:.1f} s, {per_minute:.0f} burns per minute; "
              f"exit status {status}, {succeeded} reported Succeeded")
        failed = sum(1 for r in results if '"result":"Failed"' in r or '"result":"Unknown"' in r)
        if latencies:
            longest[count] = latencies[-1]
            print(f"  laid to burned: median {latencies[len(latencies) // 2]:.2f} s, longest {latencies[-1]:.2f} s; "
                  f"{failed} token(s) reported Failed or Unknown")
        print(f"  resident memory (VmRSS): {' / '.join(str(r) for r in resident)} KiB at first, half-way and "
              f"last burn; growth {growth} KiB (limit 5120)")
        print(f"  tokens holding their line's seed: {holding} of {len(held)}; exact export lines: "
              f"hex {exact['.hex.csv']}, Base32 {exact['.b32.csv']}, Azure {exact['.azure.csv']} of {len(held)}")
        run_ok = (status == 0 and succeeded == burns and len(held) >= burns and holding == len(held)
                  and all(v == len(held) for v in exact.values()) and 0 <= growth < 5120)
        ok = ok and run_ok
    if 1 in figures and 4 in figures:
        print(f"4 readers / 1 reader: {figures[4] / figures[1]:.2f} (target at least 3.8); longest laid to burned, "
              f"4 readers / 1 reader: {longest.get(4, 0) / max(longest.get(1, 1), 1e-9):.2f} (target at most 1.2)")
    print("cli bench: all checks held" if ok else "cli bench: CHECKS FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
