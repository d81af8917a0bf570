"""A small reader of PE files: headers, imports and resources."""
import struct


class PE:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic != 0x10B:
            raise ValueError("not PE32 (magic %#x)" % self.magic)
        self.subsystem_version = struct.unpack_from("<HH", d, opt + 48)
        self.checksum, self.subsystem, self.dll_characteristics = struct.unpack_from("<IHH", d, opt + 64)
        self.stack_reserve, self.stack_commit = struct.unpack_from("<II", d, opt + 72)
        count = struct.unpack_from("<I", d, opt + 92)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for _, vaddr, size, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rawsize:
                    raise ValueError("rva %#x is not in the file" % rva)
                return rawptr + rva - vaddr
        raise ValueError("rva %#x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name: [function names or #ordinals]}"""
        rva, size = self.directories[1]
        found = {}
        pos = self.offset(rva)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, pos)
            if name == 0:
                break
            names = []
            thunk = self.offset(lookup or first)
            while True:
                value = struct.unpack_from("<I", self.data, thunk)[0]
                if value == 0:
                    break
                names.append("#%d" % (value & 0xFFFF) if value & 0x80000000 else self.cstring(value + 2))
                thunk += 4
            found[self.cstring(name)] = names
            pos += 20
        return found

    def resources(self):
        """{(type, name, language): bytes} for resources with numeric ids."""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        base = self.offset(rva)
        found = {}

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = path + (ident if not ident & 0x80000000 else "named",)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[key] = self.data[start:start + size]

        walk(base, ())
        return found
