"""Reading PE images (Windows drivers and programs) without Windows tools.

What the checks, the signing and the catalog need: headers, sections, data
directories, imports, exports, the COFF symbol table, the PE checksum and the
Authenticode hash.
"""
import hashlib
import struct

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_CNT_CODE = 0x00000020

DIR_EXPORT, DIR_IMPORT, DIR_SECURITY, DIR_BASERELOC, DIR_TLS = 0, 1, 4, 5, 9


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, vsize, va, rawsize, rawptr, flags):
        self.name, self.vsize, self.va = name, vsize, va
        self.rawsize, self.rawptr, self.flags = rawsize, rawptr, flags


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise PeError("not an MZ/PE image")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if self.pe + 24 > len(d) or d[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, nsections, _, self.symtab, self.nsymbols, optsize,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        magic = struct.unpack_from("<H", d, self.opt)[0]
        if magic == 0x10B:
            self.pe32plus = False
        elif magic == 0x20B:
            self.pe32plus = True
        else:
            raise PeError("unknown optional header magic 0x%x" % magic)
        o = self.opt
        self.entry = struct.unpack_from("<I", d, o + 16)[0]
        if self.pe32plus:
            self.image_base = struct.unpack_from("<Q", d, o + 24)[0]
        else:
            self.image_base = struct.unpack_from("<I", d, o + 28)[0]
        (self.os_major, self.os_minor) = struct.unpack_from("<HH", d, o + 40)
        (self.subsys_major, self.subsys_minor) = struct.unpack_from("<HH", d, o + 48)
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, o + 68)
        dirs = o + (112 if self.pe32plus else 96)
        ndirs = struct.unpack_from("<I", d, dirs - 4)[0]
        self.dirs_offset = dirs
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(min(ndirs, 16))]
        while len(self.dirs) < 16:
            self.dirs.append((0, 0))
        self.sections = []
        s = self.opt + optsize
        for i in range(nsections):
            name = d[s:s + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", d, s + 8)
            flags = struct.unpack_from("<I", d, s + 36)[0]
            self.sections.append(Section(name, vsize, va, rawsize, rawptr, flags))
            s += 40
        self.pointer_size = 8 if self.pe32plus else 4

    # -- addresses ---------------------------------------------------------
    def rva_to_offset(self, rva):
        for sec in self.sections:
            if sec.va <= rva < sec.va + max(sec.vsize, sec.rawsize):
                if rva - sec.va >= sec.rawsize:
                    return None  # in the section's zero-filled tail
                return sec.rawptr + rva - sec.va
        return None

    def read(self, rva, size):
        off = self.rva_to_offset(rva)
        if off is None:
            raise PeError("RVA 0x%x lies in no section's file data" % rva)
        return self.data[off:off + size]

    def cstring(self, rva):
        off = self.rva_to_offset(rva)
        if off is None:
            raise PeError("RVA 0x%x lies in no section" % rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("latin-1")

    # -- directories -------------------------------------------------------
    def imports(self):
        """{dll: [function name or '#ordinal', ...]} in file order."""
        rva, size = self.dirs[DIR_IMPORT]
        result = {}
        if rva == 0:
            return result
        while True:
            ilt, _, _, name, iat = struct.unpack("<IIIII", self.read(rva, 20))
            if ilt == 0 and name == 0 and iat == 0:
                break
            dll = self.cstring(name)
            names = []
            thunk = ilt or iat
            fmt, flag = ("<Q", 1 << 63) if self.pe32plus else ("<I", 1 << 31)
            while True:
                value = struct.unpack(fmt, self.read(thunk, self.pointer_size))[0]
                if value == 0:
                    break
                if value & flag:
                    names.append("#%d" % (value & 0xFFFF))
                else:
                    names.append(self.cstring((value & 0x7FFFFFFF) + 2))
                thunk += self.pointer_size
            result.setdefault(dll, []).extend(names)
            rva += 20
        return result

    def exports(self):
        """[(name, rva)] of the named exports, and the count of all exports."""
        rva, size = self.dirs[DIR_EXPORT]
        if rva == 0:
            return [], 0
        (_, _, _, _, _, _, nfunctions, nnames, functions, names, ordinals) = struct.unpack(
            "<IIHHIIIIIII", self.read(rva, 40))
        result = []
        for i in range(nnames):
            name_rva = struct.unpack("<I", self.read(names + 4 * i, 4))[0]
            ordinal = struct.unpack("<H", self.read(ordinals + 2 * i, 2))[0]
            func = struct.unpack("<I", self.read(functions + 4 * ordinal, 4))[0]
            result.append((self.cstring(name_rva), func))
        return result, nfunctions

    def symbols(self):
        """{name: virtual address} from the COFF symbol table ({} when stripped)."""
        d = self.data
        if self.symtab == 0 or self.nsymbols == 0:
            return {}
        strings = self.symtab + 18 * self.nsymbols
        result = {}
        i = 0
        while i < self.nsymbols:
            e = self.symtab + 18 * i
            raw = d[e:e + 8]
            value, section, _, _, naux = struct.unpack_from("<IhHBB", d, e + 8)
            if raw[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", raw, 4)[0]
                name = d[start:d.index(b"\0", start)].decode("latin-1")
            else:
                name = raw.rstrip(b"\0").decode("latin-1")
            if 1 <= section <= len(self.sections):
                result[name] = self.image_base + self.sections[section - 1].va + value
            i += 1 + naux
        return result

    # -- sums --------------------------------------------------------------
    def computed_checksum(self):
        """The PE checksum as the loader computes it (the field itself counted as 0)."""
        d = bytearray(self.data)
        struct.pack_into("<I", d, self.checksum_offset, 0)
        if len(d) % 2:
            d.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", bytes(d)):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def authenticode_digest(self, algorithm="sha1"):
        """The digest Authenticode signs and catalogs list: the file less its
        checksum field, its certificate table entry and the certificate table."""
        d = self.data
        cert_entry = self.dirs_offset + 8 * DIR_SECURITY
        cert_rva, cert_size = self.dirs[DIR_SECURITY]
        end = cert_rva if cert_rva else len(d)  # a file offset for this directory
        h = hashlib.new(algorithm)
        h.update(d[:self.checksum_offset])
        h.update(d[self.checksum_offset + 4:cert_entry])
        h.update(d[cert_entry + 8:end])
        if cert_rva and cert_rva + cert_size < len(d):
            h.update(d[cert_rva + cert_size:])
        return h.digest()
