' Checks of TKselect.bas that need no library: appended to the module's own text by
' module_test.py, so that they reach its private procedures, and run by the office suite's
' Basic. Each Check function first says "stopped early", so that a run-time error (which
' ends the function there) cannot pass for success, and ends with "" or what went wrong.

Private mFailures As String

Private Sub Expect(ByVal holds As Boolean, ByVal what As String)
    If Not holds Then mFailures = mFailures & what & "; "
End Sub

Private Function Outcome() As String
    Outcome = mFailures
    mFailures = ""
End Function

' A 2-D table (topRow.., leftColumn..) of `rows` rows: row r holds "r<r>c<c>" text in each
' column, with one header row "head<c>".
Private Function SampleGrid(ByVal topRow As Long, ByVal rows As Long, _
                            ByVal leftColumn As Long, ByVal columns As Long) As Variant
    Dim grid() As Variant
    Dim r As Long
    Dim c As Long

    ReDim grid(topRow To topRow + rows - 1, leftColumn To leftColumn + columns - 1)
    For c = leftColumn To leftColumn + columns - 1
        grid(topRow, c) = "head" & c
        For r = topRow + 1 To topRow + rows - 1
            grid(r, c) = "r" & r & "c" & c
        Next r
    Next c
    SampleGrid = grid
End Function

' Every pair that needs no system call: the automatic order, and texts that are empty or start
' with a NUL. Two other texts go to Windows' CompareStringW, which no Basic on Linux can call:
' vba_test checks the module's call against the library's natural keys under Wine instead.
Public Function CheckNaturalCompare() As String
    CheckNaturalCompare = "stopped early"
    mFailures = ""
    Dim cases As Variant
    Dim pair As Variant
    Dim i As Long

    cases = Array( _
        Array(Empty, "a", 1), Array("a", Empty, -1), Array(Empty, Empty, 0), _
        Array(Empty, 5, 1), Array("", Empty, -1), Array(Empty, "", 1), _
        Array(2.5, 10, -1), Array(10, 2.5, 1), Array(3, 3#, 0), _
        Array(5, "", -1), Array("", 5, 1), Array(5, "a", -1), Array("10", 9, 1), _
        Array(True, 0, -1), Array(False, True, 1), Array(True, "a", -1), _
        Array(DateSerial(2024, 1, 2), 45000, 1), Array(DateSerial(2024, 1, 2), "x", -1), _
        Array(CInt(-32768), CInt(32767), -1), Array(CByte(255), CByte(0), 1), _
        Array(CCur(1.5), 1.25, 1), _
        Array("", "a", -1), Array("a", "", 1), Array("", "", 0), _
        Array(ChrW(0) & "z", "a", -1), Array("", ChrW(0), -1), Array(ChrW(0) & "b", ChrW(0), 1))
    For i = LBound(cases) To UBound(cases)
        Expect TKNaturalCompare(cases(i)(0), cases(i)(1), 1) = cases(i)(2), _
               "TKNaturalCompare case " & i
    Next i
    ' A Null has no place in the order: the library stops such a sort with 710.
    For Each pair In Array(Array(Null, 5), Array("a", Null), Array(Empty, Null))
        Expect InStr(NaturalCompareRaises(pair(0), pair(1)), "type Null") > 0, _
               "a Null is refused"
    Next pair
    CheckNaturalCompare = Outcome()
End Function

' The description of the error TKNaturalCompare raises for the pair, or "" when none.
Private Function NaturalCompareRaises(ByVal valueA As Variant, ByVal valueB As Variant) As String
    On Error GoTo Raised
    TKNaturalCompare valueA, valueB, 1
    Exit Function
Raised:
    If Err.Number = ERR_TKSELECT Then NaturalCompareRaises = Err.Description
End Function

Public Function CheckCommandLines() As String
    CheckCommandLines = "stopped early"
    mFailures = ""
    Dim keyed As Variant
    Dim marked As Variant

    Expect Not HasCommandLine(Empty), "HasCommandLine(Empty)"
    Expect Not HasCommandLine("   "), "HasCommandLine(blank)"
    Expect HasCommandLine("1,TK_MOVEAUTO"), "HasCommandLine(text)"
    Expect HasCommandLine(Array(CInt(1), TK_MOVEAUTO)), "HasCommandLine(array)"

    Expect WithPositionKey("2,TK_COMPDESAUTO", 5) = "2,TK_COMPDESAUTO 5,TK_COMPASCAUTO", _
           "WithPositionKey(text)"
    Expect WithPositionKey("  ", 5) = "  ", "WithPositionKey(blank) is left for the library"
    keyed = WithPositionKey(Array(CInt(2), TK_COMPDESAUTO), 5)
    Expect UBound(keyed) - LBound(keyed) = 3, "WithPositionKey(array) has two more elements"
    Expect keyed(2) = 5 And VarType(keyed(2)) = vbInteger, "the position column is an Integer"
    Expect keyed(3) = TK_COMPASCAUTO, "the position key ascends"

    ' Entries as the library reads them: any one separator, case, a comma after a keyword.
    marked = ColumnsWithKeyword(" 1,TK_MOVEAUTO 3 tk_movebrko, 12:TK_MOVEBRKO 5,  TK_MOVEBRKO", _
                                "TK_MOVEBRKO", TK_MOVEBRKO)
    Expect UBound(marked) = 12, "the largest marked column is 12"
    Expect marked(3) And marked(5) And marked(12) And Not marked(1), "columns 3, 5 and 12"
    marked = ColumnsWithKeyword(Array(CInt(2), TK_MOVEBRKO, CInt(4), TK_MOVEAUTO), _
                                "TK_MOVEBRKO", TK_MOVEBRKO)
    Expect UBound(marked) = 2, "array: column 2 only"
    Expect marked(2), "array: column 2 is marked"
    marked = CopyRoutineColumns("2,TK_COMPBRKO 1,TK_COMPASCAUTO", Empty)
    Expect UBound(marked) = 2, "without a move line the TK_COMPBRKO keys are copied"
    Expect marked(2) And Not marked(1), "key column 2 only"
    marked = CopyRoutineColumns("2,TK_COMPBRKO", "1,TK_MOVEBRKO 2,TK_MOVEAUTO")
    Expect UBound(marked) = 1, "a move line decides alone"
    Expect marked(1), "move column 1"

    ' The keys the library compares itself are no break-out keys: their columns move without
    ' the copy routine, and the position key follows them as any other.
    Expect TK_COMPASCCASE = 4 And TK_COMPDESCASE = 5 And TK_COMPASCNATURAL = 6 And _
           TK_COMPDESNATURAL = 7 And TK_COMPASCNUMTEXT = 8 And TK_COMPDESNUMTEXT = 9, _
           "the six keyword values"
    marked = CopyRoutineColumns("1,TK_COMPASCNATURAL 2,tk_compdescase 3,TK_COMPBRKO " & _
                                "4,TK_COMPASCNUMTEXT 7,TK_COMPDESNATURAL,", Empty)
    Expect UBound(marked) = 3, "text: only the TK_COMPBRKO key is copied"
    Expect marked(3) And Not marked(1) And Not marked(2), "text: column 3 alone"
    marked = CopyRoutineColumns(Array(CInt(5), TK_COMPDESNUMTEXT, CInt(2), TK_COMPBRKO, _
                                      CInt(6), TK_COMPASCCASE), Empty)
    Expect UBound(marked) = 2, "array: only the TK_COMPBRKO key is copied"
    Expect marked(2), "array: column 2"
    Expect WithPositionKey("2,TK_COMPDESNATURAL 1,TK_COMPASCCASE", 5) = _
           "2,TK_COMPDESNATURAL 1,TK_COMPASCCASE 5,TK_COMPASCAUTO", "WithPositionKey(natural)"
    keyed = WithPositionKey(Array(CInt(3), TK_COMPASCNUMTEXT), 4)
    Expect keyed(1) = TK_COMPASCNUMTEXT And keyed(2) = 4 And keyed(3) = TK_COMPASCAUTO, _
           "WithPositionKey(array with a numtext key)"
    CheckCommandLines = Outcome()
End Function

' The work array: bounds, header rows in place, each data row exactly once with its place.
Public Function CheckWorkArray() As String
    CheckWorkArray = "stopped early"
    mFailures = ""
    Dim grid As Variant
    Dim work As Variant
    Dim again As Variant
    Dim seen() As Boolean
    Dim moved As Long
    Dim r As Long
    Dim c As Long
    Dim place As Long
    Dim shuffled As Variant

    grid = SampleGrid(0, 9, 2, 2)  ' rows 0..8, columns 2..3, header row 0
    For Each shuffled In Array(False, True)
        work = WorkArray(grid, 2, 1, shuffled)
        Expect LBound(work, 1) = 0 And UBound(work, 1) = 8, "work rows are grid's"
        Expect LBound(work, 2) = 2 And UBound(work, 2) = 4, "one more column"
        Expect work(0, 2) = "head2" And work(0, 3) = "head3", "the header row stays"
        Expect IsEmpty(work(0, 4)), "the header row has no position"
        ReDim seen(1 To 8)
        moved = 0
        For r = 1 To 8
            place = work(r, 4)
            Expect place >= 1 And place <= 8, "position in 1..8"
            If place >= 1 And place <= 8 Then
                Expect Not seen(place), "position " & place & " once"
                seen(place) = True
                For c = 2 To 3
                    Expect work(r, c) = grid(place, c), "row " & r & " holds grid row " & place
                Next c
                Expect SourceRow(work, 1, r) = place, "SourceRow of row " & r
            End If
            If place <> r Then moved = moved + 1
        Next r
        Expect SourceRow(work, 1, 0) = 0, "SourceRow of the header row"
        If shuffled Then
            Expect moved > 0, "shuffled rows move"
            ' Another run may draw another order; each row still holds the grid row it names.
            again = WorkArray(grid, 2, 1, True)
            For r = 1 To 8
                Expect again(r, 2) = grid(again(r, 4), 2), "row " & r & " of another run"
            Next r
        Else
            Expect moved = 0, "unshuffled rows stay"
        End If
    Next shuffled

    ' A 1-D array is one column; headerRows beyond the table leaves no data rows.
    grid = Array("b", "a", "c")
    work = WorkArray(grid, 1, 0, True)
    Expect LBound(work, 2) = 1 And UBound(work, 2) = 2, "1-D: one column and the position"
    For r = 0 To 2
        Expect work(r, 1) = grid(work(r, 2) - 1), "1-D row " & r
    Next r
    work = WorkArray(Array("b", "a"), 1, 5, True)
    Expect IsEmpty(work(0, 2)) And work(1, 1) = "a", "all header rows: nothing moves"
    CheckWorkArray = Outcome()
End Function

' The shuffle: a permutation for every size, and sorted input comes out without long runs.
' The order is not fixed by the row count, so that no table can be laid out against it.
Public Function CheckShuffle() As String
    CheckShuffle = "stopped early"
    mFailures = ""
    Dim places() As Long
    Dim before() As Long
    Dim seen() As Boolean
    Dim differs As Boolean
    Dim sizes As Variant
    Dim n As Variant
    Dim i As Long
    Dim run As Long
    Dim longest As Long

    sizes = Array(1, 2, 3, 10, 1000, 20000)
    For Each n In sizes
        ReDim places(1 To n)
        ReDim seen(1 To n)
        ShufflePositions places, True
        For i = 1 To n
            If places(i) >= 1 And places(i) <= n Then
                Expect Not seen(places(i)), n & " rows: place " & places(i) & " twice"
                seen(places(i)) = True
            Else
                Expect False, n & " rows: place " & places(i) & " outside"
            End If
        Next i
        run = 1
        longest = 1
        For i = 2 To n
            If places(i) = places(i - 1) + 1 Then run = run + 1 Else run = 1
            If run > longest Then longest = run
        Next i
        ' A run of k consecutive places in a row is the mark of an order left as it was.
        Expect n < 1000 Or longest < 6, n & " rows: " & longest & " places in a row"
    Next n
    ReDim before(1 To 1000)
    ShufflePositions before, True
    ReDim places(1 To 1000)
    ShufflePositions places, True
    For i = 1 To 1000
        If places(i) <> before(i) Then differs = True
    Next i
    Expect differs, "two shuffles of 1000 rows gave the same order"
    CheckShuffle = Outcome()
End Function

' After a MOVE: which cells the copy routine sees, and the caller's row numbers.
Public Function CheckRowsAfterMove() As String
    CheckRowsAfterMove = "stopped early"
    mFailures = ""
    Dim grid As Variant
    Dim work As Variant
    Dim sorted As Variant
    Dim cells As Variant
    Dim marked(0 To 3) As Boolean
    Dim order(1 To 5) As Long
    Dim r As Long
    Dim c As Long

    ' Rows 1..6 with one header; the library's order reverses the data rows, as if MOVE had
    ' put them so: grid rows 6, 5, 4, 3, 2 in rows 2..6. Row 4 stays where it was.
    grid = SampleGrid(1, 6, 1, 3)
    work = WorkArray(grid, 2, 1, True)
    sorted = WorkArray(grid, 2, 1, True)  ' a second array: assigning one may share it
    For r = 2 To 6
        For c = 1 To 4
            sorted(r, c) = work(RowHolding(work, 8 - r), c)
        Next c
    Next r
    For r = 2 To 6
        Expect SourceRow(sorted, 1, r) = 8 - r, "sorted row " & r & " came from " & 8 - r
    Next r

    marked(1) = False
    marked(3) = True
    cells = CellsThatChangedRows(sorted, 1, marked)
    Expect UBound(cells, 1) = 4, "four cells of column 3 changed rows"
    Expect cells(1, 1) = 2 And cells(1, 2) = 3 And cells(1, 3) = 6, "row 2 came from 6"
    Expect cells(2, 1) = 3 And cells(2, 3) = 5, "row 3 came from 5"
    Expect cells(3, 1) = 5 And cells(3, 3) = 3, "row 4 stays out; row 5 came from 3"
    Expect cells(4, 1) = 6 And cells(4, 3) = 2, "row 6 came from 2"
    marked(3) = False
    Expect IsEmpty(CellsThatChangedRows(sorted, 1, marked)), "no column marked, no cell"

    ' SORTINDEX's rows of the library's array become the caller's rows.
    For r = 1 To 5
        order(r) = RowHolding(work, 7 - r)  ' data rows 6, 5, 4, 3, 2 of grid, in that order
    Next r
    SourceRowsInPlace order, work, 1
    For r = 1 To 5
        Expect order(r) = 7 - r, "index entry " & r & " is grid row " & 7 - r
    Next r

    CopyBack sorted, grid, 2
    Expect grid(1, 1) = "head1" And grid(2, 2) = "r6c2" And grid(6, 3) = "r2c3", "copied back"
    Expect UBound(grid, 2) = 3, "the position column is not copied back"
    CheckRowsAfterMove = Outcome()
End Function

' The row of work whose position column says grid row gridRow (one header row).
Private Function RowHolding(ByRef work As Variant, ByVal gridRow As Long) As Long
    Dim r As Long

    For r = LBound(work, 1) To UBound(work, 1)
        If work(r, UBound(work, 2)) = gridRow - LBound(work, 1) Then RowHolding = r
    Next r
End Function

' The ready procedures refuse bad arguments before they reach the library.
Public Function CheckArgumentChecks() As String
    CheckArgumentChecks = "stopped early"
    mFailures = ""
    Dim undimensioned() As Variant
    Dim cube(1 To 2, 1 To 2, 1 To 2) As Variant
    Dim rowOrder() As Long

    Expect RaisedBy(5, "1,TK_COMPASCAUTO") = "grid must be an array or a Range.", _
           "a number is no table"
    Expect InStr(RaisedBy(undimensioned, "1,TK_COMPASCAUTO"), "must have 1 or 2 dimensions") > 0, _
           "an undimensioned array"
    Expect InStr(RaisedBy(Split(""), "1,TK_COMPASCAUTO"), "must have 1 or 2 dimensions") > 0, _
           "an array without elements"
    Expect InStr(RaisedBy(cube, "1,TK_COMPASCAUTO"), "must have 1 or 2 dimensions") > 0, _
           "three dimensions"
    On Error Resume Next
    TKSortIndex Nothing, "1,TK_COMPASCAUTO", rowOrder
    Expect Err.Number = ERR_TKSELECT And Err.Description = "sourceTable is Nothing.", _
           "TKSortIndex(Nothing): " & Err.Description
    On Error GoTo 0
    CheckArgumentChecks = Outcome()
End Function

' The error TKSortArray raises for grid, as "description", or "" when none.
Private Function RaisedBy(ByRef grid As Variant, ByVal sortCommand As String) As String
    On Error GoTo Raised
    TKSortArray grid, sortCommand
    Exit Function
Raised:
    If Err.Number = ERR_TKSELECT Then RaisedBy = Err.Description Else RaisedBy = "other error"
End Function

' ---------------------------------------------------------------------------------------
' The caller's routines, run by name. This suite's Application.Run cannot reach a macro of the
' document, so module_test.py points the module's Application.Run calls here. A name must come
' as the module qualifies it, with the workbook: "'name'!Routine".

Private mKeyCalls As Long        ' calls of the key routines below
Private mKeyRows As String       ' the row numbers they were given, "2,3,4,"
Private mKeyBounds As String     ' the bounds of the first rowValues they were given, "1-3"
Private mStopAtCall As Long      ' CheckedKey raises this error at this call (0: never)
Private mStopError As Long

Private Function HostRun(ByVal routine As String, ParamArray args() As Variant) As Variant
    Dim bare As String

    bare = Mid$(routine, InStr(routine, "!") + 1)
    If routine <> WorkbookQualifier() & bare Then
        Err.Raise 1004, "HostRun", "not qualified with the workbook: " & routine
    End If
    Select Case bare
    Case "TKLastStatusText"
        HostRun = TKLastStatusText()
    Case "CheckedKey"
        HostRun = CheckedKey(args(0), args(1))
    Case "ExampleEmailDomain"
        HostRun = ExampleEmailDomain(args(0), args(1))
    Case "ExampleRenumber"
        HostRun = ExampleRenumber(args(0), args(1), args(2), args(3))
    Case Else
        Err.Raise 1004, "HostRun", "Cannot run the macro " & routine
    End Select
End Function

Private Sub ResetKeyCalls(ByVal stopAtCall As Long, ByVal stopError As Long)
    mKeyCalls = 0
    mKeyRows = ""
    mKeyBounds = ""
    mStopAtCall = stopAtCall
    mStopError = stopError
End Sub

' A key routine: the row's last cell, which the tables below fill with the key they want
' (a Null there is returned as it is); stops with mStopError at call mStopAtCall.
Public Function CheckedKey(ByVal rowValues As Variant, ByVal rowNumber As Long) As Variant
    mKeyCalls = mKeyCalls + 1
    mKeyRows = mKeyRows & rowNumber & ","
    If mKeyCalls = 1 Then mKeyBounds = LBound(rowValues) & "-" & UBound(rowValues)
    If mKeyCalls = mStopAtCall Then Err.Raise mStopError, "CheckedKey", "stopped"
    CheckedKey = rowValues(UBound(rowValues))
End Function

' A table of rows (header row first) as a 2-D array with the given first row and column.
Private Function Table(ByVal topRow As Long, ByVal leftColumn As Long, ByVal rows As Variant) As Variant
    Dim grid() As Variant
    Dim r As Long
    Dim c As Long

    ReDim grid(topRow To topRow + UBound(rows) - LBound(rows), _
               leftColumn To leftColumn + UBound(rows(LBound(rows))) - LBound(rows(LBound(rows))))
    For r = LBound(grid, 1) To UBound(grid, 1)
        For c = LBound(grid, 2) To UBound(grid, 2)
            grid(r, c) = rows(LBound(rows) + r - topRow)(LBound(rows(LBound(rows))) + c - leftColumn)
        Next c
    Next r
    Table = grid
End Function

' The key column of work holds, in the row of each data row k, the key expected for k.
Private Sub ExpectKeys(ByRef work As Variant, ByVal keyColumn As Long, ByVal headerRows As Long, _
                       ByVal expected As Variant, ByVal what As String)
    Dim r As Long
    Dim k As Long

    For r = LBound(work, 1) + headerRows To UBound(work, 1)
        k = work(r, UBound(work, 2))
        Expect SameCell(work(r, keyColumn), expected(LBound(expected) + k - 1)), _
               what & ": data row " & k
    Next r
    For r = LBound(work, 1) To LBound(work, 1) + headerRows - 1
        Expect IsEmpty(work(r, keyColumn)), what & ": header row " & r & " has no key"
    Next r
End Sub

Private Function SameCell(ByVal a As Variant, ByVal b As Variant) As Boolean
    If IsEmpty(a) Or IsEmpty(b) Then
        SameCell = IsEmpty(a) And IsEmpty(b)
    ElseIf VarType(a) = vbString Or VarType(b) = vbString Then
        SameCell = VarType(a) = VarType(b) And a = b
    Else
        SameCell = a = b
    End If
End Function

' Key routines: called once per data row, top to bottom, with the row's cells by the table's
' column numbers and the row's own number; their keys lead the sort line, ahead of the line's
' own keys and the position key, and go with their rows.
Public Function CheckKeyRoutines() As String
    CheckKeyRoutines = "stopped early"
    mFailures = ""
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim before As Variant
    Dim cases As Variant
    Dim one As Variant
    Dim got As Long
    Dim raised As String

    ' grid rows 0..5, columns 2..4, one header row; column 4 holds the key each row wants.
    grid = Table(0, 2, Array(Array("name", "n", "key"), Array("b", 1, "x"), _
                             Array("a", 2, 7), Array("c", 3, Empty), Array("d", 4, "X"), _
                             Array("e", 5, DateSerial(2024, 5, 1))))
    ' sort line, stable, the line the library gets
    cases = Array( _
        Array("2,TK_COMPDESAUTO", True, "5,TK_COMPASCAUTO 2,TK_COMPDESAUTO 6,TK_COMPASCAUTO"), _
        Array("", True, "5,TK_COMPASCAUTO 6,TK_COMPASCAUTO"), _
        Array("3,TK_COMPASCNATURAL", False, "5,TK_COMPASCAUTO 3,TK_COMPASCNATURAL"))
    For Each one In cases
        ResetKeyCalls 0, 0
        got = SelectTable(comm, grid, 2, one(0), Empty, 1, "", one(1), "CheckedKey", _
                              Empty, Empty)
        Expect got = TKS_NO_LIBRARY, "no library in this suite: " & got
        Expect mKeyCalls = 5, "one call per data row, not " & mKeyCalls
        Expect mKeyRows = "1,2,3,4,5,", "the table's own row numbers, top to bottom: " & mKeyRows
        Expect mKeyBounds = "2-4", "rowValues by the table's columns: " & mKeyBounds
        Expect comm.SortCmd = one(2), "sort line " & comm.SortCmd
        Expect UBound(comm.Source.Data, 2) = 6, "the key column stands before the position"
        ExpectKeys comm.Source.Data, 5, 1, Array("x", 7, Empty, "X", DateSerial(2024, 5, 1)), _
                   "keys of " & one(0)
        ReleaseRecord comm
    Next one

    ' A sort line built as an array gets the key column in front too.
    ResetKeyCalls 0, 0
    got = SelectTable(comm, grid, 2, Array(CInt(3), TK_COMPDESAUTO), Empty, 1, "", True, _
                          "CheckedKey", Empty, Empty)
    Expect Join(comm.SortCmd, " ") = "5 1 3 2 6 1", "array line: " & Join(comm.SortCmd, " ")
    Expect VarType(comm.SortCmd(0)) = vbInteger, "the key column is an Integer"
    ReleaseRecord comm

    ' A key that has no place in the order, or a routine's own error, stops the request.
    before = grid
    grid(3, 4) = Null
    ResetKeyCalls 0, 0
    raised = ErrorOf(grid, "CheckedKey")
    Expect InStr(raised, "returned a Null for row 3;") > 0, "a Null key: " & raised
    Expect mKeyRows = "1,2,3,", "no call after the Null key: " & mKeyRows
    grid(3, 4) = Empty
    ResetKeyCalls 2, 5
    raised = ErrorOf(grid, "CheckedKey")
    Expect raised = "5 stopped", "the routine's error comes back: " & raised
    Expect SameTable(grid, before), "errors leave the array as it was"
    raised = ErrorOf(grid, "NoSuchKey")
    Expect InStr(raised, "Cannot run the macro") > 0, "an unknown routine: " & raised

    ' The example's key routine: the e-mail's domain, Empty without one.
    For Each one In Array(Array("ann@example.org", "example.org"), Array(" bo@x.com ", "x.com"), _
                          Array("nobody", Empty), Array("trailing@", Empty), Array(Empty, Empty), _
                          Array(12, Empty), Array("a@b@c.net", "c.net"))
        Expect SameCell(ExampleEmailDomain(Array(Empty, "Name", one(0), "City"), 2), one(1)), _
               "ExampleEmailDomain(" & one(0) & ")"
    Next one
    CheckKeyRoutines = Outcome()
End Function

' The error TKSortArray raises for grid with keyRoutine, as "number description", or "". (The
' suite's Basic gives an Optional argument left out its type's empty value, not its default,
' so the checks pass every argument up to the last they need.)
Private Function ErrorOf(ByRef grid As Variant, ByVal keyRoutine As String) As String
    On Error GoTo Raised
    TKSortArray grid, "2,TK_COMPASCAUTO", Empty, 1, "", "", True, keyRoutine, Empty, Empty
    Exit Function
Raised:
    ErrorOf = Err.Number & " " & Err.Description
End Function

Private Function SameTable(ByRef a As Variant, ByRef b As Variant) As Boolean
    Dim r As Long
    Dim c As Long

    If LBound(a, 1) <> LBound(b, 1) Or UBound(a, 1) <> UBound(b, 1) Or _
       LBound(a, 2) <> LBound(b, 2) Or UBound(a, 2) <> UBound(b, 2) Then Exit Function
    For r = LBound(a, 1) To UBound(a, 1)
        For c = LBound(a, 2) To UBound(a, 2)
            If Not SameCell(a(r, c), b(r, c)) Then Exit Function
        Next c
    Next r
    SameTable = True
End Function

' Custom orders: one rank per row, by a lookup that ignores case; cells the list does not name
' rank after every listed one and are then ordered by the column itself, automatically.
Public Function CheckCustomOrders() As String
    CheckCustomOrders = "stopped early"
    mFailures = ""
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim before As Variant
    Dim cases As Variant
    Dim one As Variant
    Dim ranks As Variant
    Dim cellsAndRanks As Variant
    Dim listed As Variant
    Dim i As Long
    Dim n As Long
    Dim got As Long

    ' list, then each cell with the rank it gets
    cases = Array( _
        Array(Array("Low", "Medium", "High"), Array( _
            "low", 1, "HIGH", 3, "Urgent", 4, Empty, 4, "Medium", 2, 5, 4, "high", 3, _
            " Low", 4, "", 4, "Lowest", 4, True, 4)), _
        Array(Array(3, "x", Empty), Array( _
            3, 1, 3#, 1, "3", 4, CCur(3), 1, "X", 2, Empty, 3, "", 4, 2, 4)), _
        Array(Array("b", "B", "a", DateSerial(2024, 1, 2)), Array( _
            "B", 1, "a", 3, CDbl(DateSerial(2024, 1, 2)), 4, DateSerial(2024, 1, 3), 5)))
    For Each one In cases
        n = n + 1
        cellsAndRanks = one(1)
        ReDim grid(1 To (UBound(cellsAndRanks) + 1) \ 2 + 1, 1 To 2)
        grid(1, 1) = "task": grid(1, 2) = "priority"
        For i = 0 To UBound(cellsAndRanks) Step 2
            grid(i \ 2 + 2, 1) = "t" & i
            grid(i \ 2 + 2, 2) = cellsAndRanks(i)
        Next i
        ranks = CustomRanks(grid, 2, 1, one(0), 2)
        For i = 0 To UBound(cellsAndRanks) Step 2
            Expect ranks(i \ 2 + 1) = cellsAndRanks(i + 1), "list " & n & ", cell " & i \ 2 + 1 & _
                   ": rank " & ranks(i \ 2 + 1)
        Next i
    Next one

    ' In the request: the rank column leads, the column itself follows (the automatic order
    ' of the cells the list does not name, Empty last), then the sort line and the position.
    grid = Table(1, 1, Array(Array("Task", "Priority", "Owner"), Array("a", "high", "x"), _
                             Array("b", "Urgent", "y"), Array("c", Empty, "z"), _
                             Array("d", "LOW", "w")))
    listed = Array("Low", "Medium", "High")
    got = SelectTable(comm, grid, 2, "1,TK_COMPASCAUTO", Empty, 1, "", True, "", listed, 2)
    Expect got = TKS_NO_LIBRARY, "custom order: " & got
    Expect comm.SortCmd = "4,TK_COMPASCAUTO 2,TK_COMPASCAUTO 1,TK_COMPASCAUTO 5,TK_COMPASCAUTO", _
           "custom sort line " & comm.SortCmd
    ExpectKeys comm.Source.Data, 4, 1, Array(3, 4, 4, 1), "ranks"
    ReleaseRecord comm
    ' With a key routine as well: its key first, then the rank, the column, the line.
    ResetKeyCalls 0, 0
    got = SelectTable(comm, grid, 2, Array(CInt(1), TK_COMPASCAUTO), Empty, 1, "", False, _
                      "CheckedKey", listed, 2)
    Expect Join(comm.SortCmd, " ") = "4 1 5 1 2 1 1 1", "both: " & Join(comm.SortCmd, " ")
    Expect UBound(comm.Source.Data, 2) = 6, "two computed columns and the position"
    ExpectKeys comm.Source.Data, 4, 1, Array("x", "y", "z", "w"), "both, routine keys"
    ExpectKeys comm.Source.Data, 5, 1, Array(3, 4, 4, 1), "both, ranks"
    ReleaseRecord comm

    ' A list in cells of a Range, read column by column.
    ActiveSheet.Range("H1:H3").Value = Table(1, 1, Array(Array("Urgent"), Array("high"), _
                                                         Array("Low")))
    ranks = CustomRanks(grid, 2, 1, ActiveSheet.Range("H1:H3"), 2)
    Expect ranks(1) = 2 And ranks(2) = 1 And ranks(3) = 4 And ranks(4) = 3, "a list in a Range"
    ActiveSheet.Range("H1:H3").ClearContents

    ' What the procedures refuse, before any row is sorted.
    before = grid
    For Each one In Array( _
        Array(listed, Empty, "customOrder and customColumn go together"), _
        Array(Empty, 2, "customOrder and customColumn go together"), _
        Array(listed, 4, "customColumn 4 is not a column of the table (1 to 3)."), _
        Array(listed, 0, "customColumn 0 is not a column of the table (1 to 3)."), _
        Array(listed, 1.5, "customColumn 1.5 is not a column"), _
        Array(listed, "two", "customColumn must be a column number."), _
        Array("Low", 2, "customOrder must be an array"), _
        Array(Array(), 2, "customOrder lists no values."), _
        Array(Array("a", Null), 2, "customOrder's entry 2 is a Null"))
        Expect InStr(CustomError(grid, one(0), one(1)), one(2)) = 1, _
               "refused: " & CustomError(grid, one(0), one(1))
    Next one
    Expect SameTable(grid, before), "refusals leave the array as it was"
    CheckCustomOrders = Outcome()
End Function

' The description of the error TKSortArray raises for a custom order, or "".
Private Function CustomError(ByRef grid As Variant, ByVal customOrder As Variant, _
                             ByVal customColumn As Variant) As String
    On Error GoTo Raised
    TKSortArray grid, "1,TK_COMPASCAUTO", Empty, 1, "", "", True, "", customOrder, customColumn
    Exit Function
Raised:
    CustomError = Err.Description
End Function

' Writes the sample sheet table at A3: a header row and five rows, one cell a formula.
Private Function SampleSheetTable() As Range
    Dim sheetTable As Range

    ActiveSheet.Cells.ClearContents
    Set sheetTable = ActiveSheet.Range("A3:C8")
    sheetTable.Value = Table(1, 1, Array(Array("Region", "Customer", "Amount"), _
        Array("West", "Customer 10", 5), Array("East", "Customer 9", 7), _
        Array("West", "Customer 2", Empty), Array("North", "customer 1", 2.5), _
        Array("East", "Customer 11", 1)))
    sheetTable.Cells(3, 3).Formula = "=C4+1"
    Set SampleSheetTable = sheetTable
End Function

' The cells' formulas (a value's formula is its text), to see that nothing changed.
Private Function Formulas(ByVal area As Range) As String
    Dim r As Long
    Dim c As Long

    For r = 1 To area.Rows.Count
        For c = 1 To area.Columns.Count
            Formulas = Formulas & area.Cells(r, c).Formula & "|"
        Next c
    Next r
End Function

' The ready procedures on ranges of a real sheet: their checks and their reading of the range
' run in this suite; where the library would be called, they stop with TKS_NO_LIBRARY and
' leave every cell as it was.
Public Function CheckRangePaths() As String
    CheckRangePaths = "stopped early"
    mFailures = ""
    Dim sheetTable As Range
    Dim exportRange As Range
    Dim before As String
    Dim exportBefore As String
    Dim rowOrder() As Long
    Dim got As Long
    Dim one As Variant

    Set sheetTable = SampleSheetTable()
    Expect CellCount(sheetTable) = 18, "CellCount of A3:C8: " & CellCount(sheetTable)
    Expect CellCount(ActiveSheet.Range("B2")) = 1, "CellCount of one cell"
    before = Formulas(sheetTable)
    Expect InStr(before, "=C4+1") > 0, "the sample has a formula"

    got = TKSortRange(sheetTable, "1,TK_COMPASCAUTO 2,TK_COMPASCNATURAL", Empty, 1, "", "", True, _
                      "", Empty, Empty)
    Expect got = TKS_NO_LIBRARY, "TKSortRange: " & got
    Expect Left$(TKLastStatusText(), 6) = "[1001]", "TKSortRange's status: " & TKLastStatusText()
    Expect Formulas(sheetTable) = before, "TKSortRange left the range as it was"
    got = TKSortRange(ActiveSheet.Range("B5"), "1,TK_COMPASCAUTO", Empty, 0, "", "", True, "", _
                      Empty, Empty)
    Expect got = TKS_NO_LIBRARY, "TKSortRange of one cell: " & got
    ' The key routine reads the Range's rows with their numbers in the Range, header counted.
    ResetKeyCalls 0, 0
    got = TKSortRange(sheetTable, "", Empty, 1, "", "", True, "CheckedKey", Empty, Empty)
    Expect got = TKS_NO_LIBRARY And mKeyRows = "2,3,4,5,6," And mKeyBounds = "1-3", _
           "key routine on a Range: " & got & ", rows " & mKeyRows & ", columns " & mKeyBounds
    Expect Formulas(sheetTable) = before, "the key routine's request left the range alone"
    ' One row, one cell: still the row's cells by column.
    For Each one In Array(Array("A4:C4", "4,", "1-3"), Array("B5", "5,", "1-1"))
        ResetKeyCalls 0, 0
        got = TKSortRange(ActiveSheet.Range(one(0)), "", Empty, 0, "", "", True, "CheckedKey", _
                          Empty, Empty)
        Expect got = TKS_NO_LIBRARY And mKeyRows = "1," And mKeyBounds = one(2), _
               one(0) & ": " & got & ", rows " & mKeyRows & ", columns " & mKeyBounds
    Next one

    SetOrder rowOrder, 7, 9
    got = TKSortIndex(sheetTable, "3,TK_COMPDESAUTO", rowOrder, 1, "", True, "", Empty, Empty)
    Expect got = TKS_NO_LIBRARY, "TKSortIndex: " & got
    Expect UBound(rowOrder) = 2 And rowOrder(1) = 7 And rowOrder(2) = 9, "rowOrder left alone"
    Expect Formulas(sheetTable) = before, "TKSortIndex left the range as it was"

    Set exportRange = ActiveSheet.Range("E3:F8")
    exportRange.Value = Table(1, 1, Array(Array("Customer", "Region"), Array("keep", 1), _
        Array(Empty, Empty), Array("x", "y"), Array(2, 3), Array("=1+1", Empty)))
    exportBefore = Formulas(exportRange)
    got = TKExportRange(sheetTable, exportRange, "2,TK_COMPASCNATURAL", _
                        "2,1,TK_EXPORTAUTO 1,2,TK_EXPORTAUTO", 1, 1, "", "", True, "", _
                        Empty, Empty)
    Expect got = TKS_NO_LIBRARY, "TKExportRange: " & got
    Expect Formulas(exportRange) = exportBefore, "TKExportRange left the destination alone"
    Expect Formulas(sheetTable) = before, "TKExportRange left the source alone"

    ' Refused before the library, with the argument named.
    For Each one In Array( _
        Array(1, "exportRange must have at least two cells."), _
        Array(2, "exportRange must be one rectangular area."), _
        Array(3, "sortRange must be one rectangular area."), _
        Array(4, "sourceTable must be an array or a Range."), _
        Array(5, "sourceTable must be an array or a Range."))
        Expect RangeError(one(0), sheetTable) = one(1), "refused " & one(0) & ": " & _
               RangeError(one(0), sheetTable)
    Next one
    Expect Formulas(sheetTable) = before, "refusals left the range as it was"
    ActiveSheet.Cells.ClearContents
    CheckRangePaths = Outcome()
End Function

Private Sub SetOrder(ByRef order() As Long, ByVal first As Long, ByVal second As Long)
    ReDim order(1 To 2)
    order(1) = first
    order(2) = second
End Sub

' The description of the error a ready procedure raises for a bad range (which), or "".
Private Function RangeError(ByVal which As Long, ByVal sheetTable As Range) As String
    Dim rowOrder() As Long

    On Error GoTo Raised
    Select Case which
    Case 1
        TKExportRange sheetTable, ActiveSheet.Range("E3"), "1,TK_COMPASCAUTO", _
                      "1,1,TK_EXPORTAUTO", 1
    Case 2
        TKExportRange sheetTable, ActiveSheet.Range("E3:E8,G3:G8"), "1,TK_COMPASCAUTO", _
                      "1,1,TK_EXPORTAUTO", 1
    Case 3
        TKSortRange ActiveSheet.Range("A3:A8,C3:C8"), "1,TK_COMPASCAUTO", Empty, 1
    Case 4
        TKSortIndex 5, "1,TK_COMPASCAUTO", rowOrder, 1, "", True, "", Empty, Empty
    Case 5
        TKExportRange "A3:C8", ActiveSheet.Range("E3:F8"), "1,TK_COMPASCAUTO", _
                      "1,1,TK_EXPORTAUTO", 1, 1, "", "", True, "", Empty, Empty
    End Select
    Exit Function
Raised:
    RangeError = Err.Description
End Function

' Esc while a routine runs (error 18, here raised by the key routine at its third call): the
' request ends with TKS_CANCELLED and its own status text, nothing written, and the host's
' Esc key and status bar as they were.
Public Function CheckCancel() As String
    CheckCancel = "stopped early"
    mFailures = ""
    Dim grid As Variant
    Dim before As Variant
    Dim sheetTable As Range
    Dim exportRange As Range
    Dim sheetBefore As String
    Dim exportBefore As String
    Dim rowOrder() As Long
    Dim cancelKey As Variant
    Dim got As Long
    Dim which As Long
    Dim cancelled As String

    cancelled = "[1000]Cancelled with Esc after 2 of 5 rows keyed, 0 comparisons. " & _
                "Nothing was changed."
    cancelKey = Application.EnableCancelKey
    grid = Table(1, 1, Array(Array("h", "key"), Array("a", 3), Array("b", 1), Array("c", 2), _
                             Array("d", 5), Array("e", 4)))
    before = grid
    Set sheetTable = SampleSheetTable()
    sheetBefore = Formulas(sheetTable)
    Set exportRange = ActiveSheet.Range("E3:F8")
    exportRange.Value = "keep"
    exportBefore = Formulas(exportRange)
    SetOrder rowOrder, 7, 9
    For which = 1 To 4
        ResetKeyCalls 3, ERR_USER_INTERRUPT
        Select Case which
        Case 1
            got = TKSortArray(grid, "1,TK_COMPASCAUTO", Empty, 1, "", "", True, "CheckedKey", _
                              Empty, Empty)
        Case 2
            got = TKSortRange(sheetTable, "1,TK_COMPASCAUTO", Empty, 1, "", "", True, _
                              "CheckedKey", Empty, Empty)
        Case 3
            got = TKSortIndex(sheetTable, "1,TK_COMPASCAUTO", rowOrder, 1, "", True, _
                              "CheckedKey", Empty, Empty)
        Case 4
            got = TKExportRange(sheetTable, exportRange, "1,TK_COMPASCAUTO", _
                                "1,1,TK_EXPORTAUTO", 1, 1, "", "", True, "CheckedKey", _
                                Empty, Empty)
        End Select
        Expect got = TKS_CANCELLED, "request " & which & " returned " & got
        Expect TKLastStatusText() = cancelled, "request " & which & ": " & TKLastStatusText()
        Expect mKeyCalls = 3, "request " & which & ": no call after Esc"
        Expect Not mCancelKeyChanged And Not mStatusBarChanged And Not mProgressWatched, _
               "request " & which & ": progress stopped"
        Expect Application.EnableCancelKey = cancelKey, "request " & which & ": Esc key back"
    Next which
    Expect SameTable(grid, before), "the array is as it was"
    Expect Formulas(sheetTable) = sheetBefore, "the range is as it was"
    Expect Formulas(exportRange) = exportBefore, "the destination is as it was"
    Expect UBound(rowOrder) = 2 And rowOrder(1) = 7 And rowOrder(2) = 9, "rowOrder as it was"
    ActiveSheet.Cells.ClearContents
    CheckCancel = Outcome()
End Function

' The status bar's count of the work done, and what a request gives back at its end.
Public Function CheckProgress() As String
    CheckProgress = "stopped early"
    mFailures = ""
    Dim cancelKey As Variant
    Dim i As Long
    Dim shownAt As Double

    cancelKey = Application.EnableCancelKey
    StartProgress ""
    Expect Not mProgressWatched And Not mCancelKeyChanged, "no routine, nothing watched"
    mProgressNextShow = 0
    ProgressStep PROGRESS_COMPARISONS
    Expect Not mStatusBarChanged, "no routine, no status bar"
    Expect ProgressText() = "1 comparisons", "counted anyway: " & ProgressText()
    StopProgress

    StartProgress "MyKey"
    Expect mProgressWatched And mCancelKeyChanged, "a routine: watched, Esc caught"
    Expect mProgressDone(PROGRESS_COMPARISONS) = 0, "counts start from zero"
    mProgressRowsToKey = 20000
    For i = 1 To 1500
        ProgressStep PROGRESS_KEYS
    Next i
    Expect ProgressText() = "1,500 of 20,000 rows keyed, 0 comparisons", ProgressText()
    mProgressNextShow = 0
    shownAt = SecondsToday()
    ProgressStep PROGRESS_COMPARISONS
    Expect mStatusBarChanged, "shown once its time came"
    ' Measured from before the step, so that a slow machine cannot fail it.
    Expect mProgressNextShow >= shownAt + 0.4, "and next time half a second on"
    ProgressStep PROGRESS_COPIES
    Expect ProgressText() = "1,500 of 20,000 rows keyed, 1 comparisons, 1 cells copied", _
           ProgressText()
    StopProgress
    Expect Not mStatusBarChanged And Not mCancelKeyChanged And Not mProgressWatched, "stopped"
    Expect Application.EnableCancelKey = cancelKey, "Esc key back"
    CheckProgress = Outcome()
End Function

' ---------------------------------------------------------------------------------------
' The library, as the module calls it: module_test.py points the module's TKselect(code, comm)
' here. Without mFakeLibrary the call reaches the real Declare, which fails in this suite as
' a library that cannot be loaded fails. With it, a stand-in answers SELECT, SORTINDEX, MOVE
' and RESET for lines of automatic keys (TK_COMPASCAUTO, TK_COMPDESAUTO) with a stable insertion
' sort, so that what the module does around the library runs whole.

Private mFakeLibrary As Boolean
Private mFakeCalls As String     ' the codes the stand-in was called with, "100,101,104,"

Private Function HostLibrary(ByRef code As Long, ByRef comm As TKCOMM) As Long
    If Not mFakeLibrary Then
        HostLibrary = TKselect(code, comm)
        Exit Function
    End If
    mFakeCalls = mFakeCalls & code & ","
    Select Case code
    Case TKC_SELECT
        code = TKS_SUCCESS
        HostLibrary = TKR_ENDED
    Case TKC_SORTINDEX
        comm.SortIndex = FakeOrder(comm)
        code = TKS_SUCCESS
        HostLibrary = TKR_OUTPUT
    Case TKC_MOVE
        FakeMove comm
        code = TKS_SUCCESS
        HostLibrary = TKR_ENDED
    Case TKC_RESET
        HostLibrary = TKR_RESET
    Case Else
        Err.Raise 1004, "HostLibrary", "the stand-in does not answer " & code
    End Select
    comm.Status = "[002]Completed without errors"
End Function

' The data rows of the record's source in the order of its sort line, as SORTINDEX gives it.
Private Function FakeOrder(ByRef comm As TKCOMM) As Variant
    Dim rows() As Long
    Dim keys As Variant
    Dim first As Long
    Dim i As Long
    Dim j As Long
    Dim held As Long

    keys = Split(Trim$(comm.SortCmd), " ")
    first = LBound(comm.Source.Data, 1) + comm.Source.HeaderLines
    ReDim rows(1 To UBound(comm.Source.Data, 1) - first + 1)
    For i = 1 To UBound(rows)
        rows(i) = first + i - 1
        j = i
        Do While j > 1
            If FakeCompare(comm.Source.Data, keys, rows(j - 1), rows(j)) <= 0 Then Exit Do
            held = rows(j - 1)
            rows(j - 1) = rows(j)
            rows(j) = held
            j = j - 1
        Loop
    Next i
    FakeOrder = rows
End Function

' MOVE: the source's data rows rearranged into FakeOrder's order.
Private Sub FakeMove(ByRef comm As TKCOMM)
    Dim order As Variant
    Dim before As Variant
    Dim first As Long
    Dim i As Long
    Dim c As Long

    order = FakeOrder(comm)
    first = LBound(comm.Source.Data, 1) + comm.Source.HeaderLines
    ReDim before(LBound(comm.Source.Data, 1) To UBound(comm.Source.Data, 1), _
                 LBound(comm.Source.Data, 2) To UBound(comm.Source.Data, 2))
    For i = LBound(before, 1) To UBound(before, 1)
        For c = LBound(before, 2) To UBound(before, 2)
            before(i, c) = comm.Source.Data(i, c)
        Next c
    Next i
    For i = LBound(order) To UBound(order)
        For c = LBound(before, 2) To UBound(before, 2)
            comm.Source.Data(first + i - LBound(order), c) = before(order(i), c)
        Next c
    Next i
End Sub

' Two rows on automatic keys: numbers before text, text without regard to case, Empty last.
Private Function FakeCompare(ByRef data As Variant, ByRef keys As Variant, _
                             ByVal rowA As Long, ByVal rowB As Long) As Long
    Dim key As Variant
    Dim keyColumn As Long
    Dim a As Variant
    Dim b As Variant

    For Each key In keys
        keyColumn = CLng(Split(key, ",")(0))
        a = data(rowA, keyColumn)
        b = data(rowB, keyColumn)
        If CellKind(a) <> CellKind(b) Then
            FakeCompare = Sgn(CellKind(a) - CellKind(b))
        ElseIf CellKind(a) = CELL_TEXT Then
            FakeCompare = StrComp(a, b, vbTextCompare)
        ElseIf CellKind(a) = CELL_NUMBER Then
            FakeCompare = Sgn(a - b)
        End If
        If CellKind(a) <> CELL_EMPTY And CellKind(b) <> CELL_EMPTY And _
           UCase$(Split(key, ",")(1)) = "TK_COMPDESAUTO" Then FakeCompare = -FakeCompare
        If FakeCompare <> 0 Then Exit Function
    Next key
End Function

' A table of formulas and formats at topLeft: Region, Qty, Price (a money format), Total
' (=Qty*Price, relative), Share (=Total/$J$1, absolute), one filled cell and one note per
' few rows, and a column of cells right of it, after one blank column, that a sort must not
' touch.
Private Function FormattedTable(ByVal topLeft As Range) As Range
    Dim area As Range
    Dim r As Long

    Set area = topLeft.Resize(7, 5)
    area.Value = Table(1, 1, Array(Array("Region", "Qty", "Price", "Total", "Share"), _
        Array("West", 3, 2.5, Empty, Empty), Array("east", 7, 1.25, Empty, Empty), _
        Array("North", 3, 4, Empty, Empty), Array("East", 2, 10, Empty, Empty), _
        Array("west", 9, 0.5, Empty, Empty), Array("North", 5, 3, Empty, Empty)))
    For r = 2 To 7
        area.Cells(r, 4).FormulaR1C1 = "=RC[-2]*RC[-1]"
        area.Cells(r, 5).Formula = "=" & area.Cells(r, 4).Address(False, False) & "/$J$1"
        area.Cells(r, 3).NumberFormat = "0.00"
        area.Cells(r, 7).Value = "right " & r
    Next r
    area.Cells(3, 1).Interior.Color = RGB(255, 200, 0)
    area.Cells(6, 2).Interior.Color = RGB(0, 160, 255)
    area.Cells(4, 2).NumberFormat = "0.000"
    area.Cells(5, 1).AddComment "note on East 2"
    area.Cells(2, 5).Formula = "=D" & area.Row + 1 & "/$J$1+0"
    Set FormattedTable = area
End Function

' Every cell of area as the spreadsheet shows and keeps it: formula (relative references as
' offsets, so that two tables at different rows compare), value, number format, fill, note.
Private Function CellFacts(ByVal area As Range) As String
    Dim r As Long
    Dim c As Long
    Dim cell As Range
    Dim note As String

    For r = 1 To area.Rows.Count
        For c = 1 To area.Columns.Count
            Set cell = area.Cells(r, c)
            note = ""
            If Not cell.Comment Is Nothing Then note = cell.Comment.Text
            CellFacts = CellFacts & cell.FormulaR1C1 & "=" & cell.Value & " " & _
                        cell.NumberFormat & " " & cell.Interior.Color & " " & note & "|"
        Next c
        CellFacts = CellFacts & vbLf
    Next r
End Function

' TKSortRange moves rows on the sheet as the spreadsheet's own sort does: the same table sorted
' by the module and by Range.Sort on the same keys agrees in every cell's formula, value,
' format, fill and note; cells beside the table, the used range and the selection stay as
' they were. valuesOnly:=True writes values, and a key that names no column is refused before
' the library is called.
Public Function CheckSheetRoute() As String
    CheckSheetRoute = "stopped early"
    mFailures = ""
    Dim byModule As Range
    Dim bySheet As Range
    Dim valuesOnly As Range
    Dim used As String
    Dim picked As String
    Dim beside As String
    Dim before As String
    Dim got As Long
    Dim one As Variant

    ActiveSheet.Cells.Clear
    ActiveSheet.Range("J1").Value = 100
    Set byModule = FormattedTable(ActiveSheet.Range("A3"))
    Set bySheet = FormattedTable(ActiveSheet.Range("A13"))
    Set valuesOnly = FormattedTable(ActiveSheet.Range("A23"))
    ActiveSheet.Range("B14").Select
    used = ActiveSheet.UsedRange.Address
    picked = Selection.Address
    beside = Formulas(ActiveSheet.Range("F3:G9"))
    Expect CellFacts(byModule) = CellFacts(bySheet), "the two tables start alike"

    mFakeLibrary = True
    mFakeCalls = ""
    got = TKSortRange(byModule, Array(TKKey("region"), TKKey("Qty", tkDescending)))
    Expect got = TKS_SUCCESS, "TKSortRange on the sheet: " & got & " " & TKLastStatusText()
    Expect mFakeCalls = "100,101,104,", "SELECT, SORTINDEX, RESET: " & mFakeCalls
    bySheet.Sort Key1:=bySheet.Cells(1, 1), Order1:=xlAscending, Key2:=bySheet.Cells(1, 2), _
                 Order2:=xlDescending, Header:=xlYes, MatchCase:=False, Orientation:=xlTopToBottom
    Expect CellFacts(byModule) = CellFacts(bySheet), "as the spreadsheet's sort: " & vbLf & _
           CellFacts(byModule) & " against " & vbLf & CellFacts(bySheet)
    Expect byModule.Cells(2, 1).Value = "east" And byModule.Cells(2, 2).Value = 7, "east 7 first"
    Expect Formulas(ActiveSheet.Range("F3:G9")) = beside, "the cells beside the table"
    Expect ActiveSheet.UsedRange.Address = used, "used range " & ActiveSheet.UsedRange.Address
    Expect Selection.Address = picked, "selection " & Selection.Address

    ' Sorted already: nothing on the sheet changes, not even through a sort.
    before = CellFacts(byModule)
    got = TKSortRange(byModule, Array(TKKey(1), TKKey(2, tkDescending)))
    Expect got = TKS_SUCCESS And CellFacts(byModule) = before, "a sorted table stays"

    got = TKSortRange(valuesOnly, Array(TKKey("Region"), TKKey("Qty", tkDescending)), _
                      valuesOnly:=True)
    Expect got = TKS_SUCCESS, "valuesOnly: " & got
    Expect valuesOnly.Cells(2, 1).Value = "east" And Not valuesOnly.Cells(2, 4).HasFormula, _
           "valuesOnly writes the sorted values, formulas as values"
    Expect valuesOnly.Cells(2, 4).Value = 8.75, "the total moved with its row"

    ' A copy routine's values land in the moved rows' cells of its column, once the rows are
    ' in order; a row that stays keeps its cell. West 9 stays in row 6.
    Set byModule = FormattedTable(ActiveSheet.Range("A33"))
    got = TKSortRange(byModule, Array(TKKey("Region"), TKKey("Qty", tkDescending)), _
                      "2,TK_MOVEBRKO", copyRoutine:="ExampleRenumber")
    Expect got = TKS_SUCCESS, "with a copy routine: " & got
    Expect Join(ColumnValues(byModule, 1), " ") = "east East North North west West", _
           "copy routine's sort: " & Join(ColumnValues(byModule, 1), " ")
    Expect Join(ColumnValues(byModule, 2), " ") = "1 2 3 4 9 6", _
           "renumbered where moved: " & Join(ColumnValues(byModule, 2), " ")
    mFakeLibrary = False
    ActiveSheet.Cells.Clear
    CheckSheetRoute = Outcome()
End Function

' Keys that name no column are refused before the library is called, the sheet as it was.
Public Function CheckSheetKeysRefused() As String
    CheckSheetKeysRefused = "stopped early"
    mFailures = ""
    Dim byModule As Range
    Dim before As String
    Dim one As Variant

    ActiveSheet.Cells.Clear
    Set byModule = FormattedTable(ActiveSheet.Range("A3"))
    mFakeLibrary = True
    before = CellFacts(byModule)
    For Each one In Array( _
        Array(TKKey("Regoin"), "No column of the table has the header ""Regoin"". Its " & _
              "headers are: Region, Qty, Price, Total, Share."), _
        Array(TKKey(6), "TKKey(6) names no column of the table, whose columns are 1 to 5."), _
        Array(Array(TKKey(1), "2,TK_COMPASCAUTO"), "Entry 2 of the sort line is ""2," & _
              "TK_COMPASCAUTO"", not a key from TKKey"))
        mFakeCalls = ""
        Expect InStr(SheetSortError(byModule, one(0), 1), one(1)) = 1, _
               "refused: " & SheetSortError(byModule, one(0), 1)
        Expect mFakeCalls = "", "no library call for a bad key: " & mFakeCalls
    Next one
    Expect InStr(SheetSortError(byModule, TKKey("Region"), 0), "TKKey(""Region"") names a " & _
           "column by its header, but the table has no header row") = 1, "no header row"
    Expect CellFacts(byModule) = before, "refusals left the table as it was"
    mFakeLibrary = False
    ActiveSheet.Cells.Clear
    CheckSheetKeysRefused = Outcome()
End Function

' The data cells of one column of area, top to bottom.
Private Function ColumnValues(ByVal area As Range, ByVal columnNo As Long) As Variant
    Dim cells() As String
    Dim r As Long

    ReDim cells(1 To area.Rows.Count - 1)
    For r = 2 To area.Rows.Count
        cells(r - 1) = CStr(area.Cells(r, columnNo).Value)
    Next r
    ColumnValues = cells
End Function

' The description of the error TKSortRange raises for sortCommand, or "".
Private Function SheetSortError(ByVal area As Range, ByVal sortCommand As Variant, _
                                ByVal headerRows As Long) As String
    On Error GoTo Raised
    TKSortRange area, sortCommand, Empty, headerRows
    Exit Function
Raised:
    SheetSortError = Err.Description
End Function

' TKKey: each order and kind is its keyword; what is none of them is refused at once; keys by
' name are found in the header row, in any case, and the keyword lines keep working.
Public Function CheckKeys() As String
    CheckKeys = "stopped early"
    mFailures = ""
    Dim grid As Variant
    Dim one As Variant

    For Each one In Array( _
        Array(tkAscending, tkSortNormal, TK_COMPASCAUTO), _
        Array(tkDescending, tkSortNormal, TK_COMPDESAUTO), _
        Array(tkAscending, tkSortNatural, TK_COMPASCNATURAL), _
        Array(tkDescending, tkSortNatural, TK_COMPDESNATURAL), _
        Array(tkAscending, tkSortMatchCase, TK_COMPASCCASE), _
        Array(tkDescending, tkSortMatchCase, TK_COMPDESCASE), _
        Array(tkAscending, tkSortTextAsNumbers, TK_COMPASCNUMTEXT), _
        Array(tkDescending, tkSortTextAsNumbers, TK_COMPDESNUMTEXT), _
        Array(tkAscending, tkSortByRoutine, TK_COMPBRKO))
        Expect TKKey(3, one(0), one(1))(2) = one(2), "order " & one(0) & ", kind " & one(1)
    Next one
    Expect TKKey("Name")(2) = TK_COMPASCAUTO, "ascending and normal by default"
    For Each one In Array( _
        Array(3, 0, tkSortNormal, "The order of a key is tkAscending or tkDescending, not 0."), _
        Array(3, tkAscending, 7, "The kind of a key is one of TKSortKind"), _
        Array(3, tkDescending, tkSortByRoutine, "A key of kind tkSortByRoutine has the order"), _
        Array(1.5, tkAscending, tkSortNormal, "A key's column is a column number or the " & _
              "text of its header, not 1.5."), _
        Array(" ", tkAscending, tkSortNormal, "A key's column is a column number or the " & _
              "text of its header, not an empty text."))
        Expect InStr(KeyError(one(0), one(1), one(2)), one(3)) = 1, _
               "refused: " & KeyError(one(0), one(1), one(2))
    Next one

    grid = Table(0, 2, Array(Array("Name", " Amount ", "name2"), Array("b", 1, 2)))
    Expect ResolvedKeys(Array(TKKey("AMOUNT", tkDescending), TKKey(2), TKKey("name", _
           tkAscending, tkSortNatural)), grid, 2, 1) = _
           "3,TK_COMPDESAUTO 2,TK_COMPASCAUTO 2,TK_COMPASCNATURAL", "names by the header row"
    Expect ResolvedKeys(TKKey(4, tkDescending), grid, 2, 1) = "4,TK_COMPDESAUTO", "one key alone"
    Expect ResolvedKeys("2,TK_COMPASCAUTO", grid, 2, 1) = "2,TK_COMPASCAUTO", "a text as it is"
    Expect Join(ResolvedKeys(Array(CInt(2), TK_COMPDESAUTO), grid, 2, 1), " ") = "2 2", _
           "an array of column, keyword pairs as it is"
    grid = Table(1, 1, Array(Array("x", "Dup", "dup"), Array(1, 2, 3)))
    Expect InStr(ResolveError(grid, TKKey("DUP")), "Two columns of the table have the header " & _
           """DUP"" (2 and 3)") = 1, "a header twice: " & ResolveError(grid, TKKey("DUP"))
    CheckKeys = Outcome()
End Function

' The description of the error TKKey raises, or "".
Private Function KeyError(ByVal keyColumn As Variant, ByVal sortOrder As Variant, _
                          ByVal sortKind As Variant) As String
    Dim key As Variant

    On Error GoTo Raised
    key = TKKey(keyColumn, sortOrder, sortKind)
    Exit Function
Raised:
    KeyError = Err.Description
End Function

' The description of the error ResolvedKeys raises for a table with one header row, or "".
Private Function ResolveError(ByRef grid As Variant, ByVal sortCommand As Variant) As String
    Dim sortLine As Variant

    On Error GoTo Raised
    sortLine = ResolvedKeys(sortCommand, grid, 2, 1)
    Exit Function
Raised:
    ResolveError = Err.Description
End Function

' A library named with TKSetLibraryPath: a folder gets the file's name, a path that does not
' load says so in the status text of the next request; a workbook path that is a web
' address is told apart from a folder.
Public Function CheckLibraryPath() As String
    CheckLibraryPath = "stopped early"
    mFailures = ""
    Dim one As Variant

    For Each one In Array(Array("C:\Tools", "C:\Tools\" & LIBRARY_FILE), _
                          Array("C:\Tools\", "C:\Tools\" & LIBRARY_FILE), _
                          Array("D:\lib\TKSELECT64.DLL", "D:\lib\TKSELECT64.DLL"))
        Expect Not TKSetLibraryPath(one(0)), one(0) & " loads nothing in this suite"
        Expect mLibraryPath = one(1), one(0) & " names " & mLibraryPath
    Next one
    Expect TKAbout() = "", "no banner without the library"
    Expect InStr(TKLastStatusText(), "TKSetLibraryPath named D:\lib\TKSELECT64.DLL, which " & _
           "did not load.") > 0, "the status text names the path: " & TKLastStatusText()
    For Each one In Array(Array("https://contoso.sharepoint.com/sites/x", True), _
                          Array("HTTP://files.example/a", True), Array("C:\Users\x", False), _
                          Array("", False), Array("\\server\share", False))
        Expect IsWebAddress(one(0)) = one(1), "IsWebAddress(" & one(0) & ")"
    Next one
    mLibraryPath = ""
    mLibraryLookedFor = False
    CheckLibraryPath = Outcome()
End Function
