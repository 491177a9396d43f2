"""The soak run: the example strategy against tolbu-sim with random faults, then the books.

Run through scripts/soak. Everything the run saw goes to OUT/: the example's logs and output,
the sim's output, and soak.json with the counts and the memory curve.
"""

import argparse
import collections
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

TOKEN = "soak-token"
ACCOUNT = "SIM0001"
SYMBOL = "VN30F2412"
# Faults start after the first tenth; memory is measured from the end of the warm-up, once
# the faults have taken the queues to their high-water marks.
FAULTS_FROM_SHARE = 0.1
WARM_UP_SHARE = 0.4
QUIET_TAIL_S = 8
MEMORY_LIMIT_KB = 5 * 1024
MEMORY_WINDOW_S = 12  # a little over the kit's 10 s between trims

# ERROR lines that a fault explains, with the faults that do; an empty list: a race that a
# live market has too (a cancel crossing the fill it came too late for).
EXPLAINED_ERRORS = [
    (re.compile(r"API Error: HTTP 5\d\d|Order refused \(status 5\d\d\)"), ["rest_5xx"]),
    (re.compile(r"may have reached the server|closed the connection|end of stream"),
     ["rest_drop"]),
    (re.compile(r"Reconciliation from REST failed|Order \S+ refused|Order \S+ not sent|"
                r"Order on \S+ refused: An order's outcome is unknown|Cancel of \S+ failed"),
     ["rest_5xx", "rest_drop"]),
    (re.compile(r"Stream error"), ["ws_drop", "restart", "stall"]),
    (re.compile(r"is FILLED and cannot be cancelled"), []),
]


def http(method, url, body=None, token=None, timeout=10):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    if token:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status, json.loads(answer.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, None


def read_line(proc, prefix, timeout):
    """The rest of the first stdout line starting with prefix (the process's output is a file)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(proc.out_path) as f:
            for line in f:
                if line.startswith(prefix):
                    return line[len(prefix):].strip()
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    raise RuntimeError(f"no '{prefix}' line from {proc.args[0]}; see {proc.out_path}")


def start(args, out_path, cwd=None):
    out = open(out_path, "w")
    proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, cwd=cwd)
    proc.out_path = out_path
    return proc


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


class Run:
    def __init__(self, opts):
        self.opts = opts
        self.rng = random.Random(opts.seed)
        self.faults = collections.Counter()
        self.failures = []
        self.memory = []  # (seconds since start, kB)
        self.fds = []

    def fail(self, message):
        print("soak: FAILED: " + message, file=sys.stderr)
        self.failures.append(message)

    # --- the faults -------------------------------------------------------------------
    def inject(self, kind=None):
        sim, example = self.sim_url, self.example
        kind = kind or self.rng.choice(
            ["ws_drop", "ws_drop", "restart", "rest_5xx", "rest_drop", "burst", "stall"])
        if kind == "ws_drop":
            http("POST", sim + "/_sim/streaming/drop", {"code": 3001, "reason": "shutdown"})
        elif kind == "restart":
            http("POST", sim + "/_sim/streaming/restart", {})
        elif kind == "rest_5xx":
            http("POST", sim + "/_sim/faults",
                 {"count": 2, "status": 503, "path_prefix": "/api/v1/orders"})
        elif kind == "rest_drop":
            # Closed without an answer, before the back end acts or after: the strategy must
            # find out which, and never send the order twice.
            http("POST", sim + "/_sim/faults",
                 {"count": 1, "drop": True, "act": self.rng.random() < 0.5,
                  "path_prefix": "/api/v1/orders"})
        elif kind == "burst":
            self.burst(1.0)
        elif kind == "stall":
            # Callbacks far slower than the feed: the process stops for a while, the server's
            # backlog limit cuts it off, and it comes back to recover what it missed.
            example.send_signal(signal.SIGSTOP)
            try:
                self.burst(0.25)
                time.sleep(2.0)
            finally:
                example.send_signal(signal.SIGCONT)
        self.faults[kind] += 1

    def burst(self, seconds):
        # Depth of another symbol on the strategy's own depth channel: read, then ignored.
        depth = {"symbol": "BURST", "time": 0,
                 "bidPriceDepth": [{"price": 1.0, "qty": 1.0}],
                 "askPriceDepth": [{"price": 1.1, "qty": 1.0}]}
        http("POST", self.sim_url + "/_sim/streaming/series",
             {"channel": f"market:Depth:{SYMBOL}", "count": int(20000 * seconds),
              "rate": 20000, "data": depth})

    # --- the run ----------------------------------------------------------------------
    def run(self):
        opts = self.opts
        shutil.rmtree(opts.out, ignore_errors=True)
        work = os.path.join(opts.out, "example")
        os.makedirs(work)
        self.sim = start([opts.sim, "--port", "0", "--speed", "600", "--tick-ms", "20",
                          "--seed", str(opts.seed), "--jwt", TOKEN, "--history-size", "100000",
                          "--client-backlog", "65536"]
                         + (["--server-sub", f"order:OrderExecutionReport:{ACCOUNT}"]
                            if opts.server_side_reports else []),
                         os.path.join(opts.out, "sim.out"))
        try:
            port = read_line(self.sim, "tolbu-sim listening on 127.0.0.1:", 20)
            self.sim_url = "http://127.0.0.1:" + port
            total_s = opts.minutes * 60
            # The token from the environment: never in the process list.
            os.environ["TOLBU_JWT"] = TOKEN
            self.example = start(
                [os.path.abspath(opts.example), "--backend", self.sim_url,
                 "--symbol", SYMBOL, "--account", ACCOUNT, "--control-port", "0",
                 "--duration", str(int(total_s + 120)), "--log-level", "DEBUG"],
                os.path.join(opts.out, "example.out"), cwd=work)
            try:
                control = read_line(self.example, "control API on 127.0.0.1:", 60)
                self.control_url = "http://127.0.0.1:" + control
                self.drive(total_s)
                self.check_books()
                # What the strategy must have seen: the reports of its closing orders on the
                # way out come after it stopped listening.
                self.sent_while_running = self.execution_reports()
                http("POST", self.control_url + "/stop", {})
                if self.example.wait(60) != 0:
                    self.fail(f"the example exited with {self.example.returncode}")
            finally:
                if self.example.poll() is None:
                    self.example.kill()
                    self.example.wait()
            self.check_stream(work)
            self.check_errors(work)
            self.check_resources()
            self.check_flat()
            _, self.stats = http("GET", self.sim_url + "/_sim/streaming/stats")
        finally:
            self.sim.terminate()
            self.sim.wait(10)
        self.summary()
        return 0 if not self.failures else 1

    def drive(self, total_s):
        started = time.monotonic()
        warm_up = max(30.0, total_s * WARM_UP_SHARE)
        next_fault = started + max(5.0, total_s * FAULTS_FROM_SHARE)
        next_sample = started
        end = started + total_s
        while time.monotonic() < end:
            now = time.monotonic()
            if self.example.poll() is not None:
                self.fail("the example ended during the run")
                return
            if now >= next_sample:
                self.memory.append((round(now - started, 1), rss_kb(self.example.pid)))
                self.fds.append((round(now - started, 1), fd_count(self.example.pid)))
                next_sample = now + 2
            if now >= next_fault and now < end - QUIET_TAIL_S:
                # The heaviest fault first, twice, so that the warm-up sees the queues'
                # high-water mark.
                self.inject(None if self.faults["stall"] >= 2 else "stall")
                # Apart, so that two bursts never add up.
                next_fault = time.monotonic() + self.rng.uniform(1.5, 3.0)
            time.sleep(0.1)
        self.warm_up_s = warm_up

    def orders(self):
        _, strategy = http("GET", self.control_url + "/orders")
        _, exchange = http("GET", self.sim_url + f"/api/v1/orders?accountId={ACCOUNT}",
                           token=TOKEN)
        # Orders the back end refused or never saw have no id there.
        mine = {o["orderID"]: (o["status"], o["filledQty"]) for o in strategy["orders"]
                if o["orderID"]}
        theirs = {o["orderID"]: (o["status"], o["filledQty"]) for o in exchange["data"]}
        return mine, theirs

    def check_books(self):
        # A fault no request took yet would answer our own look-ups.
        http("DELETE", self.sim_url + "/_sim/faults")
        # Orders still in flight settle within the quiet tail; give them a few seconds more.
        deadline = time.monotonic() + 15
        while True:
            mine, theirs = self.orders()
            differ = {k: (mine.get(k), theirs.get(k)) for k in set(mine) | set(theirs)
                      if mine.get(k) != theirs.get(k)}
            if not differ or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        self.order_count = len(theirs)
        if differ:
            self.fail(f"{len(differ)} orders differ between strategy and exchange: "
                      + json.dumps(dict(list(differ.items())[:5])))
        _, report = http("GET", self.control_url + "/report")
        _, accounts = http("GET", self.sim_url + "/api/v1/accounts", token=TOKEN)
        qty = 0
        for account in accounts["data"]:
            if account["accountId"] == ACCOUNT:
                for p in account["positions"]:
                    if p["symbol"] == SYMBOL:
                        qty = p["qty"]
        signed = sum(p["qty"] for p in report["positions"] if p["symbol"] == SYMBOL)
        if signed != qty:
            self.fail(f"position: strategy {signed}, exchange {qty}")

    def log_lines(self, work):
        lines = []
        logs = os.path.join(work, "logs")
        # The strategy's file has every line of the run; the others repeat parts of it.
        for name in sorted(os.listdir(logs), reverse=True):
            if not name.startswith("tolbu_strategy.log"):
                continue
            with open(os.path.join(logs, name), errors="replace") as f:
                lines.extend(f.read().splitlines())
        return lines

    def execution_reports(self):
        _, sent = http("GET", self.sim_url + "/api/v1/execution-reports", token=TOKEN)
        return collections.Counter((r["orderID"], r["status"], r["filledQty"])
                                   for r in sent["data"] if r["accountID"] == ACCOUNT)

    def check_stream(self, work):
        expected = self.sent_while_running
        sent = self.execution_reports()
        pattern = re.compile(r"Execution report (\S+) (\S+) filled (\d+)")
        got = collections.Counter()
        gaps = reconciled = 0
        for line in self.log_lines(work):
            if m := pattern.search(line):
                got[(m.group(1), m.group(2), int(m.group(3)))] += 1
            elif f"Stream gap on order:OrderExecutionReport:{ACCOUNT}" in line:
                gaps += 1
            elif "Reconciled from REST" in line:
                reconciled += 1
        doubled = {k: n for k, n in got.items() if n > sent.get(k, 0)}
        missing = sum((expected - got).values())
        self.reports = {"sent": sum(expected.values()), "delivered": sum(got.values()),
                        "missing": missing, "gaps": gaps, "reconciled": reconciled}
        if doubled:
            self.fail(f"execution reports delivered more often than sent: {list(doubled)[:5]}")
        if missing and not gaps:
            self.fail(f"{missing} execution reports lost without a gap being reported: "
                      f"{list((expected - got).elements())[:5]}")
        if gaps and reconciled < gaps:
            self.fail(f"{gaps} gaps on the order channel, {reconciled} reconciliations")

    def check_errors(self, work):
        unexplained = []
        self.errors = 0
        for line in self.log_lines(work):
            if "| ERROR" not in line and "| CRITICAL" not in line:
                continue
            self.errors += 1
            ok = any(rx.search(line) and (not kinds or any(self.faults[k] for k in kinds))
                     for rx, kinds in EXPLAINED_ERRORS)
            if not ok:
                unexplained.append(line)
        if unexplained:
            self.fail(f"{len(unexplained)} unexplained ERROR lines, first: {unexplained[0]}")

    def check_resources(self):
        # The kit hands freed heap pages back every 10 s, so the lowest size within a
        # window is what it holds; a burst between two trims is no growth.
        start = [kb for t, kb in self.memory
                 if self.warm_up_s <= t < self.warm_up_s + MEMORY_WINDOW_S]
        last = self.memory[-1][0] if self.memory else 0
        end = [kb for t, kb in self.memory if t > last - MEMORY_WINDOW_S]
        if start and end and last - self.warm_up_s >= 2 * MEMORY_WINDOW_S:
            growth = min(end) - min(start)
            self.memory_growth_kb = growth
            if growth >= MEMORY_LIMIT_KB:
                self.fail(f"memory grew by {growth} kB after the warm-up")
        fds = [n for t, n in self.fds if t >= self.warm_up_s]
        if len(fds) >= 2 and fds[-1] > fds[0] + 2:
            self.fail(f"file descriptors went from {fds[0]} to {fds[-1]}")

    def check_flat(self):
        _, accounts = http("GET", self.sim_url + "/api/v1/accounts", token=TOKEN)
        for account in accounts["data"]:
            if account["accountId"] != ACCOUNT:
                continue
            for p in account["positions"]:
                if p["symbol"] == SYMBOL and p["qty"] != 0:
                    self.fail(f"position left open after the stop: {p['qty']}")

    def summary(self):
        stats = getattr(self, "stats", None) or {}
        result = {
            "minutes": self.opts.minutes,
            "seed": self.opts.seed,
            "faults": dict(self.faults),
            "orders": getattr(self, "order_count", None),
            "publications": stats.get("deliveries"),
            "reconnects": max(0, stats.get("connects", 1) - 1),
            "execution_reports": getattr(self, "reports", None),
            "error_lines": getattr(self, "errors", None),
            "memory_growth_kb": getattr(self, "memory_growth_kb", None),
            "memory_kb": self.memory,
            "fds": self.fds,
            "failures": self.failures,
        }
        with open(os.path.join(self.opts.out, "soak.json"), "w") as f:
            json.dump(result, f, indent=1)
        print(json.dumps({k: v for k, v in result.items() if k not in ("memory_kb", "fds")}))
        print("soak: " + ("passed" if not self.failures else "FAILED"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--example", required=True)
    parser.add_argument("--out", required=True)
    # The server subscribes the execution-report channel itself; the example subscribes it
    # as well, straight after connect().
    parser.add_argument("--server-side-reports", action="store_true")
    return Run(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
