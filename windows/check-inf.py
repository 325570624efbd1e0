#!/usr/bin/env python3
"""Cross-checks zr48.inf against itself, the package and the driver.

  check-inf.py [--package DIR] [--driver DRIVER_DIR] zr48.inf

- [Version] is an NT net-class INF naming its catalog (CatalogFile);
- [Manufacturer] names an undecorated models section (Windows 2000 reads no
  other) and the NTx86 and NTamd64 ones, each present and each offering
  PCI\\VEN_1BA7&DEV_0316;
- every section a directive names (install, services, AddReg, CopyFiles,
  event log) exists, and so does every %string%;
- every file copied is in SourceDisksFiles, with a disk in SourceDisksNames,
  for x86 and for amd64, has a destination, and is in the package (--package;
  the catalog too);
- every Ndi\\params keyword is one the driver reads, and every one the driver
  reads is offered; each default lies within the parameter's range or
  choices, is written as the instance value, and equals the driver's own
  default (AdapterConstruct); each numeric range is what the driver accepts.
Exits 1 naming every fault found.
"""
import argparse
import os
import re
import sys

HARDWARE_ID = "PCI\\VEN_1BA7&DEV_0316"
ARCHITECTURES = ("x86", "amd64")
MODEL_DECORATIONS = {"x86": "NTx86", "amd64": "NTamd64"}

# What the driver accepts for each numeric keyword, as (min, max, step):
# - LineRate: kbit/s; the driver keeps a fixed rate within 64..6016 kbit/s and
#   takes it in whole 32 kbit/s steps (units of 8 kbit/s, a multiple of 4).
# - XmtQueueLen: at most 127 frames are on the transmit ring at once (128
#   slots, one always empty); more buffers would never be used. 0 is not a
#   length: the driver puts its default in its place.
# - RcvQueueLen: at most 127 receive buffers are on the receive ring at once;
#   0 is replaced by the default, as for XmtQueueLen.
NUMERIC_RANGES = {
    "LineRate": (64, 6016, 32),
    "XmtQueueLen": (1, 127, 1),
    "RcvQueueLen": (1, 127, 1),
}
# The choices the driver and the transceiver know, for each enum keyword.
FLAG = {"0", "1"}
ENUM_CHOICES = {
    "TerminalType": FLAG, "ConfigType": FLAG, "AlwaysConnected": FLAG, "CRC": FLAG,
    "FillByte": FLAG, "DataPolarity": FLAG, "ReadBurst": FLAG, "WriteBurst": FLAG,
    # 1..4: the transceiver's codes 0..3; 0: chosen from the line rate.
    "LineCode": {"0", "1", "2", "3", "4"},
    # The annexes the transceiver knows: A, B, and F/G (extended rates).
    "AnnexType": {"0", "1", "3"},
}
# Keywords read into an Adapter field of another name.
FIELD_OF_KEYWORD = {"CRC": "Crc"}
# Keywords the driver reads that are not parameters of the Advanced page.
NOT_ADVANCED = {"SlotNumber"}


class Inf:
    def __init__(self, text):
        self.sections = {}   # lower-case name -> (name, [lines])
        self.order = []
        current = None
        for raw in text.splitlines():
            line = strip_comment(raw).strip()
            if not line:
                continue
            m = re.match(r"^\[([^\]]+)\]$", line)
            if m:
                name = m.group(1).strip()
                current = self.sections.setdefault(name.lower(), (name, []))[1]
                self.order.append(name)
                continue
            if current is None:
                raise ValueError("a line before any section: %s" % line)
            current.append(line)

    def has(self, name):
        return name.lower() in self.sections

    def lines(self, name):
        return self.sections.get(name.lower(), (name, []))[1]

    def entries(self, name):
        """[(key or None, [fields])] of a section."""
        result = []
        for line in self.lines(name):
            key, value = None, line
            m = re.match(r'^([^=",]+?)\s*=\s*(.*)$', line)
            if m:
                key, value = m.group(1).strip(), m.group(2)
            result.append((key, split_fields(value)))
        return result

    def value(self, section, key):
        for k, fields in self.entries(section):
            if k is not None and k.lower() == key.lower():
                return fields[0] if fields else ""
        return None


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def split_fields(value):
    fields, field, quoted = [], "", False
    for c in value:
        if c == '"':
            quoted = not quoted
            field += c
        elif c == "," and not quoted:
            fields.append(field.strip())
            field = ""
        else:
            field += c
    fields.append(field.strip())
    return [unquote(f) for f in fields]


def unquote(field):
    if len(field) >= 2 and field[0] == field[-1] == '"':
        return field[1:-1]
    return field


def driver_defaults(driver_dir):
    """{field: value} that AdapterConstruct gives (the rest is zeroed), and
    the set of keywords ReadAdapterConfiguration reads."""
    with open(os.path.join(driver_dir, "adapter", "adapter.cpp")) as f:
        source = f.read()
    body = source[source.index("AdapterConstruct("):]
    body = body[:body.index("\n}")]
    values = {}
    for field, value in re.findall(r"adapter->(\w+)\s*=\s*(\w+)\s*;", body):
        values[field] = {"TRUE": 1, "FALSE": 0}.get(value, None)
        if values[field] is None:
            values[field] = int(value, 0)
    with open(os.path.join(driver_dir, "adapter", "adapter.h")) as f:
        header = f.read()
    fields = set(re.findall(r"^\s+\w+\*?\s+(\w+)(?:\[[^\]]*\])?;", header, re.M))
    with open(os.path.join(driver_dir, "adapter", "configuration.cpp")) as f:
        keywords = set(re.findall(r'ZR48_NDIS_STRING\("(\w+)"\)', f.read()))
    return values, fields, keywords


def inf_default_of_driver(keyword, values, fields):
    """The driver's default for KEYWORD as the INF writes it; None when the
    driver's default is 'not configured' (the INF then writes nothing)."""
    field = FIELD_OF_KEYWORD.get(keyword, keyword)
    if field not in fields:
        return "no field"
    value = values.get(field, 0)  # AdapterConstruct zeroes what it does not set
    if keyword == "LineRate":
        return str(value * 8)  # held in units of 8 kbit/s
    if keyword == "LineCode":
        return None if value == 4 else str(value + 1)  # 4: none configured
    if keyword == "NetworkAddress":
        return None  # generated by the driver when absent
    return str(value)


def check(inf_path, package=None, driver_dir=None):
    problems = []
    with open(inf_path, encoding="latin-1") as f:
        text = f.read()
    try:
        inf = Inf(text)
    except ValueError as e:
        return ["cannot read: %s" % e]

    def need_section(name, why):
        if not inf.has(name):
            problems.append("[%s], named by %s, does not exist" % (name, why))
            return False
        return True

    # Strings.
    strings = {k.lower() for k, _ in inf.entries("Strings") if k}
    used = "\n".join(line for _, (_, lines) in inf.sections.items() for line in lines)
    for token in sorted(set(re.findall(r"%([^%\s]+)%", used.replace("%%", "")))):
        if not token.isdigit() and token.lower() not in strings:
            problems.append("%%%s%% is not in [Strings]" % token)

    # Version.
    if (inf.value("Version", "Signature") or "").lower() != "$windows nt$":
        problems.append('[Version] Signature is not "$Windows NT$"')
    if (inf.value("Version", "Class") or "").lower() != "net":
        problems.append("[Version] Class is not Net")
    catalog = inf.value("Version", "CatalogFile")
    if not catalog:
        problems.append("[Version] names no CatalogFile")

    # Models.
    install_sections = set()
    manufacturers = inf.entries("Manufacturer")
    if not manufacturers:
        problems.append("[Manufacturer] is empty or missing")
    for _, fields in manufacturers:
        models, decorations = fields[0], fields[1:]
        wanted = [models] + ["%s.%s" % (models, d) for d in MODEL_DECORATIONS.values()]
        for d in MODEL_DECORATIONS.values():
            if d.lower() not in [x.lower() for x in decorations]:
                problems.append("[Manufacturer] does not name the %s decoration" % d)
        for section in wanted:
            if not need_section(section, "[Manufacturer]" + (
                    " (the undecorated section Windows 2000 reads)" if section == models else "")):
                continue
            ids = []
            for _, model in inf.entries(section):
                install_sections.add(model[0])
                ids += [x.upper() for x in model[1:]]
            if HARDWARE_ID not in ids:
                problems.append("[%s] does not offer %s" % (section, HARDWARE_ID))

    # Install sections and what they name.
    copy_sections = set()
    for install in sorted(install_sections):
        for arch in ARCHITECTURES:
            candidates = [install + ".NT" + arch, install + ".NT", install]
            chosen = next((c for c in candidates if inf.has(c)), None)
            if chosen is None:
                problems.append("no install section for %s on %s (%s)"
                                % (install, arch, ", ".join(candidates)))
                continue
            for key, fields in inf.entries(chosen):
                if key and key.lower() in ("addreg", "delreg"):
                    for s in fields:
                        need_section(s, "%s of [%s]" % (key, chosen))
                if key and key.lower() == "copyfiles":
                    for s in fields:
                        if not s.startswith("@") and need_section(s, "CopyFiles of [%s]" % chosen):
                            copy_sections.add(s)
            if need_section(chosen + ".Services", "[%s]" % chosen):
                for key, fields in inf.entries(chosen + ".Services"):
                    if key and key.lower() == "addservice":
                        for s in fields[2:4]:
                            if s and need_section(s, "AddService of [%s.Services]" % chosen):
                                for k2, f2 in inf.entries(s):
                                    if k2 and k2.lower() == "addreg":
                                        for s2 in f2:
                                            need_section(s2, "AddReg of [%s]" % s)

    # Files: disks, destinations, package.
    destinations = {k.lower() for k, _ in inf.entries("DestinationDirs") if k}
    files = []
    for section in sorted(copy_sections):
        if section.lower() not in destinations and "defaultdestdir" not in destinations:
            problems.append("[%s] has no destination in [DestinationDirs]" % section)
        files += [fields[0] for key, fields in inf.entries(section) if key is None]
    for arch in ARCHITECTURES:
        disk_files = {}
        for name in ("SourceDisksFiles", "SourceDisksFiles." + arch):
            for key, fields in inf.entries(name):
                if key:
                    disk_files[key.lower()] = fields[0]
        disks = {k for name in ("SourceDisksNames", "SourceDisksNames." + arch)
                 for k, _ in inf.entries(name) if k}
        for name in files:
            disk = disk_files.get(name.lower())
            if disk is None:
                problems.append("%s is copied but not in SourceDisksFiles for %s" % (name, arch))
            elif disk not in disks:
                problems.append("%s is on disk %s, which SourceDisksNames for %s lacks"
                                % (name, disk, arch))
    if package is not None:
        for name in files + ([catalog] if catalog else []) + [os.path.basename(inf_path)]:
            if not os.path.isfile(os.path.join(package, name)):
                problems.append("%s is named by the INF but not in the package %s"
                                % (name, package))

    # Parameters.
    params, instance = {}, {}
    for section in sorted(s for _, (s, _) in inf.sections.items()):
        for key, fields in inf.entries(section):
            if key is not None or len(fields) < 5 or fields[0].upper() != "HKR":
                continue
            subkey, name, value = fields[1], fields[2], fields[4]
            m = re.match(r"^Ndi\\params\\(\w+)(\\enum)?$", subkey, re.I)
            if m:
                p = params.setdefault(m.group(1), {"enum": {}})
                if m.group(2):
                    p["enum"][name] = value
                else:
                    p[name.lower()] = value
            elif subkey == "":
                instance[name] = value
    values = fields_known = keywords = None
    if driver_dir:
        values, fields_known, keywords = driver_defaults(driver_dir)
        for k in sorted(keywords - NOT_ADVANCED - set(params)):
            problems.append("the driver reads %s, which Ndi\\params does not offer" % k)
        for k in sorted(set(params) - keywords):
            problems.append("Ndi\\params offers %s, which the driver does not read" % k)
    for name, p in sorted(params.items()):
        kind = p.get("type", "").lower()
        default = p.get("default")
        if kind == "enum":
            if not p["enum"]:
                problems.append("%s is an enum without choices" % name)
            if default is not None and default not in p["enum"]:
                problems.append("%s: default %s is not one of its choices (%s)"
                                % (name, default, ", ".join(sorted(p["enum"]))))
            known = ENUM_CHOICES.get(name)
            if known is not None and set(p["enum"]) != known:
                problems.append("%s offers %s; the driver and transceiver know %s"
                                % (name, ", ".join(sorted(p["enum"])), ", ".join(sorted(known))))
        elif kind in ("int", "long", "word", "dword"):
            try:
                low, high = int(p.get("min", "x")), int(p.get("max", "x"))
                step = int(p.get("step", "1"))
            except ValueError:
                problems.append("%s: min, max or step missing or not a number" % name)
                continue
            if default is not None:
                try:
                    d = int(default)
                    if not low <= d <= high or (d - low) % step:
                        problems.append("%s: default %s is outside %d..%d (step %d)"
                                        % (name, default, low, high, step))
                except ValueError:
                    problems.append("%s: default %s is not a number" % (name, default))
            accepted = NUMERIC_RANGES.get(name)
            if accepted is None:
                problems.append("%s: no range known for what the driver accepts" % name)
            elif (low, high, step) != accepted:
                problems.append("%s offers %d..%d step %d; the driver accepts %d..%d step %d"
                                % ((name, low, high, step) + accepted))
        elif kind != "edit":
            problems.append("%s: unknown type '%s'" % (name, kind))
        if default is None and p.get("optional") != "1":
            problems.append("%s has no default and is not optional" % name)
        if default is not None and instance.get(name) != default:
            problems.append("%s: default %s, but the instance value written is %s"
                            % (name, default, instance.get(name, "none")))
        if default is None and name in instance:
            problems.append("%s: an instance value %s is written without a default"
                            % (name, instance[name]))
        if values is not None:
            expected = inf_default_of_driver(name, values, fields_known)
            if expected == "no field":
                problems.append("%s: the driver's Adapter has no field %s"
                                % (name, FIELD_OF_KEYWORD.get(name, name)))
            elif expected != default:
                problems.append("%s: default %s, the driver's default %s"
                                % (name, default or "none", expected or "none (not configured)"))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", help="the package directory the INF is in")
    parser.add_argument("--driver", help="the driver's source directory (driver/)")
    parser.add_argument("inf")
    args = parser.parse_args()
    problems = check(args.inf, args.package, args.driver)
    for p in problems:
        print("%s: %s" % (args.inf, p), file=sys.stderr)
    if problems:
        return 1
    print("%s: sections, strings, files%s and parameters%s agree"
          % (args.inf, " (package %s)" % args.package if args.package else "",
             " (with the driver's defaults)" if args.driver else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
