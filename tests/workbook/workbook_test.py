#!/usr/bin/python3
"""The sample workbook TKselect-examples.xlsm, read back by readers other than its writer.

    /usr/bin/python3 tests/workbook/workbook_test.py path/to/TKselect-examples.xlsm \
        [path/to/TKselect.bas path/to/TKselectExamples.bas]

- The compression of module sources (scripts/make_workbook.py) against the byte arrays the
  VBA file format's documentation publishes, and round trips through our decompressor; the
  obfuscation of the PROJECT stream's protection fields against the documentation's example.
- The macro project inside the .xlsm, opened by olefile (Debian's python3-olefile, a reader
  written by others): its streams are exactly the ones expected, the dir stream lists the
  modules the streams hold, the document modules carry the code names of the workbook's XML,
  and the standard modules' sources, decompressed, are vba/TKselect.bas and
  vba/TKselectExamples.bas byte for byte.
- The office suite (headless, through its UNO bridge, as tests/module/module_test.py runs it)
  opens the .xlsm: the sheets are laid out as the examples expect, the Basic library it
  imported from the project holds the modules with the texts of vba/, the module checks of
  tests/module/checks.bas pass on the modules as loaded from the workbook, and every
  Example... macro, run from the workbook as a user runs it, reaches its outcome in this
  suite, which cannot load the library: the status text TKS_NO_LIBRARY (1001) with its text,
  shown in a message box, and its sheet as it was.

Exit code 0 when every check passed.
"""
import os
import random
import re
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "module"))

import olefile  # noqa: E402  (python3-olefile)

import make_workbook as mw  # noqa: E402

failures = []


def check(name, problem):
    """Records one check: problem is "" when it passed, else what went wrong."""
    print("%-4s %s%s" % ("ok" if not problem else "FAIL", name,
                         ": " + problem if problem else ""))
    if problem:
        failures.append(name)


def differs(label, got, expected):
    if got == expected:
        return ""
    if isinstance(got, (bytes, bytearray)) and isinstance(expected, (bytes, bytearray)):
        at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                  min(len(got), len(expected)))
        return "%s: %d bytes against %d expected, first difference at byte %d" % (
            label, len(got), len(expected), at)
    if isinstance(got, str) and isinstance(expected, str):
        got_lines, expected_lines = got.split("\n"), expected.split("\n")
        at = next((i for i, (a, b) in enumerate(zip(got_lines, expected_lines)) if a != b),
                  min(len(got_lines), len(expected_lines)))
        return "%s: %d lines against %d expected, first difference in line %d: %r, expected %r" % (
            label, len(got_lines), len(expected_lines), at + 1,
            (got_lines + [None])[at], (expected_lines + [None])[at])
    return "%s: %r, expected %r" % (label, got, expected)


# =============================================================================================
# Compression
# =============================================================================================

# The documentation's examples: text in, compressed container out (one chunk each: only
# literals; literals and copy tokens; one literal and one copy token of the longest kind).
PUBLISHED_COMPRESSION = [
    ("no compression", b"abcdefghijklmnopqrstuv.",
     "01 19 B0 00 61 62 63 64 65 66 67 68 00 69 6A 6B 6C 6D 6E 6F 70 00 71 72 73 74 75 76 2E"),
    ("normal compression", b"#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa",
     "01 2F B0 00 23 61 61 61 62 63 64 65 82 66 00 70 61 67 68 69 6A 01 38 08 61 6B 6C 00 20 "
     "6D 6E 6F 70 06 71 02 70 04 00 72 73 74 75 76 10 77 78 79 7A 00 2C"),
    ("maximum compression", b"a" * 73, "01 03 B0 02 61 45 00"),
]


def chunk_kinds(container):
    """'C' for a compressed chunk, 'R' for a raw one, in order."""
    kinds, position = "", 1
    while position < len(container):
        header = struct.unpack_from("<H", container, position)[0]
        kinds += "C" if header & 0x8000 else "R"
        position += (header & 0x0FFF) + 3
    return kinds


def compression_checks(module_source):
    for name, plain, hex_bytes in PUBLISHED_COMPRESSION:
        packed = bytes.fromhex(hex_bytes)
        check("compress: %s example" % name, differs("compressed", mw.compress(plain), packed))
        check("decompress: %s example" % name, differs("decompressed", mw.decompress(packed),
                                                       plain))

    rng = random.Random(20261207)
    noise = bytes(rng.getrandbits(8) for _ in range(3 * 4096 + 100))
    block = bytes(rng.getrandbits(8) for _ in range(300))
    tail = bytes(rng.getrandbits(8) for _ in range(4000))
    # (name, data, what decompression gives back, chunk kinds of the container)
    round_trips = [
        ("the module's source", module_source, module_source, None),
        ("nothing", b"", b"", ""),
        ("one byte", b"x", b"x", "C"),
        ("a run over three chunks", b"a" * 10000, b"a" * 10000, "CCC"),
        ("a block repeated over five chunks", block * 64, block * 64, "CCCCC"),
        ("random bytes, three full chunks stored raw", noise, noise, "RRRC"),
        # A last chunk that does not compress is stored raw as well, which takes 4096
        # bytes: the reader gets the zero bytes that filled it.
        ("random bytes, a short last chunk stored raw", tail, tail + bytes(96), "R"),
    ]
    for name, data, expected, kinds in round_trips:
        packed = mw.compress(data)
        problem = differs("round trip", mw.decompress(packed), expected)
        if not problem and kinds is not None:
            problem = differs("chunks", chunk_kinds(packed), kinds)
        if not problem and len(data) > 1000 and kinds and "R" not in kinds and \
                len(packed) * 4 > len(data):
            problem = "%d bytes compressed to %d" % (len(data), len(packed))
        check("compress and decompress: " + name, problem)

    # Malformed containers: a clear refusal, never a crash or a silent short result.
    malformed = [
        ("empty", b"", "signature"),
        ("wrong signature", b"\x02\x19\xb0\x00a", "signature"),
        ("header cut off", b"\x01\x19", "cut off"),
        ("wrong chunk signature", b"\x01\x19\xa0\x00a", "signature"),
        ("copy token before the chunk", b"\x01\x02\xb0\x01\x00\x00", "before its chunk"),
        ("raw chunk too short", b"\x01\xff\x3f" + b"a" * 100, "not 4096"),
    ]
    for name, data, words in malformed:
        try:
            mw.decompress(data)
            problem = "accepted"
        except ValueError as error:
            problem = "" if words in str(error) else "message %r lacks %r" % (str(error), words)
        check("decompress refuses: " + name, problem)


# The documentation's PROJECT stream example: its identifier and the three protection fields
# (not locked, no password, visible).
PUBLISHED_PROTECTION_ID = "{917DED54-440B-4FD1-A5C1-74ACF261E600}"
PUBLISHED_PROTECTION = [
    ("CMG", "0705D8E3D8EDDBF1DBF1DBF1DBF1", bytes(4)),
    ("DPB", "0E0CD1ECDFF4E7F5E7F5E7", b"\x00"),
    ("GC", "1517CAF1D6F9D7F9D706", b"\xff"),
]


def protection_checks():
    key = sum(PUBLISHED_PROTECTION_ID.encode("ascii")) & 0xFF
    for name, text, data in PUBLISHED_PROTECTION:
        got, got_key, ignored, seed = mw.decrypt(text)
        problem = differs("data", got, data) or differs("key", got_key, key)
        if not problem:
            problem = differs("encrypted again", mw.encrypt(PUBLISHED_PROTECTION_ID, data, seed,
                                                            ignored), text)
        check("protection field %s of the published example" % name, problem)


# =============================================================================================
# The workbook's project, read by olefile
# =============================================================================================

# The code names the module's examples and the sheets agree on.
SHEET_CODE_NAMES = ["SheetSales", "SheetFiles", "SheetPriorities", "SheetContacts",
                    "SheetExport"]


def dir_records(data):
    """(id, payload) of every record of an uncompressed dir stream."""
    records, position = [], 0
    while position < len(data):
        record_id, size = struct.unpack_from("<HI", data, position)
        position += 6
        if record_id == 0x0009:
            size = 6  # the version record's size field says 4 but 6 bytes follow
        records.append((record_id, data[position:position + size]))
        position += size
    return records


def dir_modules(data):
    """[(name, stream name, source offset, is_document)] from a dir stream's records."""
    modules, current = [], None
    for record_id, payload in dir_records(data):
        if record_id == 0x0019:
            current = {"name": payload.decode("cp1252")}
        elif record_id == 0x001A:
            current["stream"] = payload.decode("cp1252")
        elif record_id == 0x0031:
            current["offset"] = struct.unpack("<I", payload)[0]
        elif record_id in (0x0021, 0x0022):
            current["document"] = record_id == 0x0022
        elif record_id == 0x002B:
            modules.append((current["name"], current["stream"], current["offset"],
                            current["document"]))
    return modules


def tree_problems(ole):
    """What breaks the directory's sibling trees, which a reader searches by name: each
    storage's children in order (shorter names first, then by upper-case letters), reached
    from the storage, and no red node under a red one."""
    entries = ole.direntries
    NOSTREAM = 0xFFFFFFFF

    def walk(sid, parent_red, out):
        if sid == NOSTREAM:
            return ""
        entry = entries[sid]
        if entry.color == 0 and parent_red:
            return "red %s under a red node" % entry.name
        problem = walk(entry.sid_left, entry.color == 0, out)
        out.append(entry.name)
        return problem or walk(entry.sid_right, entry.color == 0, out)

    reached = 0
    for entry in entries:
        if entry is None or entry.entry_type not in (olefile.STGTY_STORAGE, olefile.STGTY_ROOT):
            continue
        names = []
        problem = walk(entry.sid_child, False, names)
        if problem:
            return problem
        if names != sorted(names, key=lambda n: (len(n), n.upper())):
            return "the children of %s are out of order: %s" % (entry.name, ", ".join(names))
        reached += len(names)
    used = sum(1 for e in entries if e is not None and e.entry_type != olefile.STGTY_EMPTY)
    return "" if reached == used - 1 else "%d of %d entries reached" % (reached, used - 1)


def xml_code_names(archive):
    """The workbook's code name and the sheets' code names, as its XML parts give them."""
    workbook = archive.read("xl/workbook.xml").decode("utf-8")
    match = re.search(r'<workbookPr\b[^>]*\bcodeName="(\w+)"', workbook)
    sheets = []
    for index in range(1, len(SHEET_CODE_NAMES) + 1):
        part = archive.read("xl/worksheets/sheet%d.xml" % index).decode("utf-8")
        sheet = re.search(r'<sheetPr\b[^>]*\bcodeName="(\w+)"', part)
        sheets.append(sheet.group(1) if sheet else None)
    return (match.group(1) if match else None), sheets


def project_checks(workbook_path, module_sources):
    archive = zipfile.ZipFile(workbook_path)
    content_types = archive.read("[Content_Types].xml").decode("utf-8")
    check("the workbook is macro-enabled",
          "" if "sheet.macroEnabled.main+xml" in content_types
          and "application/vnd.ms-office.vbaProject" in content_types
          else "[Content_Types].xml does not declare a macro workbook with a project")
    ole = olefile.OleFileIO(archive.read("xl/vbaProject.bin"))
    standard = [mw.module_name(source) for source in module_sources]
    documents = ["ThisWorkbook"] + SHEET_CODE_NAMES
    streams = sorted("/".join(path) for path in ole.listdir(streams=True, storages=False))
    expected = sorted(["PROJECT", "PROJECTwm", "VBA/_VBA_PROJECT", "VBA/dir"]
                      + ["VBA/" + name for name in documents + standard])
    check("the project's streams", differs("streams", streams, expected))
    check("the project's directory trees", tree_problems(ole))
    check("the project's compiled cache is left out",
          differs("VBA/_VBA_PROJECT", ole.openstream("VBA/_VBA_PROJECT").read()[:4],
                  b"\xcc\x61\xff\xff"))

    modules = dir_modules(mw.decompress(ole.openstream("VBA/dir").read()))
    check("the dir stream's modules",
          differs("modules", modules, [(n, n, 0, True) for n in documents]
                  + [(n, n, 0, False) for n in standard]))

    project = ole.openstream("PROJECT").read().decode("cp1252")
    listed = re.findall(r"^(Document|Module)=(\w+)", project, re.M)
    check("the PROJECT stream's modules",
          differs("modules", listed, [("Document", n) for n in documents]
                  + [("Module", n) for n in standard]))
    protection = dict(re.findall(r'^(CMG|DPB|GC)="([0-9A-F]+)"', project, re.M))
    project_id = re.search(r'^ID="(\{[0-9A-F-]+\})"', project, re.M).group(1)
    states = {}
    for name in ("CMG", "DPB", "GC"):
        data, key, _, _ = mw.decrypt(protection[name])
        states[name] = (data, key == sum(project_id.encode("ascii")) & 0xFF)
    check("the project is unlocked, without password, visible",
          differs("protection", states, {"CMG": (bytes(4), True), "DPB": (b"\x00", True),
                                         "GC": (b"\xff", True)}))

    code_names = xml_code_names(archive)
    check("the code names of the workbook's XML",
          differs("code names", code_names, ("ThisWorkbook", SHEET_CODE_NAMES)))

    sources = {name: mw.decompress(ole.openstream("VBA/" + name).read()[offset:])
               for name, _, offset, _ in modules}
    for name, source in zip(standard, module_sources):
        check("the standard module %s's source is vba/%s.bas" % (name, name),
              differs("source", sources.get(name), source))
    for name in documents:
        source = sources.get(name, b"")
        check("document module %s names itself" % name,
              "" if source.startswith(('Attribute VB_Name = "%s"\r\n' % name).encode())
              and b"Attribute VB_Base = " in source else "source begins %r" % source[:60])


# =============================================================================================
# The workbook in the office suite
# =============================================================================================

# (sheet, code name, macro named in A1, header row from A3, more headers after a blank column)
SHEET_LAYOUT = [
    ("Sales", "SheetSales", "ExampleSortRange",
     ["Region", "Customer", "Quantity", "Price", "Amount"], []),
    ("Files", "SheetFiles", "ExampleSortFiles", ["Name", "Size"], []),
    ("Priorities", "SheetPriorities", "ExampleCustomOrder", ["Task", "Priority", "Owner"], []),
    ("Contacts", "SheetContacts", "ExampleKeyRoutine", ["Name", "Email", "City"], []),
    ("Export", "SheetExport", "ExampleExport", ["Customer", "Region", "Amount"],
     ["Customer", "Region"]),
]

# What the suite's import makes of a standard module's source: a first line
# "Rem Attribute VBA_ModuleType=VBAModule" (VBADocumentModule for a sheet's or the
# workbook's), then "Option VBASupport 1"; the source follows without its Attribute lines,
# lines ended by LF instead of CR LF, and one more line end at the end.
IMPORT_PREFIX = "Rem Attribute VBA_ModuleType=%s\nOption VBASupport 1\n"


def as_imported(source, module_type):
    lines = source.decode("cp1252").split("\r\n")
    while lines and lines[0].startswith("Attribute "):
        lines.pop(0)
    return IMPORT_PREFIX % module_type + "\n".join(lines) + "\n"


def sheet_problems(sheet, macro, headers, more_headers):
    """What is wrong with one example sheet's layout, or ""."""
    text = sheet.getCellByPosition(0, 0).String
    if not text.startswith("Run the macro %s (Alt+F8): " % macro):
        return "A1 says %r" % text
    if any(sheet.getCellByPosition(c, 1).String for c in range(8)):
        return "row 2 is not blank"
    width = len(headers) + (1 + len(more_headers) if more_headers else 0)
    got = [sheet.getCellByPosition(c, 2).String for c in range(width + 1)]
    expected = headers + ([""] + more_headers if more_headers else []) + [""]
    if got != expected:
        return "row 3 holds %r, expected %r" % (got, expected)
    rows = 0
    while sheet.getCellByPosition(0, 3 + rows).String:
        rows += 1
    if not 15 <= rows <= 25:
        return "%d data rows" % rows
    if sheet.getCellByPosition(0, 3 + rows + 1).String:
        return "a blank row inside the table below row %d" % (4 + rows)
    return ""


def sales_problems(sheet):
    """The Sales sheet's amounts are formulas of quantity and price, showing their value."""
    row = 3
    while sheet.getCellByPosition(0, row).String:
        formula = sheet.getCellByPosition(4, row).Formula
        if formula != "=C%d*D%d" % (row + 1, row + 1):
            return "E%d holds %r" % (row + 1, formula)
        product = sheet.getCellByPosition(2, row).Value * sheet.getCellByPosition(3, row).Value
        if abs(sheet.getCellByPosition(4, row).Value - product) > 1e-9:
            return "E%d shows %r, not %r" % (row + 1, sheet.getCellByPosition(4, row).Value,
                                             product)
        row += 1
    return ""


# Every example macro: the sheet it runs on (None for those without one). Each must end in
# this suite, which cannot load the library, with the module's status TKS_NO_LIBRARY.
EXAMPLES = [("Sales", "ExampleSortRange"), ("Sales", "ExampleSortIndex"),
            ("Files", "ExampleSortFiles"), ("Priorities", "ExampleCustomOrder"),
            ("Contacts", "ExampleKeyRoutine"), ("Export", "ExampleExport"),
            (None, "ExampleSortArray"), (None, "ExampleAbout")]
NO_LIBRARY = "[1001]tkselect.dll could not be called"

# A module the test adds to the workbook's library (nothing is saved): it empties the status
# text before each example, through a request that stops at its first check, so that a text
# left by an earlier example cannot pass for the next one's.
STATUS_MODULE = """Option VBASupport 1
Public Function ForgetStatus() As String
    On Error Resume Next
    TKSortArray 5, ""
    ForgetStatus = TKLastStatusText()
End Function
"""


def sheet_cells(sheet):
    """Every cell of the sheet's used area: formula (a value's text) and value."""
    cursor = sheet.createCursor()
    cursor.gotoEndOfUsedArea(False)
    end = cursor.RangeAddress
    return [(sheet.getCellByPosition(c, r).Formula, sheet.getCellByPosition(c, r).Value)
            for r in range(end.EndRow + 1) for c in range(end.EndColumn + 1)]


def example_checks(document, library_name):
    """Runs every example from the workbook as a user would: its sheet active, the macro by
    name. Each must leave the status text of TKS_NO_LIBRARY and its sheet as it was."""
    library = document.BasicLibraries.getByName(library_name)
    library.insertByName("TestStatus", STATUS_MODULE)
    provider = document.getScriptProvider()

    def run(module, name):
        return provider.getScript("vnd.sun.star.script:%s.%s.%s?language=Basic&location=document"
                                  % (library_name, module, name)).invoke((), (), ())[0]

    for sheet_name, macro in EXAMPLES:
        cleared = run("TestStatus", "ForgetStatus")
        sheet = document.Sheets.getByName(sheet_name or "Sales")
        document.CurrentController.setActiveSheet(sheet)
        before = sheet_cells(sheet)
        run("TKselectExamples", macro)
        status = run("TKselect", "TKLastStatusText") or ""
        problem = ""
        if cleared != "":
            problem = "the status text was not emptied before: %r" % cleared
        elif not status.startswith(NO_LIBRARY):
            problem = "status text %r" % status
        elif sheet_cells(sheet) != before:
            problem = "sheet %s changed" % sheet.Name
        check("%s, run from the workbook, ends with TKS_NO_LIBRARY" % macro, problem)
    library.removeByName("TestStatus")


def office_checks(workbook_path, module_sources):
    """Opens the workbook in the suite and runs its examples; returns the standard modules'
    texts as loaded, or None."""
    import tempfile

    import uno
    from com.sun.star.beans import PropertyValue

    import module_test

    def prop(name, value):
        p = PropertyValue()
        p.Name, p.Value = name, value
        return p

    work = tempfile.mkdtemp(prefix="tkselect-workbook-")
    pipe = "tkselect_workbook_%d" % os.getpid()
    office = module_test.start_office(os.path.join(work, "profile"), pipe)
    loaded = None
    names = [mw.module_name(source) for source in module_sources]
    try:
        context = module_test.connect(pipe, office)
        desktop = context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", context)
        document = desktop.loadComponentFromURL(
            uno.systemPathToFileUrl(os.path.abspath(workbook_path)), "_blank", 0,
            (prop("Hidden", True),))
        check("the suite opens the workbook", "" if document else "nothing loaded")
        if document:
            sheets = document.Sheets
            check("the sheets and their code names",
                  differs("sheets", [(s.Name, s.CodeName) for s in sheets],
                          [(name, code) for name, code, _, _, _ in SHEET_LAYOUT]))
            for name, _, macro, headers, more in SHEET_LAYOUT:
                if sheets.hasByName(name):
                    check("sheet %s is laid out for %s" % (name, macro),
                          sheet_problems(sheets.getByName(name), macro, headers, more))
            if sheets.hasByName("Sales"):
                check("sheet Sales computes its amounts",
                      sales_problems(sheets.getByName("Sales")))

            libraries = document.BasicLibraries
            holding = [name for name in libraries.ElementNames
                       if (libraries.loadLibrary(name) or True)
                       and all(libraries.getByName(name).hasByName(n) for n in names)]
            check("one Basic library holds the modules",
                  differs("libraries", len(holding), 1))
            if len(holding) == 1:
                library = libraries.getByName(holding[0])
                loaded = []
                for name, source in zip(names, module_sources):
                    text = library.getByName(name)
                    check("the imported module %s's text is vba/%s.bas" % (name, name),
                          differs("text", text, as_imported(source, "VBAModule")))
                    if text.startswith(IMPORT_PREFIX % "VBAModule"):
                        loaded.append(text[len(IMPORT_PREFIX % "VBAModule"):])
                if len(loaded) != len(names):
                    loaded = None
                for code in ["ThisWorkbook"] + SHEET_CODE_NAMES:
                    got = library.getByName(code) if library.hasByName(code) else None
                    expected = as_imported(mw.document_module_source(code, ""),
                                           "VBADocumentModule")
                    check("the imported document module %s" % code,
                          differs("text", got, expected))
                example_checks(document, holding[0])
            document.close(True)
        module_test.terminate(desktop)
    finally:
        module_test.stop_office(office, work)
    return loaded


def office_checks_once_more(workbook_path, module_sources):
    """office_checks, run once more in a fresh office suite when the suite itself failed in
    the middle (it aborts now and then on a loaded machine, and then leaves its lock file
    beside the workbook, which makes the next suite refuse to open it). Only the second run's
    results count; a fault that comes back is raised."""
    import module_test
    first = len(failures)
    try:
        return office_checks(workbook_path, module_sources)
    except Exception as e:
        if not module_test.office_fault(e):
            raise
        reason = (str(e).splitlines() or [type(e).__name__])[0]
        print("note the office suite failed during the checks (%s); they run once more in a "
              "fresh one" % reason)
    del failures[first:]
    folder, name = os.path.split(os.path.abspath(workbook_path))
    lock = os.path.join(folder, ".~lock.%s#" % name)
    if os.path.exists(lock):
        os.remove(lock)
    return office_checks(workbook_path, module_sources)


def main():
    if len(sys.argv) not in (2, 4):
        sys.exit("usage: workbook_test.py TKselect-examples.xlsm "
                 "[path/to/TKselect.bas path/to/TKselectExamples.bas]")
    module_paths = sys.argv[2:] or [os.path.join(ROOT, "vba", name)
                                    for name in ("TKselect.bas", "TKselectExamples.bas")]
    module_sources = []
    for module_path in module_paths:
        with open(module_path, "rb") as f:
            module_sources.append(f.read())

    compression_checks(module_sources[0])
    protection_checks()
    project_checks(sys.argv[1], module_sources)
    loaded = office_checks_once_more(sys.argv[1], module_sources)
    if loaded is None:
        check("the module checks on the modules as loaded", "no module text to run them on")
    else:
        import module_test
        print("the module checks on the modules as loaded from the workbook:")
        checks_failed, count, _, _ = module_test.run_checks(*loaded)
        check("the module checks on the modules as loaded",
              "%d of %d failed: %s" % (len(checks_failed), count, ", ".join(checks_failed))
              if checks_failed or not count else "")

    print("workbook_test: %d failed" % len(failures))
    sys.stdout.flush()
    # The bridge's threads can crash the interpreter at exit; nothing is left to clean up.
    os._exit(1 if failures else 0)


if __name__ == "__main__":
    main()
