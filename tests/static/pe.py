"""A small reader of PE files (headers, imports, resources) and the checks'
report."""
import struct

failures = []


def check(condition, what, detail=""):
    """Reports one check; a failed one is kept in failures."""
    print("%s  %s%s" % ("ok  " if condition else "FAIL", what, "" if condition else ": %s" % detail))
    if not condition:
        failures.append(what)



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


def version_info(block):
    """(fixed file info, {string name: value}) of an RT_VERSION resource."""
    fixed = {}
    strings = {}

    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end = at + length
        key_end = at + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[at + 6:key_end].decode("utf-16-le")
        pos = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        value = block[pos:pos + value_bytes]
        pos = (pos + value_bytes + 3) & ~3
        children = []
        while pos < end:
            child = node(pos)
            children.append(child)
            pos = (pos + child[3] + 3) & ~3
        return key, value, children, length, kind

    def walk(n, path):
        key, value, children, _, kind = n
        if key == "VS_VERSION_INFO" and len(value) >= 52:
            fields = struct.unpack_from("<13I", value)
            fixed.update(signature=fields[0], file_version=(fields[2] >> 16, fields[2] & 0xFFFF,
                                                            fields[3] >> 16, fields[3] & 0xFFFF),
                         product_version=(fields[4] >> 16, fields[4] & 0xFFFF,
                                          fields[5] >> 16, fields[5] & 0xFFFF),
                         file_os=fields[8], file_type=fields[9])
        if len(path) == 3 and path[1] == "StringFileInfo" and kind == 1:
            strings[key] = value.decode("utf-16-le").rstrip("\0")
        for child in children:
            walk(child, path + (key,))

    root = node(0)
    walk(root, ())
    return fixed, strings
