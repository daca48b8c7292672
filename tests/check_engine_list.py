#!/usr/bin/env python3
"""Checks that every build compiles what src/engine.txt lists: the engine's
sources (with or without the vector kernel's, all of them or none) and its
floating-point flags, as CMake's engine target has them, as meson configures
its engine library, and as build_tofimage's dry runs would call the compiler
(in GNU Octave here, and for MATLAB with GCC, MinGW-w64 and Visual Studio),
which also must compile each of the engine's sources once for all modules.
A source or flag written by hand into one build, or left out of one, fails.

    check_engine_list.py SOURCE_DIR [--cmake FILE] [--meson MESON] [--octave OCTAVE_CLI]

FILE holds the CMake engine target's sources, a line "--", then its
compile options (written by tests/CMakeLists.txt). Standard library only."""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile


def read_list(source_dir):
    listed = {}
    with open(os.path.join(source_dir, "src", "engine.txt"), encoding="utf-8") as f:
        for line in f:
            entry = line.split()
            if len(entry) >= 2 and not entry[0].startswith("#"):
                listed.setdefault(entry[0], []).append(entry[1])
    return listed


def check(build, sources, flags, listed, fp_kind, problems):
    """sources: the engine's sources this build compiles (names under src/);
    flags: its compiler flags. Returns the kernel it has."""
    sources = sorted(sources)
    scalar = sorted(listed["engine"])
    vector = sorted(listed["engine"] + listed["vector"])
    kernel = {tuple(scalar): "scalar", tuple(vector): "vector"}.get(tuple(sources))
    if kernel is None:
        problems.append(f"{build}: compiles {sources}; src/engine.txt lists {scalar} "
                        f"and, with Highway, {sorted(listed['vector'])}")
    missing = [f for f in listed[fp_kind] if f not in flags]
    if missing:
        problems.append(f"{build}: lacks the floating-point flags {missing} (has {flags})")
    print(f"check_engine_list: {build}: {kernel or 'other'} kernel, {len(sources)} sources, "
          f"{' '.join(listed[fp_kind])}")
    return kernel


def under_src(paths, source_dir):
    src = os.path.realpath(os.path.join(source_dir, "src"))
    return [os.path.relpath(os.path.realpath(os.path.join(source_dir, p)), src) for p in paths]


def from_cmake(path, source_dir):
    with open(path, encoding="utf-8") as f:
        sources, _, options = f.read().partition("\n--\n")
    return under_src(sources.split(), source_dir), options.split()


def from_meson(meson, source_dir):
    with tempfile.TemporaryDirectory() as build:
        subprocess.run([meson, "setup", build, source_dir], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        targets = json.loads(subprocess.run([meson, "introspect", "--targets", build], check=True,
                                            capture_output=True, text=True).stdout)
    engine = next(t for t in targets if t["name"] == "tofimage_engine")
    sources = [s for part in engine["target_sources"] for s in part["sources"]]
    flags = [a for part in engine["target_sources"] for a in part["parameters"]]
    return under_src(sources, source_dir), flags


# Dry runs of build_tofimage: this Octave, then MATLAB on other platforms
# (their facts given); each prints one line per command.
DRY_RUNS = r"""
addpath(fullfile('%s', 'matlab'));
runs = {struct('dry_run', true), ...
        struct('dry_run', true, 'matlab', true, 'os', 'linux', 'arch', 'glnxa64', 'compiler', 'gcc', ...
               'compiler_version', '12', 'matlab_version', '9.14', 'matlab_libstdcxx', ''), ...
        struct('dry_run', true, 'matlab', true, 'os', 'windows', 'arch', 'win64', 'compiler', 'mingw', ...
               'compiler_version', '12', 'matlab_version', '9.14', 'cxx', ''), ...
        struct('dry_run', true, 'matlab', true, 'os', 'windows', 'arch', 'win64', 'compiler', 'msvc', ...
               'compiler_version', '17', 'matlab_version', '9.14')};
names = {'build_tofimage in Octave', 'build_tofimage for MATLAB on Linux', ...
         'build_tofimage for MATLAB with MinGW-w64', 'build_tofimage for MATLAB with Visual Studio'};
for k = 1:numel(runs)
  evalc('info = build_tofimage(tempname(), '''', runs{k});');
  for c = 1:numel(info.commands)
    fprintf('@@%%s|%%s\n', names{k}, info.commands{c});
  end
end
"""


def from_build_tofimage(octave, source_dir, listed):
    run = subprocess.run([octave, "--no-gui", "-q", "-H", "--no-site-file", "--eval",
                          DRY_RUNS % os.path.abspath(source_dir)], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"check_engine_list: the dry runs of build_tofimage failed:\n{run.stdout}{run.stderr}")
    out = run.stdout
    modules = {m + ".cpp" for m in listed["module"]}
    runs = {}
    for build, command in re.findall(r"^@@([^|]*)\|(.*)$", out, re.M):
        words = command.replace('"', " ").split()
        cpp = under_src([w for w in words if w.endswith(".cpp")], source_dir)
        entry = [c for c in cpp if c in modules]
        runs.setdefault(build, []).append((entry, [c for c in cpp if c not in modules], words))
    return runs


def check_build_tofimage(build, commands, listed, problems):
    """commands: (entry point, engine sources, words) of each compiler call
    of one dry run. The engine's sources are compiled once, by the calls
    before the modules', each module from its entry point and their objects,
    all with the floating-point flags."""
    modules = [e for e, _, _ in commands if e]
    if modules != [[m + ".cpp"] for m in listed["module"]]:
        problems.append(f"{build}: builds {modules}, not the modules {listed['module']} in order")
    first_module = next((i for i, (e, _, _) in enumerate(commands) if e), len(commands))
    compiled = [s for _, sources, _ in commands[:first_module] for s in sources]
    again = [s for _, sources, _ in commands[first_module:] for s in sources]
    if len(set(compiled)) != len(compiled) or again:
        problems.append(f"{build}: compiles the engine's sources {compiled} and then again {again}; "
                        "each once, before the modules")
    fp = "fp_msvc" if "Visual Studio" in build else "fp"
    flags = set.intersection(*[{f for w in words for f in w.split()} for _, _, words in commands])
    check(build, compiled, flags, listed, fp, problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source_dir")
    parser.add_argument("--cmake")
    parser.add_argument("--meson")
    parser.add_argument("--octave")
    args = parser.parse_args()
    listed = read_list(args.source_dir)
    problems = []
    if args.cmake:
        check("CMake", *from_cmake(args.cmake, args.source_dir), listed, "fp", problems)
    if args.meson:
        check("meson", *from_meson(args.meson, args.source_dir), listed, "fp", problems)
    if args.octave:
        runs = from_build_tofimage(args.octave, args.source_dir, listed)
        if len(runs) != 4:
            problems.append(f"build_tofimage: {len(runs)} dry runs printed commands, not 4")
        for build, commands in runs.items():
            check_build_tofimage(build, commands, listed, problems)
    for p in problems:
        print("check_engine_list: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
