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
