#!/usr/bin/env python3
"""Writes examples/data/VNM_1m.csv: generated one-minute bars shaped like a Ho Chi Minh City
stock's (not real prices). Sessions 09:00-11:30 and 13:00-14:45 local time (UTC+7), weekdays
from 2024-01-02, New Year's holiday and weekends left out, a tick of 100 VND, volumes in lots of
100 heavier at the open and the close. The same seed writes the same file.

    tools/make_sample_csv.py [--days N] [--seed S] [--out FILE]
"""
import argparse
import datetime as dt
import math
import random

SESSIONS = [((2, 0), (4, 30)), ((6, 0), (7, 45))]  # UTC
TICK = 100


def on_tick(price):
    return max(TICK, round(price / TICK) * TICK)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=12)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--out", default="examples/data/VNM_1m.csv")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    price = 68500.0
    day = dt.date(2024, 1, 2)
    lines = ["time,open,high,low,close,volume"]
    days = 0
    while days < args.days:
        if day.weekday() < 5:
            days += 1
            price *= math.exp(rng.gauss(0, 0.006))  # the overnight move
            for (h0, m0), (h1, m1) in SESSIONS:
                t = dt.datetime(day.year, day.month, day.day, h0, m0, tzinfo=dt.timezone.utc)
                end = t.replace(hour=h1, minute=m1)
                while t < end:
                    minutes_in = (t.hour - 2) * 60 + t.minute
                    # U-shaped activity over the day: busy at the open and the close.
                    activity = 1.0 + 1.5 * math.exp(-minutes_in / 20) + \
                        1.2 * math.exp(-(345 - minutes_in) / 25)
                    step_sd = 0.0012 * math.sqrt(activity)
                    open_ = on_tick(price)
                    path = [price]
                    for _ in range(4):
                        path.append(path[-1] * math.exp(rng.gauss(0, step_sd / 2)))
                    price = path[-1]
                    close = on_tick(price)
                    high = max(open_, close, on_tick(max(path)))
                    low = min(open_, close, on_tick(min(path)))
                    lots = max(1, int(rng.lognormvariate(math.log(30 * activity), 0.6)))
                    stamp = t.strftime("%Y-%m-%dT%H:%M:%SZ")
                    lines.append(f"{stamp},{open_},{high},{low},{close},{lots * 100}")
                    t += dt.timedelta(minutes=1)
        day += dt.timedelta(days=1)
    with open(args.out, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
