#!/usr/bin/env python3
"""Builds the sample workbook TKselect-examples.xlsm: five example sheets and the macro modules.

    python3 scripts/make_workbook.py OUT.xlsm [path/to/TKselect.bas path/to/TKselectExamples.bas]

The sheets are written with xlsxwriter (Debian's python3-xlsxwriter). The macro project,
xl/vbaProject.bin, is written here from the module's text: a compound file holding the
project's streams, with every module's source compressed and no compiled cache, so that the
spreadsheet program compiles the source when it opens the workbook. Nothing of it is copied
from another workbook: the file is the same on every run for the same module text.

The project holds the standard modules TKselect (the library's module) and TKselectExamples
(the example macros), and one document module per sheet and for the workbook (empty apart from their attributes), under the code names the workbook's XML gives
them. The pieces are importable for the checks in tests/workbook/: compress/decompress,
encrypt/decrypt (the PROJECT stream's obfuscated fields), vba_project_streams and
compound_file.
"""
import io
import os
import re
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# =============================================================================================
# Compression of source text and of the dir stream: a signature byte, then chunks of at most
# 4096 bytes of input. A chunk is a 2-byte header and token sequences: a flag byte and up to
# eight tokens, each a literal byte or a 2-byte copy token (offset back into the chunk's
# output, length), whose split between offset and length bits grows with the position.
# =============================================================================================

CHUNK = 4096


def _copy_token_help(difference):
    """Bits of offset, the length mask and the longest copy at `difference` bytes into a chunk."""
    bit_count = 4
    while (1 << bit_count) < difference:
        bit_count += 1
    length_mask = 0xFFFF >> bit_count
    return bit_count, length_mask, length_mask + 3


def _best_match(data, start, current, end, chains):
    """The longest earlier match in the chunk for data[current:], the nearest of equal ones.

    The search looks back from the nearest position and keeps a candidate only when it is
    strictly longer, so equal lengths go to the nearest: the bytes out are then the same as a
    plain scan of every position would give. Only positions whose first three bytes agree can
    give a copy (three bytes is the shortest), so only those are tried, newest first."""
    if end - current < 3:
        return 0, 0
    best_length, best_candidate = 0, 0
    for candidate in reversed(chains.get(data[current:current + 3], ())):
        # A candidate beats the best only if it also agrees at the best length's end.
        if best_length and (current + best_length >= end
                            or data[candidate + best_length] != data[current + best_length]):
            continue
        length = 3
        while current + length < end and data[candidate + length] == data[current + length]:
            length += 1
        if length > best_length:
            best_length, best_candidate = length, candidate
    return best_length, best_candidate


def _compress_chunk(data, start, end):
    """The token sequences of data[start:end]."""
    out = bytearray()
    chains = {}
    current = start

    def remember(position):
        if position + 3 <= end:
            chains.setdefault(data[position:position + 3], []).append(position)

    while current < end:
        flag_at = len(out)
        out.append(0)
        flags = 0
        for index in range(8):
            if current >= end:
                break
            length, candidate = _best_match(data, start, current, end, chains)
            if length >= 3:
                bit_count, _, maximum = _copy_token_help(current - start)
                length = min(length, maximum)
                offset = current - candidate
                out += struct.pack("<H", ((offset - 1) << (16 - bit_count)) | (length - 3))
                flags |= 1 << index
                for position in range(current, current + length):
                    remember(position)
                current += length
            else:
                out.append(data[current])
                remember(current)
                current += 1
        out[flag_at] = flags
    return out


def compress(data):
    """The compressed container of `data` (bytes)."""
    data = bytes(data)
    out = bytearray(b"\x01")
    for start in range(0, len(data), CHUNK):
        end = min(start + CHUNK, len(data))
        body = _compress_chunk(data, start, end)
        if len(body) <= CHUNK:
            # Size field: the chunk's bytes with the header, less 3; signature 0b011; flag 1.
            out += struct.pack("<H", 0xB000 | (len(body) + 2 - 3))
            out += body
        else:
            # Incompressible: the bytes as they are, always 4096 of them (a shorter last
            # chunk is padded with zero bytes, which a reader gets back as well).
            out += struct.pack("<H", 0x3FFF)
            out += data[start:end] + bytes(CHUNK - (end - start))
    return bytes(out)


def decompress(container):
    """The bytes of a compressed container; ValueError names what is malformed and where."""
    container = bytes(container)
    if not container or container[0] != 0x01:
        raise ValueError("compressed container: the first byte is not the signature 0x01")
    out = bytearray()
    position = 1
    while position < len(container):
        if position + 2 > len(container):
            raise ValueError("compressed container: a chunk header is cut off at byte %d"
                             % position)
        header = struct.unpack_from("<H", container, position)[0]
        size = (header & 0x0FFF) + 3
        if (header >> 12) & 0x7 != 0b011:
            raise ValueError("compressed container: chunk at byte %d has signature %d, not 3"
                             % (position, (header >> 12) & 0x7))
        end = min(position + size, len(container))
        chunk_start = len(out)
        cursor = position + 2
        if not header & 0x8000:
            if size != CHUNK + 2 or position + size > len(container):
                raise ValueError("compressed container: uncompressed chunk at byte %d is not "
                                 "4096 bytes" % position)
            out += container[cursor:cursor + CHUNK]
        else:
            while cursor < end:
                flags = container[cursor]
                cursor += 1
                for index in range(8):
                    if cursor >= end:
                        break
                    if not flags & (1 << index):
                        out.append(container[cursor])
                        cursor += 1
                        continue
                    if cursor + 2 > end:
                        raise ValueError("compressed container: copy token cut off at byte %d"
                                         % cursor)
                    token = struct.unpack_from("<H", container, cursor)[0]
                    cursor += 2
                    difference = len(out) - chunk_start
                    bit_count, length_mask, _ = _copy_token_help(difference)
                    length = (token & length_mask) + 3
                    offset = (token >> (16 - bit_count)) + 1
                    if offset > difference:
                        raise ValueError("compressed container: copy token at byte %d reaches "
                                         "%d bytes back, before its chunk" % (cursor - 2, offset))
                    source = len(out) - offset
                    for step in range(length):
                        out.append(out[source + step])
        position += size
    return bytes(out)


# =============================================================================================
# The PROJECT stream's protection fields (CMG, DPB, GC) are obfuscated bytes, keyed on the
# project's identifier.
# =============================================================================================


def _project_key(project_id):
    return sum(project_id.encode("ascii")) & 0xFF


def encrypt(project_id, data, seed, ignored):
    """The obfuscated form of `data`, as hex digits; `ignored` holds (seed & 6) // 2 bytes."""
    if len(ignored) != (seed & 6) // 2:
        raise ValueError("encrypt: seed %#04x takes %d filler bytes, not %d"
                         % (seed, (seed & 6) // 2, len(ignored)))
    version, key = 2, _project_key(project_id)
    out = bytearray([seed, seed ^ version, seed ^ key])
    plain1, enc1, enc2 = key, seed ^ key, seed ^ version
    for byte in bytes(ignored) + struct.pack("<I", len(data)) + bytes(data):
        encrypted = byte ^ ((enc2 + plain1) & 0xFF)
        out.append(encrypted)
        enc2, enc1, plain1 = enc1, encrypted, byte
    return out.hex().upper()


def decrypt(text):
    """(data, project key, filler bytes, seed) of an obfuscated field's hex digits."""
    raw = bytes.fromhex(text)
    if len(raw) < 7:
        raise ValueError("decrypt: %d bytes are too few" % len(raw))
    seed = raw[0]
    version, key = raw[1] ^ seed, raw[2] ^ seed
    if version != 2:
        raise ValueError("decrypt: version %d, not 2" % version)
    plain1, enc1, enc2 = key, raw[2], raw[1]
    plain = bytearray()
    for encrypted in raw[3:]:
        byte = encrypted ^ ((enc2 + plain1) & 0xFF)
        plain.append(byte)
        enc2, enc1, plain1 = enc1, encrypted, byte
    ignored_length = (seed & 6) // 2
    length = struct.unpack_from("<I", plain, ignored_length)[0]
    data = bytes(plain[ignored_length + 4:])
    if len(data) != length:
        raise ValueError("decrypt: %d data bytes where the length says %d" % (len(data), length))
    return data, key, bytes(plain[:ignored_length]), seed


# =============================================================================================
# The project's streams.
# =============================================================================================

PROJECT_ID = "{6DF8AE35-63F7-45C4-98F6-AECAE94CC840}"
PROJECT_NAME = "VBAProject"
CODE_PAGE = 1252
# The class behind each kind of document module: the workbook and a worksheet.
WORKBOOK_BASE = "0{00020819-0000-0000-C000-000000000046}"
WORKSHEET_BASE = "0{00020820-0000-0000-C000-000000000046}"
# Every project refers to OLE Automation's type library, as the macro editor's own do.
STDOLE_LIBID = ("*\\G{00020430-0000-0000-C000-000000000046}#2.0#0#"
                "C:\\Windows\\System32\\stdole2.tlb#OLE Automation")


def document_module_source(name, base):
    """The text of a document module with no code: its attributes only."""
    lines = ['Attribute VB_Name = "%s"' % name,
             'Attribute VB_Base = "%s"' % base,
             "Attribute VB_GlobalNameSpace = False",
             "Attribute VB_Creatable = False",
             "Attribute VB_PredeclaredId = True",
             "Attribute VB_Exposed = True",
             "Attribute VB_TemplateDerived = False",
             "Attribute VB_Customizable = True"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def module_name(source):
    """The module's name from its first line, Attribute VB_Name = "..."."""
    first = source.split(b"\r\n", 1)[0].split(b"\n", 1)[0]
    match = re.match(rb'Attribute VB_Name = "(\w+)"$', first)
    if not match:
        raise ValueError('the module does not begin with Attribute VB_Name = "Name"')
    return match.group(1).decode("ascii")


def _record(record_id, payload):
    return struct.pack("<HI", record_id, len(payload)) + payload


def _text_record(record_id, text, unicode_id=None):
    out = _record(record_id, text.encode("cp1252"))
    if unicode_id is not None:
        out += _record(unicode_id, text.encode("utf-16-le"))
    return out


def dir_stream(modules):
    """The uncompressed dir stream: project information, references, modules.

    modules: (name, is_document) in the project's order."""
    out = bytearray()
    out += _record(0x0001, struct.pack("<I", 1))            # SYSKIND: 32-bit Windows
    out += _record(0x0002, struct.pack("<I", 0x409))        # LCID
    out += _record(0x0014, struct.pack("<I", 0x409))        # LCIDINVOKE
    out += _record(0x0003, struct.pack("<H", CODE_PAGE))    # CODEPAGE
    out += _text_record(0x0004, PROJECT_NAME)               # NAME
    out += _text_record(0x0005, "", 0x0040)                 # DOCSTRING and its Unicode form
    out += _text_record(0x0006, "", 0x003D)                 # HELPFILEPATH, twice
    out += _record(0x0007, struct.pack("<I", 0))            # HELPCONTEXT
    out += _record(0x0008, struct.pack("<I", 0))            # LIBFLAGS
    # VERSION: its size field is fixed at 4 although 6 bytes follow (major, minor).
    out += struct.pack("<HIIH", 0x0009, 4, 1, 0)
    out += _text_record(0x000C, "", 0x003C)                 # CONSTANTS
    # The reference to OLE Automation: its name, then the registered library.
    out += _text_record(0x0016, "stdole", 0x003E)
    libid = STDOLE_LIBID.encode("cp1252")
    out += _record(0x000D, struct.pack("<I", len(libid)) + libid + struct.pack("<IH", 0, 0))
    out += _record(0x000F, struct.pack("<H", len(modules)))  # MODULES: count
    out += _record(0x0013, struct.pack("<H", 0xFFFF))       # PROJECTCOOKIE
    for name, is_document in modules:
        out += _record(0x0019, name.encode("cp1252"))       # MODULENAME
        out += _record(0x0047, name.encode("utf-16-le"))    # MODULENAMEUNICODE
        out += _text_record(0x001A, name, 0x0032)           # MODULESTREAMNAME
        out += _text_record(0x001C, "", 0x0048)             # MODULEDOCSTRING
        out += _record(0x0031, struct.pack("<I", 0))        # MODULEOFFSET: source at 0
        out += _record(0x001E, struct.pack("<I", 0))        # MODULEHELPCONTEXT
        out += _record(0x002C, struct.pack("<H", 0xFFFF))   # MODULECOOKIE
        out += _record(0x0022 if is_document else 0x0021, b"")  # MODULETYPE
        out += _record(0x002B, b"")                         # module terminator
    out += _record(0x0010, b"")                             # end of the stream
    return bytes(out)


def project_stream(documents, standard):
    """The PROJECT stream's text: modules, name, and the protection fields (none set)."""
    lines = ['ID="%s"' % PROJECT_ID]
    lines += ["Document=%s/&H00000000" % name for name in documents]
    lines += ["Module=%s" % name for name in standard]
    lines += ['Name="%s"' % PROJECT_NAME, 'HelpContextID="0"',
              'VersionCompatible32="393222000"',
              # Not locked for viewing (4 zero bytes), no password (one zero byte), visible
              # (0xFF); fixed seeds, so that the same module gives the same file.
              'CMG="%s"' % encrypt(PROJECT_ID, bytes(4), 0x1B, b"\x00"),
              'DPB="%s"' % encrypt(PROJECT_ID, b"\x00", 0x25, b"\x00\x00"),
              'GC="%s"' % encrypt(PROJECT_ID, b"\xff", 0x31, b""),
              "",
              "[Host Extender Info]",
              "&H00000001={3832D640-CF90-11CF-8E43-00A0C911005A};VBE;&H00000000",
              ""]
    return ("\r\n".join(lines) + "\r\n").encode("cp1252")


def projectwm_stream(names):
    """Each module's name in the code page and in UTF-16, each ended by a zero."""
    out = bytearray()
    for name in names:
        out += name.encode("cp1252") + b"\x00" + name.encode("utf-16-le") + b"\x00\x00"
    return bytes(out + b"\x00\x00")


def vba_project_streams(module_sources, workbook_code_name, sheet_code_names):
    """{path: bytes} of every stream of the project, paths such as "VBA/dir".

    module_sources: the standard modules' sources, in the project's order."""
    standard = [module_name(source) for source in module_sources]
    documents = [workbook_code_name] + list(sheet_code_names)
    if len(set(n.lower() for n in documents + standard)) != len(documents) + len(standard):
        raise ValueError("two modules share a name: %s" % ", ".join(documents + standard))
    sources = {workbook_code_name: document_module_source(workbook_code_name, WORKBOOK_BASE)}
    for name in sheet_code_names:
        sources[name] = document_module_source(name, WORKSHEET_BASE)
    sources.update(zip(standard, module_sources))
    modules = [(name, True) for name in documents] + [(name, False) for name in standard]
    streams = {
        "PROJECT": project_stream(documents, standard),
        "PROJECTwm": projectwm_stream([name for name, _ in modules]),
        # The 7-byte header without a compiled cache; version 0xFFFF says "compile the source".
        "VBA/_VBA_PROJECT": struct.pack("<HHBH", 0x61CC, 0xFFFF, 0x00, 0x0001),
        "VBA/dir": compress(dir_stream(modules)),
    }
    for name, _ in modules:
        streams["VBA/" + name] = compress(sources[name])
    return streams


# =============================================================================================
# The compound file: 512-byte sectors, one FAT, a directory of 128-byte entries; streams under
# 4096 bytes live in 64-byte sectors of the mini stream (the root entry's data).
# =============================================================================================

SECTOR = 512
MINI = 64
MINI_CUTOFF = 4096
FREESECT, ENDOFCHAIN, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF


def _name_key(name):
    # Siblings are ordered by name length first, then by upper-case letters.
    return (len(name), name.upper())


class _Entry:
    def __init__(self, name, kind, data=b""):
        self.name, self.kind, self.data = name, kind, data
        self.children = []
        self.left = self.right = self.child = NOSTREAM
        self.start, self.size = ENDOFCHAIN, 0


def _tree(entries):
    """Links sorted siblings into a balanced binary tree; returns the root's index."""
    if not entries:
        return NOSTREAM
    middle = len(entries) // 2
    root = entries[middle]
    root.left = _tree(entries[:middle])
    root.right = _tree(entries[middle + 1:])
    return root.index


def compound_file(streams):
    """The bytes of a compound file holding {path: bytes}, storages made from the paths."""
    root = _Entry("Root Entry", 5)
    storages = {"": root}
    order = [root]
    for path in sorted(streams):
        parts = path.split("/")
        parent = ""
        for depth, part in enumerate(parts):
            here = "/".join(parts[:depth + 1])
            if here not in storages:
                last = depth == len(parts) - 1
                entry = _Entry(part, 2 if last else 1, streams[path] if last else b"")
                if len(part) > 31:
                    raise ValueError("compound file: name longer than 31 characters: " + part)
                storages[parent].children.append(entry)
                storages[here] = entry
                order.append(entry)
            parent = here
    for index, entry in enumerate(order):
        entry.index = index
    for entry in order:
        entry.child = _tree(sorted(entry.children, key=lambda e: _name_key(e.name)))

    # Small streams into the mini stream, large ones into sectors of their own.
    mini_stream, mini_fat = bytearray(), []
    large = []
    for entry in order:
        if entry.kind != 2:
            continue
        entry.size = len(entry.data)
        if entry.size == 0:
            continue
        if entry.size < MINI_CUTOFF:
            first = len(mini_fat)
            count = -(-entry.size // MINI)
            mini_fat += list(range(first + 1, first + count)) + [ENDOFCHAIN]
            entry.start = first
            mini_stream += entry.data + bytes(count * MINI - entry.size)
        else:
            large.append(entry)

    def sectors(length):
        return -(-length // SECTOR)

    directory_sectors = sectors(len(order) * 128)
    mini_fat_sectors = sectors(len(mini_fat) * 4)
    mini_stream_sectors = sectors(len(mini_stream))
    data_sectors = (directory_sectors + mini_fat_sectors + mini_stream_sectors
                    + sum(sectors(e.size) for e in large))
    fat_sectors = 1
    while fat_sectors * SECTOR // 4 < data_sectors + fat_sectors:
        fat_sectors += 1
    if fat_sectors > 109:
        raise ValueError("compound file: too large for a header-only sector table")

    fat = [FATSECT] * fat_sectors
    body = bytearray()

    def place(data, count):
        first = len(fat)
        fat.extend(list(range(first + 1, first + count)) + [ENDOFCHAIN])
        body.extend(data + bytes(count * SECTOR - len(data)))
        return first

    directory_start = len(fat)
    fat.extend(list(range(directory_start + 1, directory_start + directory_sectors))
               + [ENDOFCHAIN])
    body.extend(bytes(directory_sectors * SECTOR))  # filled in below, once starts are known
    mini_fat_start = ENDOFCHAIN
    if mini_fat:
        mini_fat_start = place(b"".join(struct.pack("<I", v) for v in mini_fat),
                               mini_fat_sectors)
    if mini_stream:
        root.start = place(bytes(mini_stream), mini_stream_sectors)
        root.size = len(mini_stream)
    for entry in large:
        entry.start = place(entry.data, sectors(entry.size))

    directory = bytearray()
    for entry in order:
        name = entry.name.encode("utf-16-le") + b"\x00\x00"
        directory += name + bytes(64 - len(name))
        directory += struct.pack("<HBB", len(name), entry.kind, 1)  # every node black
        directory += struct.pack("<III", entry.left, entry.right, entry.child)
        directory += bytes(16 + 4 + 8 + 8)  # class id, state bits, creation and change times
        directory += struct.pack("<IQ", entry.start, entry.size)
    while len(directory) % SECTOR:
        # An unused entry: no name, no siblings, no child.
        directory += bytes(64 + 4) + struct.pack("<III", NOSTREAM, NOSTREAM, NOSTREAM)
        directory += bytes(128 - 80)
    body[0:len(directory)] = directory

    fat += [FREESECT] * (fat_sectors * SECTOR // 4 - len(fat))
    header = bytearray()
    header += bytes.fromhex("D0CF11E0A1B11AE1") + bytes(16)
    header += struct.pack("<HHHHH", 0x003E, 0x0003, 0xFFFE, 9, 6) + bytes(6)
    header += struct.pack("<IIIIIIIII", 0, fat_sectors, directory_start, 0, MINI_CUTOFF,
                          mini_fat_start, mini_fat_sectors, ENDOFCHAIN, 0)
    difat = list(range(fat_sectors)) + [FREESECT] * (109 - fat_sectors)
    header += b"".join(struct.pack("<I", v) for v in difat)
    fat_bytes = b"".join(struct.pack("<I", v) for v in fat)
    return bytes(header) + fat_bytes + bytes(body)


# =============================================================================================
# The workbook.
# =============================================================================================

WORKBOOK_CODE_NAME = "ThisWorkbook"


def sales_rows():
    regions = ["North", "South", "East", "West"]
    customers = [9, 10, 2, 21, 1, 12, 3, 11, 20, 4, 8, 13, 7, 19, 5, 14, 6, 18, 15, 16]
    quantities = [12, 5, 40, 7, 18, 3, 25, 9, 14, 30, 6, 22, 11, 2, 16, 8, 35, 4, 19, 27]
    prices = [4.5, 12.0, 1.25, 30.0, 7.8, 99.9, 2.4, 15.0, 6.6, 3.2, 45.0, 5.5, 8.75, 120.0,
              9.9, 18.5, 1.9, 60.0, 4.1, 2.75]
    rows = []
    for i, customer in enumerate(customers):
        region = regions[(i * 3 + customer) % 4]
        rows.append((region, "Customer %d" % customer, quantities[i], prices[i]))
    return rows


FILES = [("File2.txt", 1840), ("file10.txt", 523), ("File1.txt", 2048),
         ("report 3.pdf", 88412), ("report 12.pdf", 90211), ("notes.md", 1204),
         ("File20.txt", 77), ("report 1.pdf", 70563), ("image 7.png", 245760),
         ("image 10.png", 198004), ("image 9.png", 230112), ("file3.txt", 4410),
         ("Budget 2024.xlsx", 16384), ("budget 2023.xlsx", 15872), ("report 2.pdf", 69120),
         ("archive 11.zip", 1048576), ("archive 2.zip", 524288)]

PRIORITIES = [("Renew the office lease", "High", "Anna"),
              ("Order printer toner", "low", "Ben"),
              ("Fix the login page", "URGENT", "Chris"),
              ("Plan the team outing", "", "Dana"),
              ("Answer the auditor's letter", "Medium", "Anna"),
              ("Update the price list", "medium", "Erik"),
              ("Back up the file server", "high", "Chris"),
              ("Clean up the shared drive", "Low", "Ben"),
              ("Prepare the board slides", "Urgent", "Dana"),
              ("Test the new invoices", "MEDIUM", "Erik"),
              ("Book the trade fair stand", "", "Anna"),
              ("Replace the meeting room screen", "LOW", "Ben"),
              ("Review the supplier contracts", "High", "Dana"),
              ("Archive last year's orders", "low", "Chris"),
              ("Write the quarterly report", "Medium", "Erik"),
              ("Check the fire extinguishers", "Someday", "Ben")]

CONTACTS = [("Maria Lopez", "maria.lopez@northwind.example", "Madrid"),
            ("John Smith", "jsmith@contoso.example", "Chicago"),
            ("Aiko Tanaka", "aiko@fabrikam.example", "Osaka"),
            ("Lars Berg", "lars.berg@contoso.example", "Oslo"),
            ("Fatima Khan", "f.khan@adventure.example", "Leeds"),
            ("Pierre Martin", "pmartin@fabrikam.example", "Lyon"),
            ("Anna Novak", "anna.novak@northwind.example", "Prague"),
            ("David Cohen", "dcohen@adventure.example", "Haifa"),
            ("Sofia Rossi", "sofia.rossi@contoso.example", "Turin"),
            ("Ben Carter", "ben@wingtip.example", "Denver"),
            ("Eva Schmidt", "eva.schmidt@fabrikam.example", "Bremen"),
            ("Omar Haddad", "omar.h@wingtip.example", "Amman"),
            ("Lena Fischer", "lena@adventure.example", "Graz"),
            ("Tom Wilson", "tom.wilson@northwind.example", "Leeds"),
            ("Chloe Dubois", "chloe.dubois@contoso.example", "Nantes")]

EXPORT = [("Customer 7", "East", 1250.0), ("Customer 12", "North", 310.5),
          ("Customer 1", "West", 4800.0), ("Customer 20", "South", 75.25),
          ("Customer 3", "North", 990.0), ("Customer 10", "East", 2210.0),
          ("Customer 2", "South", 150.0), ("Customer 15", "West", 640.8),
          ("Customer 9", "North", 3325.0), ("Customer 11", "South", 58.0),
          ("Customer 4", "East", 1785.4), ("Customer 22", "West", 402.0),
          ("Customer 5", "North", 2600.0), ("Customer 18", "East", 129.99),
          ("Customer 8", "South", 845.0), ("Customer 13", "West", 1999.0)]

# (sheet name, code name, instruction in A1)
SHEETS = [
    ("Sales", "SheetSales",
     "Run the macro ExampleSortRange (Alt+F8): sorts the table by region, then customer in "
     "natural order. ExampleSortIndex prints the rows by amount, largest first, to the "
     "Immediate window."),
    ("Files", "SheetFiles",
     "Run the macro ExampleSortFiles (Alt+F8): sorts the file names in natural order "
     "(File2.txt before file10.txt)."),
    ("Priorities", "SheetPriorities",
     "Run the macro ExampleCustomOrder (Alt+F8): sorts by priority in the order Low, Medium, "
     "High, other values after them, then by task."),
    ("Contacts", "SheetContacts",
     "Run the macro ExampleKeyRoutine (Alt+F8): sorts by the e-mail address's domain (the "
     "text after @), then by name."),
    ("Export", "SheetExport",
     "Run the macro ExampleExport (Alt+F8): sorts the customers in natural order and exports "
     "customer and region into the two columns right of the table."),
]


def write_workbook(path, module_sources):
    import xlsxwriter  # Debian's python3-xlsxwriter

    streams = vba_project_streams(module_sources, WORKBOOK_CODE_NAME,
                                  [code for _, code, _ in SHEETS])
    project = compound_file(streams)

    workbook = xlsxwriter.Workbook(path)
    workbook.set_vba_name(WORKBOOK_CODE_NAME)
    header = workbook.add_format({"bold": True, "bottom": 1})
    note = workbook.add_format({"italic": True, "font_color": "#404040"})
    money = workbook.add_format({"num_format": "#,##0.00"})
    whole = workbook.add_format({"num_format": "#,##0"})
    sheets = {}
    for name, code, instruction in SHEETS:
        sheet = workbook.add_worksheet(name)
        sheet.set_vba_name(code)
        sheet.write_string(0, 0, instruction, note)
        sheets[name] = sheet

    def table(sheet, headers, rows, first_column=0, formats=()):
        for c, text in enumerate(headers):
            sheet.write_string(2, first_column + c, text, header)
        for r, row in enumerate(rows):
            for c, value in enumerate(row):
                cell_format = formats[c] if c < len(formats) else None
                if isinstance(value, str):
                    if value:
                        sheet.write_string(3 + r, first_column + c, value, cell_format)
                else:
                    sheet.write_number(3 + r, first_column + c, value, cell_format)

    sales = sheets["Sales"]
    rows = sales_rows()
    table(sales, ["Region", "Customer", "Quantity", "Price", "Amount"], rows,
          formats=(None, None, None, money))
    for r, (_, _, quantity, price) in enumerate(rows):
        # The amount is a formula; its value is stored as well, so that the sheet shows it
        # before anything recalculates.
        sales.write_formula(3 + r, 4, "=C%d*D%d" % (4 + r, 4 + r), money,
                            round(quantity * price, 2))
    for column, width in enumerate([10, 14, 10, 10, 12]):
        sales.set_column(column, column, width)

    table(sheets["Files"], ["Name", "Size"], FILES, formats=(None, whole))
    sheets["Files"].set_column(0, 0, 20)
    sheets["Files"].set_column(1, 1, 12)

    table(sheets["Priorities"], ["Task", "Priority", "Owner"], PRIORITIES)
    for column, width in enumerate([34, 10, 10]):
        sheets["Priorities"].set_column(column, column, width)

    table(sheets["Contacts"], ["Name", "Email", "City"], CONTACTS)
    for column, width in enumerate([16, 32, 12]):
        sheets["Contacts"].set_column(column, column, width)

    export = sheets["Export"]
    table(export, ["Customer", "Region", "Amount"], EXPORT, formats=(None, None, money))
    # The destination: one blank column after the table, its header at the same height.
    table(export, ["Customer", "Region"], [], first_column=len(EXPORT[0]) + 1)
    for column, width in enumerate([14, 10, 12, 4, 14, 10]):
        export.set_column(column, column, width)

    workbook.add_vba_project(io.BytesIO(project), is_stream=True)
    workbook.close()
    return streams


def main(argv):
    if len(argv) not in (2, 4) or not argv[1].lower().endswith(".xlsm"):
        sys.exit("usage: make_workbook.py OUT.xlsm [TKselect.bas TKselectExamples.bas]")
    module_paths = argv[2:] or [os.path.join(ROOT, "vba", name)
                                for name in ("TKselect.bas", "TKselectExamples.bas")]
    sources = []
    for module_path in module_paths:
        with open(module_path, "rb") as f:
            sources.append(f.read())
        try:
            sources[-1].decode("cp1252")
            module_name(sources[-1])
        except (UnicodeDecodeError, ValueError) as error:
            sys.exit("make_workbook: %s: %s" % (module_path, error))
    try:
        write_workbook(argv[1], sources)
    except ValueError as error:
        sys.exit("make_workbook: %s" % error)
    print("make_workbook: %s (modules %s)" % (argv[1], ", ".join(
        "%s, %d bytes" % (module_name(source), len(source)) for source in sources)))


if __name__ == "__main__":
    main(sys.argv)
