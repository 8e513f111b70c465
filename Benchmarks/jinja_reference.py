#!/usr/bin/env python3
"""Renders the chat-template benchmark cases with the Python reference engine of the template language
and compares its times with the engine's own benchmark.

    python3 Benchmarks/jinja_reference.py build/Benchmarks/JinjaBenchmarks [--repetitions 5]

The benchmark binary exports its templates and contexts (--export), so both engines render exactly the
same work: each template compiled once, then rendered repeatedly on one thread. The two engines take
turns and each time is the best of all repetitions, because the machine may be busy. Needs python3 with its jinja2 package; this script
is a tool for people, never run by the tests.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit


def python_renderers(cases, sandboxed):
    import jinja2
    import jinja2.sandbox

    def raise_exception(message):
        raise jinja2.exceptions.TemplateError(message)

    # Plain by default; --sandboxed uses the environment chat-template libraries render with.
    if sandboxed:
        environment = jinja2.sandbox.ImmutableSandboxedEnvironment(
            trim_blocks=True, lstrip_blocks=True, extensions=["jinja2.ext.loopcontrols"])
    else:
        environment = jinja2.Environment()
    environment.globals["raise_exception"] = raise_exception
    compiled = {}
    renderers = {}
    for case in cases:
        template = compiled.setdefault(case["template"], environment.from_string(case["source"]))
        context = case["context"]
        template.render(**context)
        renderers[(case["template"], case["messages"])] = lambda t=template, c=context: t.render(**c)
    return renderers


def python_times(renderers):
    times = {}
    for key, render in renderers.items():
        timer = timeit.Timer(render)
        number, _ = timer.autorange()
        times[key] = min(timer.repeat(repeat=3, number=number)) / number
    return times


def engine_times(binary):
    output = subprocess.run(
        [binary, "--benchmark_filter=^Render/", "--benchmark_format=json", "--benchmark_min_time=0.2"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for run in json.loads(output)["benchmarks"]:
        _, template, messages = run["run_name"].split("/")
        times[(template, int(messages))] = run["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    return times


def keep_best(best, times):
    for key, seconds in times.items():
        best[key] = min(best.get(key, seconds), seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binary", help="path of the JinjaBenchmarks executable")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--sandboxed", action="store_true",
                        help="the sandboxed environment with trim_blocks and lstrip_blocks, as chat-template libraries use")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "cases.json")
        subprocess.run([arguments.binary, f"--export={path}"], check=True)
        with open(path, encoding="utf-8") as file:
            cases = json.load(file)["cases"]

    # The two engines take turns, so that both see the same changes in the machine's load.
    renderers = python_renderers(cases, arguments.sandboxed)
    python, engine = {}, {}
    for _ in range(arguments.repetitions):
        keep_best(python, python_times(renderers))
        keep_best(engine, engine_times(arguments.binary))

    print(f"{'template':<12} {'messages':>8} {'python us':>10} {'engine us':>10} {'speed-up':>9}")
    for case in cases:
        key = (case["template"], case["messages"])
        p, e = python[key] * 1e6, engine[key] * 1e6
        print(f"{key[0]:<12} {key[1]:>8} {p:>10.1f} {e:>10.1f} {p / e:>8.1f}x")
    print(f"best of {arguments.repetitions} repetitions; {os.cpu_count()} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
