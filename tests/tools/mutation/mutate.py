#!/usr/bin/env python3
"""Mutation check, run by hand (not in CI): do the tests notice a small change to a source file?

Usage: tests/tools/mutation/mutate.py [--build DIR] LIST [LIST...]

Each LIST file names one source file, the targets to rebuild and the test command, then one
mutant a line:
    # file: OLE/ole_date.cpp
    # build: test_ole
    # test: tests/test_ole --gtest_filter='OleDate*'
    <exact text in the file> ==> <replacement>
A mutant's text must occur exactly once. For each mutant the file is changed, the targets are
rebuilt and the test command is run in the build folder: a failing test catches the mutant; a
mutant that does not compile is reported and left out of the share. The file is always put back.

Tests that cannot find what they need skip, and a skipped test catches nothing: run it with the
test data reachable (DRAV_TESTDATA, else the build's default folder) and the test server's
environment set (TSQL_* and DRAV_TEST_MSSQL_*, see tests/support/live_server.h), as the script
warns when they are missing.
"""
import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def read_list(path):
    head, mutants = {}, []
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip():
                continue
            if line.startswith("#"):
                key, _, value = line[1:].partition(":")
                if key.strip() in ("file", "build", "test"):
                    head[key.strip()] = value.strip()
                continue
            old, sep, new = line.partition(" ==> ")
            if not sep:
                sys.exit(f"{path}:{n}: no ' ==> ' in the mutant")
            mutants.append((n, old, new))
    for key in ("file", "build", "test"):
        if key not in head:
            sys.exit(f"{path}: '# {key}:' missing")
    return head, mutants


def run(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def check_list(path, build):
    head, mutants = read_list(path)
    source = os.path.join(ROOT, head["file"])
    with open(source, encoding="utf-8") as f:
        original = f.read()
    build_cmd = "cmake --build . --target " + head["build"]
    if run(build_cmd, build) != 0 or run(head["test"], build) != 0:
        sys.exit(f"{path}: the unchanged tree does not build or its tests fail")
    caught = survived = invalid = 0
    try:
        for n, old, new in mutants:
            count = original.count(old)
            if count != 1:
                print(f"  line {n}: text found {count} times, skipped: {old}")
                invalid += 1
                continue
            with open(source, "w", encoding="utf-8") as f:
                f.write(original.replace(old, new))
            if run(build_cmd, build) != 0:
                print(f"  line {n}: does not compile, left out: {old} ==> {new}")
                invalid += 1
            elif run(head["test"], build) != 0:
                caught += 1
                print(f"  line {n}: caught")
            else:
                survived += 1
                print(f"  line {n}: SURVIVED: {old} ==> {new}")
    finally:
        with open(source, "w", encoding="utf-8") as f:
            f.write(original)
        run(build_cmd, build)
    return caught, survived, invalid


def warn_missing_parts(build):
    cache = os.path.join(build, "CMakeCache.txt")
    data = os.environ.get("DRAV_TESTDATA", "")
    if not data and os.path.exists(cache):
        with open(cache, encoding="utf-8") as f:
            for line in f:
                if line.startswith("DRAV_TESTDATA:"):
                    data = line.partition("=")[2].strip()
    if not data or not os.path.isdir(data):
        print(f"warning: no test data at '{data}' (set DRAV_TESTDATA): its tests will skip")
    if not os.environ.get("TSQL_HOST") or not os.environ.get("DRAV_TEST_MSSQL_SERVER"):
        print("warning: no test server in the environment (TSQL_*, DRAV_TEST_MSSQL_*): live tests will skip")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("lists", nargs="+")
    args = parser.parse_args()
    warn_missing_parts(args.build)
    total_caught = total = 0
    for path in args.lists:
        print(path)
        caught, survived, invalid = check_list(path, args.build)
        share = 100.0 * caught / max(1, caught + survived)
        print(f"  {caught} of {caught + survived} caught ({share:.0f}%), {invalid} left out")
        total_caught += caught
        total += caught + survived
    print(f"all: {total_caught} of {total} caught ({100.0 * total_caught / max(1, total):.0f}%)")


if __name__ == "__main__":
    main()
