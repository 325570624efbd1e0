#!/usr/bin/env python3
"""Checks a linked zr48.sys before it is packaged.

  check-image.py [--objdump PROGRAM] IMAGE

What the Windows kernel needs of a miniport image, each found by reading the
image itself:
- native subsystem, imports only from NDIS.SYS, ntoskrnl.exe and HAL.dll;
- DriverEntry the one export, at the entry point;
- no static constructors (the kernel runs none): the words between
  __CTOR_LIST__ and __DTOR_LIST__ hold only the list's two markers, and no
  _GLOBAL__sub_I_ routine is linked in;
- on x86, no x87, MMX or SSE instruction (the kernel saves none of that state
  for a driver);
- no section both writable and executable, no TLS directory, base
  relocations present, and the PE checksum equal to the one computed.
Exits 1 naming every check that failed.
"""
import argparse
import re
import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import pe  # noqa: E402

KERNEL_DLLS = {"NDIS.SYS", "ntoskrnl.exe", "HAL.dll"}

# x87 instructions all begin with "f"; MMX and SSE name their registers or
# their control/status word. Plain integer code has none of these.
FPU_MNEMONIC = re.compile(r"^(f[a-z0-9]*|emms|femms|ldmxcsr|stmxcsr|vldmxcsr|vstmxcsr|"
                          r"fxsave|fxrstor|xsave\w*|xrstor\w*)$")
VECTOR_OPERAND = re.compile(r"%(mm[0-7]|[xyz]mm[0-9]+|st(\([0-7]\))?)\b")


def check_constructors(image, problems):
    symbols = image.symbols()
    ctor_names = [n for n in symbols if "_GLOBAL__sub_I_" in n]
    if ctor_names:
        problems.append("has static constructors: " + ", ".join(sorted(ctor_names)))
    start = symbols.get("__CTOR_LIST__", symbols.get("___CTOR_LIST__"))
    end = symbols.get("__DTOR_LIST__", symbols.get("___DTOR_LIST__"))
    if start is None or end is None:
        problems.append("cannot read the constructor list: no __CTOR_LIST__/__DTOR_LIST__ "
                        "symbol (stripped image?)")
        return
    size = image.pointer_size
    words = image.read(start - image.image_base, end - start)
    fmt = "<Q" if size == 8 else "<I"
    entries = [struct.unpack_from(fmt, words, i)[0] for i in range(0, len(words), size)]
    all_ones = (1 << (8 * size)) - 1
    # The list: the -1 marker, the constructors, the 0 terminator.
    inner = entries[1:-1] if len(entries) >= 2 else entries
    if not entries or entries[0] != all_ones or entries[-1] != 0 or inner:
        problems.append("has static constructors: %d entries between __CTOR_LIST__ and "
                        "__DTOR_LIST__ (%s)" % (len(inner), ", ".join("0x%x" % e for e in inner)))


def check_no_floating_point(image, objdump, problems):
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", image.path],
                          check=True, capture_output=True, text=True).stdout
    found = []
    for line in text.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if not m:
            continue
        mnemonic, operands = m.group(2), m.group(3)
        if mnemonic in ("(bad)",):
            continue
        if FPU_MNEMONIC.match(mnemonic) or VECTOR_OPERAND.search(operands):
            found.append("%s: %s %s" % (m.group(1), mnemonic, operands.strip()))
    if found:
        problems.append("has %d x87/MMX/SSE instructions, the first: %s"
                        % (len(found), "; ".join(found[:3])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", help="the target's objdump, for the x86 instruction check")
    parser.add_argument("image")
    args = parser.parse_args()
    try:
        image = pe.Image(args.image)
    except (OSError, pe.PeError) as e:
        print("%s: %s" % (args.image, e), file=sys.stderr)
        return 1
    problems = []
    if image.subsystem != 1:
        problems.append("not a native-subsystem image (subsystem %d)" % image.subsystem)
    imports = image.imports()
    for dll in sorted(imports):
        if dll not in KERNEL_DLLS:
            problems.append("imports from %s (%s)" % (dll, ", ".join(imports[dll][:5])))
    exports, count = image.exports()
    names = sorted(n for n, _ in exports)
    if names != ["DriverEntry"] or count != 1:
        problems.append("exports %d names (%s); DriverEntry alone is wanted"
                        % (count, ", ".join(names[:8]) + (", ..." if len(names) > 8 else "")))
    elif exports[0][1] != image.entry:
        problems.append("the exported DriverEntry is not the entry point")
    check_constructors(image, problems)
    if image.machine == pe.IMAGE_FILE_MACHINE_I386:
        if not args.objdump:
            problems.append("cannot check for floating point: no --objdump given")
        else:
            check_no_floating_point(image, args.objdump, problems)
    for s in image.sections:
        if s.flags & pe.SCN_MEM_WRITE and s.flags & pe.SCN_MEM_EXECUTE:
            problems.append("section %s is writable and executable" % s.name)
    if image.dirs[pe.DIR_TLS] != (0, 0) or any(s.name == ".tls" for s in image.sections):
        problems.append("has thread-local storage (the kernel has no TLS for drivers)")
    if image.dirs[pe.DIR_BASERELOC][1] == 0:
        problems.append("has no base relocations")
    computed = image.computed_checksum()
    if image.checksum != computed:
        problems.append("PE checksum 0x%08x in the header, 0x%08x computed"
                        % (image.checksum, computed))
    if problems:
        for p in problems:
            print("%s: %s" % (args.image, p), file=sys.stderr)
        return 1
    print("%s: native subsystem, DriverEntry alone exported, imports from: %s; no constructors, "
          "%sno W+X section, no TLS, checksum 0x%08x"
          % (args.image, " ".join(sorted(imports)),
             "no x87/MMX/SSE, " if image.machine == pe.IMAGE_FILE_MACHINE_I386 else "",
             image.checksum))
    return 0


if __name__ == "__main__":
    sys.exit(main())
