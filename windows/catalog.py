#!/usr/bin/env python3
"""Driver catalogs (.cat) without Windows' makecat.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list
(CTL, content type 1.3.6.1.4.1.311.10.1) of the package's files: for each
file, its SHA-1 digest as Windows computes it (the Authenticode digest for a
PE image, the plain digest for any other file), as the member's tag and in
its SpcIndirectDataContent, with the member's file name and the systems it
is for. SHA-1, because Windows 2000, XP and 2003 know no other digest for
catalogs.

  catalog.py make --os-attr ATTR --os NAMES --hwid ID --out zr48-unsigned.cat FILE...
      writes the catalog without a signature (osslsigncode signs it)
  catalog.py check zr48.cat FILE...
      checks that the catalog lists exactly these files, each with the
      digest it has now
"""
import argparse
import datetime
import hashlib
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import pe  # noqa: E402

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
OID_SHA1 = "1.3.14.3.2.26"
# The subject interface packages that hash a member: PE images, flat files.
SUBJECT_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SUBJECT_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# Name-value flags: a catalog attribute, as text, with its name-value pair.
NAMEVALUE_FLAGS = 0x10010001


# -- DER ---------------------------------------------------------------------
def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))  # DER orders SET OF by encoding


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


def integer(value):
    raw = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")
    return tlv(0x02, raw)


def octets(data):
    return tlv(0x04, data)


def bmp(text):
    return tlv(0x1E, text.encode("utf-16-be"))


def explicit(n, content):
    return tlv(0xA0 | n, content)


NULL = b"\x05\x00"


def wide(text):
    """A NUL-terminated UTF-16LE string, as catalog values and tags are."""
    return (text + "\0").encode("utf-16-le")


def name_value(name, value):
    return seq(bmp(name), integer(NAMEVALUE_FLAGS), octets(wide(value)))


def attribute(type_oid, value):
    return seq(oid(type_oid), set_of(value))


def indirect_data(is_pe, digest):
    obsolete = explicit(2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be")))  # SpcLink file
    if is_pe:
        data = seq(oid(OID_SPC_PE_IMAGE_DATA), seq(tlv(0x03, b"\x00"), explicit(0, obsolete)))
    else:
        data = seq(oid(OID_SPC_CAB_DATA), obsolete)
    return seq(data, seq(seq(oid(OID_SHA1), NULL), octets(digest)))


# -- members -----------------------------------------------------------------
def file_digest(path):
    """(is a PE image, SHA-1 digest as a catalog lists it)."""
    try:
        return True, pe.Image(path).authenticode_digest("sha1")
    except pe.PeError:
        with open(path, "rb") as f:
            return False, hashlib.sha1(f.read()).digest()


def member(path, os_attr):
    is_pe, digest = file_digest(path)
    tag = digest.hex().upper()
    attributes = set_of(
        attribute(OID_CAT_NAMEVALUE, name_value("File", os.path.basename(path))),
        attribute(OID_CAT_NAMEVALUE, name_value("OSAttr", os_attr)),
        attribute(OID_CAT_MEMBERINFO, seq(bmp(SUBJECT_PE if is_pe else SUBJECT_FLAT),
                                          integer(512))),
        attribute(OID_SPC_INDIRECT_DATA, indirect_data(is_pe, digest)),
    )
    return seq(octets(wide(tag)), attributes)


def make_catalog(files, os_attr, os_names, hwid, when=None):
    when = when or datetime.datetime.now(datetime.timezone.utc)
    members = [member(f, os_attr) for f in files]
    identifier = hashlib.md5(b"".join(sorted(members))).digest()  # 16 bytes, as makecat's
    extensions = seq(*[
        seq(oid(OID_CAT_NAMEVALUE), octets(name_value(name, value)))
        for name, value in (("HWID1", hwid), ("OS", os_names))])
    ctl = seq(
        seq(oid(OID_CATALOG_LIST)),
        octets(identifier),
        tlv(0x17, when.strftime("%y%m%d%H%M%SZ").encode()),
        seq(oid(OID_CATALOG_LIST_MEMBER), NULL),
        seq(*sorted(members)),
        explicit(0, extensions),
    )
    signed = seq(
        integer(1),
        set_of(seq(oid(OID_SHA1), NULL)),
        seq(oid(OID_CTL), explicit(0, ctl)),
        set_of(),  # signers: osslsigncode adds the signature
    )
    return seq(oid(OID_SIGNED_DATA), explicit(0, signed))


# -- reading -----------------------------------------------------------------
class DerError(Exception):
    pass


def parse(data, offset=0):
    """(tag, content bytes, offset after) of the element at offset."""
    if offset + 2 > len(data):
        raise DerError("truncated at %d" % offset)
    tag, first = data[offset], data[offset + 1]
    offset += 2
    if first < 0x80:
        length = first
    else:
        n = first & 0x7F
        if n == 0 or n > 4 or offset + n > len(data):
            raise DerError("bad length at %d" % offset)
        length = int.from_bytes(data[offset:offset + n], "big")
        offset += n
    if offset + length > len(data):
        raise DerError("element at %d runs past the end" % offset)
    return tag, data[offset:offset + length], offset + length


def children(content):
    result, offset = [], 0
    while offset < len(content):
        tag, value, offset = parse(content, offset)
        result.append((tag, value))
    return result


def decode_oid(content):
    parts = [content[0] // 40, content[0] % 40]
    value = 0
    for b in content[1:]:
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            parts.append(value)
            value = 0
    return ".".join(str(p) for p in parts)


def read_members(data):
    """{tag: {"File": name, "digest": bytes, "pe": bool}} of a catalog."""
    tag, content, _ = parse(data)
    info = children(content)
    if tag != 0x30 or decode_oid(info[0][1]) != OID_SIGNED_DATA:
        raise DerError("not a PKCS #7 SignedData")
    signed = children(children(info[1][1])[0][1])
    content_info = children(signed[2][1])
    if decode_oid(content_info[0][1]) != OID_CTL:
        raise DerError("the signed content is not a certificate trust list")
    ctl = children(children(content_info[1][1])[0][1])
    if ctl[0][0] == 0x02:
        ctl = ctl[1:]  # an explicit version
    if decode_oid(children(ctl[0][1])[0][1]) != OID_CATALOG_LIST:
        raise DerError("the trust list is not a catalog")
    subjects = next((v for t, v in ctl[4:] if t == 0x30), b"")
    result = {}
    for _, subject in children(subjects):
        parts = children(subject)
        tag_text = parts[0][1].decode("utf-16-le").rstrip("\0")
        entry = {}
        for _, attr in children(parts[1][1]) if len(parts) > 1 else []:
            kind, values = children(attr)
            kind = decode_oid(kind[1])
            value = children(values[1])[0][1]
            if kind == OID_CAT_NAMEVALUE:
                name, _, text = children(value)
                entry[name[1].decode("utf-16-be")] = text[1].decode("utf-16-le").rstrip("\0")
            elif kind == OID_SPC_INDIRECT_DATA:
                data_part, digest_info = children(value)
                entry["pe"] = decode_oid(children(data_part[1])[0][1]) == OID_SPC_PE_IMAGE_DATA
                entry["digest"] = children(digest_info[1])[1][1]
        result[tag_text] = entry
    return result


def check_catalog(catalog, files):
    problems = []
    with open(catalog, "rb") as f:
        data = f.read()
    try:
        members = read_members(data)
    except (DerError, IndexError, UnicodeDecodeError) as e:
        return ["%s: cannot read the catalog: %s" % (catalog, e)]
    by_name = {}
    for tag, entry in members.items():
        if entry.get("digest", b"").hex().upper() != tag:
            problems.append("%s: member %s (%s) has a tag that is not its digest"
                            % (catalog, tag, entry.get("File")))
        by_name[entry.get("File", "").lower()] = (tag, entry)
    for path in files:
        name = os.path.basename(path)
        found = by_name.pop(name.lower(), None)
        if found is None:
            problems.append("%s: does not list %s" % (catalog, name))
            continue
        is_pe, digest = file_digest(path)
        if found[1].get("digest") != digest:
            problems.append("%s: lists %s with digest %s; the file's is %s (changed since signing?)"
                            % (catalog, name, found[0], digest.hex().upper()))
        if found[1].get("pe") != is_pe:
            problems.append("%s: lists %s as a %s file" % (catalog, name,
                                                          "PE" if found[1].get("pe") else "flat"))
    for name, (tag, _) in sorted(by_name.items()):
        problems.append("%s: lists %s, which is not in the package" % (catalog, name or tag))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("make")
    make.add_argument("--os-attr", required=True, help='e.g. "2:5.0,2:5.1,2:5.2,2:6.0,2:6.1"')
    make.add_argument("--os", required=True, help='e.g. "2000,XPX86,Server2003X86"')
    make.add_argument("--hwid", required=True)
    make.add_argument("--out", required=True)
    make.add_argument("files", nargs="+")
    check = commands.add_parser("check")
    check.add_argument("catalog")
    check.add_argument("files", nargs="+")
    args = parser.parse_args()
    if args.command == "make":
        with open(args.out, "wb") as f:
            f.write(make_catalog(args.files, args.os_attr, args.os, args.hwid.lower()))
        return 0
    problems = check_catalog(args.catalog, args.files)
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        return 1
    print("%s: lists exactly %s, each with its current digest"
          % (args.catalog, ", ".join(os.path.basename(f) for f in args.files)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
