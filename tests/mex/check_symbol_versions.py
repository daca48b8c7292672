#!/usr/bin/env python3
"""Whether shared objects would load with an older C++ runtime: the
libstdc++ symbol versions (GLIBCXX_*, CXXABI_*) each one needs, read with
`objdump -T`, against the newest of each that the runtime has.

    check_symbol_versions.py OBJDUMP LIMIT... -- FILE...
    check_symbol_versions.py --expect-excess OBJDUMP LIMIT... -- FILE...

LIMIT is a version the runtime provides, as GLIBCXX_3.4.25; FILE needs
nothing newer of the same name to pass. The shared libraries each FILE
needs (found with ldd) are checked too, except the system's C, C++, GCC and
OpenMP runtimes, which the host process brings. Exit 1 when a file needs
more. With --expect-excess the check is turned round, for a build made to
fail it: exit 1 unless every FILE needs more than a LIMIT.
"""
import re
import subprocess
import sys

_VERSION = re.compile(r"\b(GLIBCXX|CXXABI)_(\d+(?:\.\d+)*)\b")
# What the host's own runtime provides (or the stand-in of MATLAB's MEX API).
_HOST = re.compile(r"^(libc|libm|libgcc_s|libstdc\+\+|libgomp|libpthread|libdl|librt|ld-linux[-\w]*|"
                   r"linux-vdso|libmex_standin)\.so")


def _key(version):
    return tuple(int(p) for p in version.split("."))


def needed_versions(objdump, path):
    """{'GLIBCXX': newest needed, 'CXXABI': ...} from the undefined dynamic symbols."""
    out = subprocess.run([objdump, "-T", path], check=True, capture_output=True, text=True).stdout
    newest = {}
    for line in out.splitlines():
        if "*UND*" not in line:
            continue
        for name, version in _VERSION.findall(line):
            if name not in newest or _key(version) > _key(newest[name]):
                newest[name] = version
    return newest


def libraries(path):
    """The shared libraries path needs that the host does not bring."""
    out = subprocess.run(["ldd", path], check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        m = re.match(r"\s*(\S+)\s+=>\s+(/\S+)", line)
        if m and not _HOST.match(m.group(1)):
            found.append(m.group(2))
    return found


def excess(objdump, path, limits):
    """What path needs beyond limits, as 'GLIBCXX_3.4.30 > 3.4.25'."""
    return [f"{name}_{v} > {limits[name]}" for name, v in sorted(needed_versions(objdump, path).items())
            if name in limits and _key(v) > _key(limits[name])]


def main(argv):
    args = argv[1:]
    expect = args[:1] == ["--expect-excess"]
    args = args[1:] if expect else args
    if "--" not in args or len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    cut = args.index("--")
    objdump, limits, files = args[0], args[1:cut], args[cut + 1:]
    limits = dict(l.split("_", 1) for l in limits)
    failed = 0
    for path in files:
        over = excess(objdump, path, limits)
        libs = libraries(path)
        for lib in libs:
            over += [f"{o} (in {lib})" for o in excess(objdump, lib, limits)]
        with_libs = f" (with {', '.join(libs)})" if libs else ""
        print(f"{path}{with_libs}: "
              f"{'needs ' + ', '.join(over) if over else 'nothing newer than ' + ', '.join(args[1:cut])}")
        failed += bool(over) != expect
    if expect:
        print(f"check_symbol_versions: {failed} of {len(files)} files load with the older runtime, "
              f"though built to need a newer one" if failed else
              "check_symbol_versions: every file built to need a newer runtime was caught")
    return 1 if failed or not files else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
