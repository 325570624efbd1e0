#!/usr/bin/env python3
"""Checks that a console program of ours starts on the oldest Windows it is for.

  check-tool.py --system nt5.0-x86|nt5.2-x64 PROGRAM.exe

The loader of an older Windows refuses a program that names a DLL function
the system's DLL does not export, or that asks for a newer subsystem version.
So: the machine is the system's, the subsystem is the console, the subsystem
and OS versions are at most the system's, and every import is one the
system's KERNEL32.dll, ADVAPI32.dll or msvcrt.dll exports, by the list in
windows/exports/SYSTEM.txt. Exits 1 naming every import and field at fault.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import pe  # noqa: E402

SYSTEMS = {
    # name: (machine, highest subsystem/OS version, systems named in messages)
    "nt5.0-x86": (pe.IMAGE_FILE_MACHINE_I386, (5, 0), "Windows 2000"),
    "nt5.2-x64": (pe.IMAGE_FILE_MACHINE_AMD64, (5, 2), "Windows XP x64 / Server 2003 x64"),
}


def load_exports(path):
    exports = {}
    with open(path) as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) != 2:
                raise ValueError("%s:%d: expected 'DLL FUNCTION'" % (path, n))
            exports.setdefault(fields[0].lower(), set()).add(fields[1])
    return exports


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--system", required=True, choices=sorted(SYSTEMS))
    parser.add_argument("--exports", help="the export list (default windows/exports/SYSTEM.txt)")
    parser.add_argument("program")
    args = parser.parse_args()
    machine, highest, system_name = SYSTEMS[args.system]
    exports_path = args.exports or os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                "exports", args.system + ".txt")
    exports = load_exports(exports_path)
    try:
        image = pe.Image(args.program)
    except (OSError, pe.PeError) as e:
        print("%s: %s" % (args.program, e), file=sys.stderr)
        return 1
    problems = []
    if image.machine != machine:
        problems.append("built for machine 0x%x, not for %s" % (image.machine, system_name))
    if image.subsystem != 3:
        problems.append("not a console program (subsystem %d)" % image.subsystem)
    for what, version in (("subsystem", (image.subsys_major, image.subsys_minor)),
                          ("operating system", (image.os_major, image.os_minor))):
        if version > highest:
            problems.append("asks for %s version %d.%d; %s is %d.%d"
                            % (what, version[0], version[1], system_name, highest[0], highest[1]))
    count = 0
    for dll, functions in sorted(image.imports().items()):
        known = exports.get(dll.lower())
        if known is None:
            problems.append("imports from %s, which is not among the DLLs checked for %s"
                            % (dll, system_name))
            continue
        for function in functions:
            count += 1
            if function not in known:
                problems.append("imports %s!%s, which %s does not export (not in %s)"
                                % (dll, function, system_name, os.path.relpath(exports_path)))
    if problems:
        for p in problems:
            print("%s: %s" % (args.program, p), file=sys.stderr)
        return 1
    print("%s: console program, subsystem %d.%d, %d imports, all exported by %s"
          % (args.program, image.subsys_major, image.subsys_minor, count, system_name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
