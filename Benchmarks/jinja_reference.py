#!/usr/bin/env python3
"""Renders the chat-template benchmark cases with the Python reference engine of the template language
and compares its times with the engine's own benchmark.

    python3 Benchmarks/jinja_reference.py build/Benchmarks/JinjaBenchmarks [--repetitions 5]

The benchmark binary exports its templates and contexts (--export), so both engines render exactly the
same work: each template compiled once, then rendered repeatedly on one thread. Times are the best of
several repetitions, because the machine may be busy. Needs python3 with its jinja2 package; this script
is a tool for people, never run by the tests.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit


def python_times(cases, repetitions):
    import jinja2

    def raise_exception(message):
        raise jinja2.exceptions.TemplateError(message)

    environment = jinja2.Environment()
    environment.globals["raise_exception"] = raise_exception
    compiled = {}
    times = {}
    for case in cases:
        template = compiled.setdefault(case["template"], environment.from_string(case["source"]))
        context = case["context"]
        template.render(**context)
        timer = timeit.Timer(lambda: template.render(**context))
        number, _ = timer.autorange()
        best = min(timer.repeat(repeat=repetitions, number=number)) / number
        times[(case["template"], case["messages"])] = best
    return times


def engine_times(binary, repetitions):
    output = subprocess.run(
        [binary, "--benchmark_filter=^Render/", "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}", "--benchmark_min_time=0.2"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for run in json.loads(output)["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        _, template, messages = run["run_name"].split("/")
        seconds = run["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
        key = (template, int(messages))
        times[key] = min(times.get(key, seconds), seconds)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", help="path of the JinjaBenchmarks executable")
    parser.add_argument("--repetitions", type=int, default=5)
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "cases.json")
        subprocess.run([arguments.binary, f"--export={path}"], check=True)
        with open(path, encoding="utf-8") as file:
            cases = json.load(file)["cases"]

    python = python_times(cases, arguments.repetitions)
    engine = engine_times(arguments.binary, arguments.repetitions)

    print(f"{'template':<12} {'messages':>8} {'python us':>10} {'engine us':>10} {'speed-up':>9}")
    for case in cases:
        key = (case["template"], case["messages"])
        p, e = python[key] * 1e6, engine[key] * 1e6
        print(f"{key[0]:<12} {key[1]:>8} {p:>10.1f} {e:>10.1f} {p / e:>8.1f}x")
    print(f"best of {arguments.repetitions} repetitions; {os.cpu_count()} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
