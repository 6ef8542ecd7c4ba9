#!/usr/bin/python3
"""The two routes of TKSortRange, timed on the sheet: values only against rows moved with
their formulas and formats.

    /usr/bin/python3 scripts/sheet_bench.py [CELLS ...]     (default 100000 1000000)

Both routes read the table's values and hand them to the library, whose work (SELECT, then
MOVE or SORTINDEX) is the same for both and is measured under Wine by tkbench. What differs
is the sheet's side, timed here in the office suite's Basic (headless, through its UNO bridge,
with the system Python), on a table of five columns: a text, two numbers (one with a number
format), a formula of the row (=RC[-2]*RC[-1]) and a text, in a random order given as the
library would give it:
- values only: .Value read, the rows reordered in the array, one .Value assignment back;
- on the sheet: .Value read, then the module's MoveSheetRows (the column of ranks inserted
  right of the table, the spreadsheet's Range.Sort on it, the column deleted).
Each route runs on a fresh copy of the table, written through the suite's own API (not the
macro layer's .Value, which one route measures), and is timed inside the suite from the first
read to the last write (GetSystemTicks). The best of three runs is printed up to 100,000
cells, one run above, as a Markdown table with the ratio of the two; a route still running
after SECONDS is given up and printed as "over SECONDS". The suite is not the spreadsheet the
module is written for; these are its figures.
"""
import os
import re
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "module"))

import module_test  # noqa: E402  (starts and drives the suite)

COLUMNS = 5
RUNS = 3            # runs of each route up to 100,000 cells, the best kept; one run above
SECONDS = 900       # a route still running after this long is given up, and said so

BENCH = """
' The module's calls of routines and of the library are pointed at these by module_test's
' preparation; the bench calls neither.
Private Function HostRun(ByVal routine As String, ParamArray args() As Variant) As Variant
End Function

Private Function HostLibrary(ByRef code As Long, ByRef comm As TKCOMM) As Long
End Function

' A random order of the data rows 2 .. rows + 1, as SORTINDEX gives it.
Private Function BenchOrder(ByVal rows As Long) As Variant
    Dim order() As Long
    Dim i As Long
    Dim j As Long
    Dim held As Long
    Dim state As Double

    ReDim order(1 To rows)
    For i = 1 To rows
        order(i) = i + 1
    Next i
    state = 12345
    For i = rows To 2 Step -1
        state = state * 16807#
        state = state - Int(state / 2147483647#) * 2147483647#
        j = 1 + Int(state * i / 2147483647#)
        held = order(i)
        order(i) = order(j)
        order(j) = held
    Next i
    BenchOrder = order
End Function

Private mTable As Range
Private mOrder() As Long

' The table the bench wrote at A1 (rows data rows below one header row) and a random order of
' its rows, for one route.
Private Sub SetUp(ByVal rows As Long)
    Dim given As Variant
    Dim i As Long

    given = BenchOrder(rows)
    ReDim mOrder(1 To rows)
    For i = 1 To rows
        mOrder(i) = given(i)
    Next i
    Set mTable = ActiveSheet.Range("A1").Resize(rows + 1, 5)
End Sub

' Milliseconds of values only: .Value read, the rows reordered in the array,
' one .Value assignment back.
Public Function RouteValues(ByVal rows As Variant) As String
    Dim cellValues As Variant
    Dim sorted() As Variant
    Dim started As Long
    Dim i As Long
    Dim c As Long

    On Error GoTo Failed
    SetUp CLng(rows)
    started = GetSystemTicks()
    cellValues = mTable.Value
    ReDim sorted(1 To UBound(cellValues, 1), 1 To UBound(cellValues, 2))
    For c = 1 To UBound(cellValues, 2)
        sorted(1, c) = cellValues(1, c)
        For i = 1 To UBound(mOrder)
            sorted(i + 1, c) = cellValues(mOrder(i), c)
        Next i
    Next c
    mTable.Value = sorted
    RouteValues = Moved(GetSystemTicks() - started)
    Exit Function
Failed:
    RouteValues = "error " & Err.Number & ": " & Err.Description
End Function

' Milliseconds on the sheet: .Value read, then the module's MoveSheetRows.
Public Function RouteSheet(ByVal rows As Variant) As String
    Dim cellValues As Variant
    Dim started As Long

    On Error GoTo Failed
    SetUp CLng(rows)
    started = GetSystemTicks()
    cellValues = mTable.Value
    MoveSheetRows mTable, 2, mOrder
    RouteSheet = Moved(GetSystemTicks() - started)
    Exit Function
Failed:
    RouteSheet = "error " & Err.Number & ": " & Err.Description
End Function

' The milliseconds as text when the first and the last data row hold the rows the order puts
' there, else what is wrong.
Private Function Moved(ByVal milliseconds As Long) As String
    If mTable.Cells(2, 5).Value <> "row " & mOrder(1) Or _
       mTable.Cells(UBound(mOrder) + 1, 5).Value <> "row " & mOrder(UBound(mOrder)) Then
        Moved = "the rows did not move as the order says"
    Else
        Moved = CStr(milliseconds)
    End If
End Function
"""


def write_table(document, rows):
    """The bench's table on the first sheet, written through the suite's own API in one call per
    block (the macro layer's .Value is what one route measures): Region, Qty, Price (0.00),
    Total (=B*C of its row), Note; one header row."""
    sheet = document.Sheets.getByIndex(0)
    sheet.getCellRangeByPosition(0, 0, 5, rows + 1).clearContents(1023)
    values = [("Region", "Qty", "Price")] + [
        ("Region %d" % (r * 7919 % 97), (r * 7919) % 1000, ((r * 31) % 400) / 4.0)
        for r in range(2, rows + 2)]
    sheet.getCellRangeByPosition(0, 0, 2, rows).setDataArray(tuple(values))
    sheet.getCellRangeByPosition(4, 0, 4, rows).setDataArray(
        (("Note",),) + tuple(("row %d" % r,) for r in range(2, rows + 2)))
    sheet.getCellRangeByPosition(3, 0, 3, rows).setFormulaArray(
        (("Total",),) + tuple(("=B%d*C%d" % (r, r),) for r in range(2, rows + 2)))
    formats = document.NumberFormats
    locale = uno.createUnoStruct("com.sun.star.lang.Locale")
    key = formats.queryKey("0.00", locale, False)
    if key < 0:
        key = formats.addNew("0.00", locale)
    sheet.getCellRangeByPosition(2, 1, 2, rows).NumberFormat = key


def timed_call(function, seconds):
    """function() in a thread: its answer, or None when it did not end within `seconds`."""
    answer = []
    worker = threading.Thread(target=lambda: answer.append(function()), daemon=True)
    worker.start()
    worker.join(seconds)
    return answer[0] if answer else None


def main():
    cells = [int(a) for a in sys.argv[1:]] or [100000, 1000000]
    with open(os.path.join(ROOT, "vba", "TKselect.bas"), encoding="ascii", newline="") as f:
        source, _, _ = module_test.prepared_module(f.read())
    source += BENCH

    global uno
    import uno
    from com.sun.star.beans import PropertyValue

    work = tempfile.mkdtemp(prefix="tkselect-sheet-bench-")
    pipe = "tkselect_sheet_bench_%d" % os.getpid()
    office = module_test.start_office(os.path.join(work, "profile"), pipe)
    results = []
    desktop = None
    stuck = False
    try:
        context = module_test.connect(pipe, office)
        desktop = context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", context)
        hidden = PropertyValue()
        hidden.Name, hidden.Value = "Hidden", True
        document = desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (hidden,))
        libraries = document.BasicLibraries
        libraries.VBACompatibilityMode = True
        library = (libraries.getByName("Standard") if libraries.hasByName("Standard")
                   else libraries.createLibrary("Standard"))
        library.insertByName("TKselect", source)
        provider = document.getScriptProvider()

        def basic(name, *args):
            return provider.getScript(
                "vnd.sun.star.script:Standard.TKselect.%s?language=Basic&location=document"
                % name).invoke(args, (), ())[0]

        stuck = False
        for count in cells:
            rows = count // COLUMNS
            best = {}
            for _ in range(RUNS if count <= 100000 else 1):
                for route in ("RouteSheet", "RouteValues"):
                    if stuck:
                        break
                    write_table(document, rows)
                    answer = timed_call(lambda: basic(route, rows), SECONDS)
                    if answer is None:
                        # The suite is still in the route's call: it is ended below.
                        stuck = True
                        break
                    if not re.match(r"^\d+$", answer or ""):
                        raise SystemExit("sheet_bench: %s: %s" % (route, answer))
                    best[route] = min(best.get(route, 1e12), int(answer) / 1000.0)
            results.append((count, rows, best.get("RouteValues"), best.get("RouteSheet")))
            print("sheet_bench: %d cells: %r" % (count, best), file=sys.stderr, flush=True)
            if stuck:
                break
        if not stuck:
            document.close(True)
    finally:
        if desktop is not None and not stuck:
            module_test.terminate(desktop)
        else:
            subprocess.run(["pkill", "-f", work])
        module_test.stop_office(office, work)

    def shown(seconds):
        return "%.3f" % seconds if seconds is not None else "over %d" % SECONDS

    print("| cells | rows x columns | values only s | on the sheet s | sheet / values |")
    print("|---:|---:|---:|---:|---:|")
    for count, rows, values, sheet in results:
        ratio = "%.2f" % (sheet / values) if values and sheet is not None else "under %.2f" % (
            sheet / SECONDS) if sheet is not None else "-"
        print("| %s | %s x %d | %s | %s | %s |" % (
            format(count, ","), format(rows, ","), COLUMNS, shown(values), shown(sheet), ratio))
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
