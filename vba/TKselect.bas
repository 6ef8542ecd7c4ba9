Attribute VB_Name = "TKselect"
' TKselect: the macro side of tkselect.dll, the row-sorting engine for worksheet tables.
'
' What this module holds
'   - The record the library reads and writes (Type TKCOMM with its two RangeSlot tables),
'     declared so that 32-bit and 64-bit VBA each lay it out byte for byte as their library
'     expects.
'   - The declaration of the library's one function, TKselect(code, comm), from
'     tkselect.dll in 32-bit Office and from tkselect64.dll in 64-bit Office.
'   - Named codes: TKC_ commands, TKS_ statuses, TKR_ return values, and TK_ keyword values.
'   - Ready procedures that run a whole request, break-outs included:
'       TKSortRange    sort a worksheet Range in place
'       TKSortArray    sort a 1-D or 2-D array in place
'       TKExportRange  sort a table and export chosen columns into a second Range
'       TKSortIndex    sort a table and return its row order, leaving the table alone
'       TKAbout        the library's banner (a quick check that the library loads)
'     Each returns the final status (TKS_SUCCESS when all went well); TKLastStatusText
'     gives the library's text for it, such as "[002]Completed without errors".
'   - TKNaturalCompare, the library's natural order (TK_COMPASCNATURAL) as a function, for
'     comparison routines of your own, and one Example... macro per ready procedure.
'
' How to use it
'   1. In the macro editor (Alt+F11): File > Import File..., choose TKselect.bas.
'   2. Put the library next to the workbook: tkselect64.dll for 64-bit Office, tkselect.dll
'      for 32-bit Office (both may sit there; each Office loads its own). A folder on the
'      PATH works too, or write the full path into the Declare lines below
'      (Lib "C:\Tools\tkselect64.dll"). A copy next to the workbook is loaded by this
'      module before its first call, because Windows does not look in the workbook's folder
'      by itself.
'   3. Office's About box tells whether it is the 64-bit or the 32-bit build. The module
'      compiles in both (VBA7, Office 2010 and later) and in the 32-bit VBA6 before them.
'   4. Call a ready procedure:
'        outcome = TKSortRange(Sheet1.UsedRange, "3,TK_COMPDESAUTO 1,TK_COMPASCAUTO")
'        If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText()
'      A table's first row is its header unless you say otherwise: headerRows defaults to
'      1, as in tkrun (--header). Pass headerRows:=0 for a table that starts with data.
'      The rows are stable: rows that tie on every key keep their order, and no layout of
'      the table makes the sort fail on its depth limit (stable:=False turns this off).
'
' Command lines
'   A sort or move line is a list of "column,KEYWORD" entries separated by blanks; an
'   export line lists "sourceColumn,destinationColumn,KEYWORD". Columns are the table's own
'   column numbers: 1 is the leftmost column of a Range, an array uses its own index.
'     sort:    TK_COMPASCAUTO     ascending, compared by the library (text ignores case)
'              TK_COMPDESAUTO     descending, compared by the library
'              TK_COMPASCNATURAL  ascending in natural order: runs of digits by their
'              TK_COMPDESNATURAL    number ("file9" before "file10"), text ignores case
'              TK_COMPASCCASE     ascending with regard to case ("a" before "A")
'              TK_COMPDESCASE       descending with regard to case
'              TK_COMPASCNUMTEXT  ascending; a text that reads as a number ("10") sorts as
'              TK_COMPDESNUMTEXT    that number
'              TK_COMPBRKO        compared by your comparison routine
'     The library compares every key but TK_COMPBRKO itself. The six keywords after the
'     first two differ from them only in how text compares (and, for NUMTEXT, in which
'     texts count as numbers): numbers come before text and Empty cells last in all of
'     them. See the README's "Choosing a sort keyword".
'     move:    TK_MOVEAUTO     moved by the library
'              TK_MOVEBRKO     moved by this module, through your copy routine if named
'     export:  TK_EXPORTAUTO   copied by the library
'              TK_EXPORTBRKO   copied by this module, through your copy routine if named
'   Keys count in the order written. Every column moves with its row; a move line only says
'   which columns go through the copy routine (TK_MOVEBRKO). Without one, sort keys of kind
'   TK_COMPBRKO move as TK_MOVEBRKO columns. A command line may also
'   be an array of entries built with the TK_ constants, e.g.
'   Array(3, TK_COMPDESAUTO, 1, TK_COMPASCAUTO): column as Integer, keyword as Long.
'   Empty cells sort after all others in automatic keys, ascending or descending.
'
' Routines you provide (named by text, called with Application.Run; a name without "!" is
' looked up in the workbook that holds this module)
'   Comparison, for TK_COMPBRKO keys:
'     Public Function MyCompare(ByVal valueA As Variant, ByVal valueB As Variant, _
'                               ByVal keyColumn As Long) As Long
'     returns -1 when valueA comes first, 1 when valueB comes first, 0 when they tie on
'     this key (the next key decides). keyColumn is the column as the sort line names it,
'     so one routine can serve several keys. Only the sign of the result counts.
'   Copy, for TK_MOVEBRKO and TK_EXPORTBRKO columns:
'     Public Function MyCopy(ByVal cellValue As Variant, ByVal fromRow As Long, _
'                            ByVal toRow As Long, ByVal keyColumn As Long) As Variant
'     returns what to store at toRow. It is called once for every cell of such a column
'     that changes rows (rows already in place are not passed), with the row the value
'     stood in before the sort; rows are your table's own numbers, as in the sort line.
'     For a move it runs once the rows are in order, row by row; for an export, fromRow is
'     the source row, toRow the destination row, keyColumn the source column. Without a
'     copy routine the value is copied unchanged.
'   Neither routine may call this module's procedures: the library holds one request at a
'   time, and the request under way is waiting for the routine's answer.
'
' What happens to the data
'   A Range is read through .Value into an array, sorted there and written back with one
'   .Value assignment, so formulas in it are replaced by their values. The library never
'   sees the Range itself, except EXPORT's destination, which it reads at SELECT and
'   writes back at the end of EXPORT (formulas there become values too).
'
' The protocol underneath, for one request (each step is one call of TKselect):
'   SELECT (TKC_SELECT) checks the table and the command lines and sorts; then one of
'   MOVE (TKC_MOVE), EXPORT (TKC_EXPORT) or SORTINDEX (TKC_SORTINDEX) applies the order.
'   While a call returns TKR_BREAKOUT, the code asks for one step: TKS_COMPARE_BREAKOUT,
'   compare rows BrkRowA and BrkRowB on column BrkColumn and send -1, 0 or 1 as the next
'   code; TKS_MOVE_START_BREAKOUT, set cell (BrkRowA, BrkColumn) aside; TKS_MOVE_ROW_BREAKOUT,
'   copy (BrkRowA, BrkColumn) to (BrkRowB, BrkColumn); TKS_MOVE_CLOSE_BREAKOUT, put the
'   value set aside into (BrkRowB, BrkColumn); TKS_EXPORT_BREAKOUT, copy Source cell
'   (BrkRowA, BrkColumn) into Dest cell (BrkDestRow, BrkDestColumn); after a copy the next
'   code is 0. A command code sent instead of an answer abandons the step, so answers are
'   always -1, 0 or 1. Any other return value ends the command, with its status in code.
'   The ready procedures end every request with RESET (TKC_RESET), so the library keeps
'   no pointer into arrays that VBA frees afterwards.
'
' Names: TKC_ command codes, TKS_ statuses, TKR_ return values of TKselect; TK_ constants
' carry exactly the keyword's name and value, for command lines built as arrays. Local
' names avoid those of Excel's members (value, row, column...), because the editor gives
' one identifier one spelling across the whole project.
Option Explicit

' ---------------------------------------------------------------------------------------
' The record. Field order and types are the library's interface, laid out by each VBA:
'   32-bit: a field aligned to at most 4 bytes, a Variant 16 bytes, a Double 8, a Long 4,
'           the dynamic array SortIndex() a 4-byte pointer: 60 bytes per RangeSlot, 324
'           per TKCOMM.
'   64-bit: every field on a multiple of its own alignment (a Variant 24 bytes on 8, a
'           Double on 8, SortIndex() an 8-byte pointer): 88 bytes per RangeSlot, 440 per
'           TKCOMM.
' Never insert, remove or reorder a field. Strings travel as Variants because a String
' field would make VBA hand the library an ANSI copy of the record instead of the record.
' ---------------------------------------------------------------------------------------

' One table: a Range object, an array of cells (row, column), or both.
Public Type RangeSlot
    FromRange As Long       ' out: 1 when Data was read from RangeObj by SELECT
    RangeObj As Variant     ' in:  a Range, or Empty when Data is given
    Valid As Long           ' out: 1 once SELECT accepted the table
    Data As Variant         ' in/out: the cells, an array of Variants with 1 or 2 dimensions
    HeaderLines As Long     ' in:  header rows at the top, never sorted
    FirstRow As Long        ' in/out: first data row (0 with LastRow 0: below the headers)
    LastRow As Long         ' in/out: last data row
    RowCount As Double      ' out: number of data rows
End Type

Public Type TKCOMM
    Banner As Variant       ' out: the library's name, year and version
    Version As Double       ' out: the engine version
    Reserved1 As Variant    ' never touched
    Source As RangeSlot     ' in/out: the table that is sorted, moved and exported
    IgnoreEmpty As Long     ' in:  0 = empty cells sort last; else they tie on that key
    Dest As RangeSlot       ' in/out: EXPORT's destination (a Range); may stay empty
    SortCmd As Variant      ' in:  the sort command line
    SortKeyCount As Long    ' out: entries read from SortCmd
    SortCmdOk As Long       ' out: 1 when the sort keys were built
    MoveCmd As Variant      ' in:  the move command line; Empty derives it from the keys
    MoveMapCount As Long    ' out: entries read from MoveCmd
    MoveCmdOk As Long       ' out: 1 when the move map was built
    ExportCmd As Variant    ' in:  the export command line
    ExportMapCount As Long  ' out: entries read from ExportCmd
    ExportCmdOk As Long     ' out: 1 when the export map was built
    BrkRowA As Long         ' out: break-out, first row
    BrkRowB As Long         ' out: break-out, second row
    BrkColumn As Long       ' out: break-out, source column
    BrkDestRow As Long      ' out: export break-out, destination row
    BrkDestColumn As Long   ' out: export break-out, destination column
    SortIndex() As Long     ' out: the row order, from SORTINDEX (index from 1)
    SortIndexValid As Long  ' out: 1 after SORTINDEX filled SortIndex
    LastError As Long       ' out: the last status when it is an error (700-799), else 0
    Status As Variant       ' out: the status text, "[ddd]message"
    BenchRows As Long       ' in:  benchmark table rows
    Reserved2 As Long       ' never touched
    BenchShuffle As Double  ' in:  benchmark mixing factor
    SortSeconds As Double   ' out: benchmark sort time
    MoveSeconds As Double   ' out: benchmark move time
    WriteSeconds As Double  ' out: benchmark write-back time
End Type

' ---------------------------------------------------------------------------------------
' The library. Both arguments go by reference: the library reads the code and writes the
' status into it, and works on the caller's own record. 64-bit Office loads tkselect64.dll,
' 32-bit Office tkselect.dll; the record above is the same text for both, and each VBA lays
' it out the way its library expects. LoadLibraryW preloads the copy that sits next to the
' workbook (see LoadLibraryNextToWorkbook). CompareStringW is the system's comparison of two
' texts, which TKNaturalCompare calls with the locale and flags of the library's natural
' order.
' ---------------------------------------------------------------------------------------
#If VBA7 Then
#If Win64 Then
Private Declare PtrSafe Function TKselect Lib "tkselect64.dll" _
    (ByRef code As Long, ByRef comm As TKCOMM) As Long
Private Const LIBRARY_FILE As String = "tkselect64.dll"
#Else
Private Declare PtrSafe Function TKselect Lib "tkselect.dll" _
    (ByRef code As Long, ByRef comm As TKCOMM) As Long
Private Const LIBRARY_FILE As String = "tkselect.dll"
#End If
Private Declare PtrSafe Function LoadLibraryW Lib "kernel32" _
    (ByVal libraryPath As LongPtr) As LongPtr
Private Declare PtrSafe Function CompareStringW Lib "kernel32" _
    (ByVal localeId As Long, ByVal compareFlags As Long, ByVal textPointerA As LongPtr, _
     ByVal lengthA As Long, ByVal textPointerB As LongPtr, ByVal lengthB As Long) As Long
#Else
Private Declare Function TKselect Lib "tkselect.dll" _
    (ByRef code As Long, ByRef comm As TKCOMM) As Long
Private Const LIBRARY_FILE As String = "tkselect.dll"
Private Declare Function LoadLibraryW Lib "kernel32" (ByVal libraryPath As Long) As Long
Private Declare Function CompareStringW Lib "kernel32" _
    (ByVal localeId As Long, ByVal compareFlags As Long, ByVal textPointerA As Long, _
     ByVal lengthA As Long, ByVal textPointerB As Long, ByVal lengthB As Long) As Long
#End If

' CompareStringW's locale and flags for the natural order: the system locale (the one the
' library compares in), without regard to case, runs of digits as numbers. Its answers are
' 1, 2 and 3 for less, equal and greater; 0 when it failed.
Private Const LOCALE_SYSTEM_DEFAULT As Long = &H800
Private Const NORM_IGNORECASE As Long = &H1
Private Const SORT_DIGITSASNUMBERS As Long = &H8
Private Const CSTR_EQUAL As Long = 2

' Error number of the errors this module raises itself: vbObjectError + 513, written out
' because a constant expression may not name vbObjectError in every Basic.
Private Const ERR_TKSELECT As Long = -2147220991

' ---------------------------------------------------------------------------------------
' Command codes: the first argument of TKselect.
' ---------------------------------------------------------------------------------------
Public Const TKC_SELECT As Long = 100      ' check the tables and command lines, then sort
Public Const TKC_SORTINDEX As Long = 101   ' the order into SortIndex
Public Const TKC_MOVE As Long = 102        ' rearrange Source's rows into the order
Public Const TKC_EXPORT As Long = 103      ' copy the rows in order into Dest
Public Const TKC_RESET As Long = 104       ' forget the selection
Public Const TKC_ABOUT As Long = 107       ' banner and version
Public Const TKC_BENCHMARK As Long = 832   ' the built-in benchmark

' ---------------------------------------------------------------------------------------
' Statuses: what the code holds after a call. 700-799 are errors.
' ---------------------------------------------------------------------------------------
Public Const TKS_SUCCESS As Long = 2                  ' the command finished
Public Const TKS_COMPARE_BREAKOUT As Long = 3         ' compare BrkRowA with BrkRowB
Public Const TKS_CONTINUE_ITERATING As Long = 105     ' inside SELECT only; never returned
Public Const TKS_ABOUT As Long = 200                  ' the answer to ABOUT
Public Const TKS_MOVE_ROW_BREAKOUT As Long = 201      ' copy row BrkRowA's cell to BrkRowB
Public Const TKS_MOVE_START_BREAKOUT As Long = 202    ' set row BrkRowA's cell aside
Public Const TKS_MOVE_CLOSE_BREAKOUT As Long = 203    ' put the cell set aside into BrkRowB
Public Const TKS_EXPORT_BREAKOUT As Long = 204        ' copy a Source cell into Dest
Public Const TKS_BAD_BOUNDS As Long = 700             ' invalid array bounds or data rows
Public Const TKS_BAD_HEADER_LINES As Long = 702       ' invalid number of header lines
Public Const TKS_NULL_RECORD As Long = 703            ' no record passed
Public Const TKS_NULL_POINTER As Long = 704           ' a command line or array is missing
Public Const TKS_NO_MEMORY As Long = 705              ' not enough memory
Public Const TKS_STATIC_SORT_INDEX As Long = 706      ' SortIndex is a fixed-size array
Public Const TKS_OUT_OF_ORDER As Long = 707           ' SELECT must come first
Public Const TKS_TOO_MANY_DIMENSIONS As Long = 708    ' a table with 3 or more dimensions
Public Const TKS_BAD_COMMAND_LINE As Long = 709       ' a command line does not parse
Public Const TKS_BAD_CELL As Long = 710               ' a Null cell in an automatic key
Public Const TKS_INDEX_CORRUPTED As Long = 711        ' the row order failed its check
Public Const TKS_FLOW_ERROR As Long = 712             ' flow error; no command reports it
Public Const TKS_STACK_FAILURE As Long = 713          ' an answer while nothing waited
Public Const TKS_STACK_OVERFLOW As Long = 714         ' the sort's recursion ran too deep
Public Const TKS_RANGE_ERROR As Long = 715            ' a Range could not be read
Public Const TKS_RANGE_WRITE_ERROR As Long = 716      ' a Range could not be written back
Public Const TKS_SAME_SOURCE_AND_DEST As Long = 717   ' Source and Dest share their cells
Public Const TKS_ARRAY_ERROR As Long = 718            ' no usable array
Public Const TKS_BANNER As Long = 800                 ' the banner's message number

' ---------------------------------------------------------------------------------------
' Return values of TKselect: the kind of ending. The status itself is in the code.
' ---------------------------------------------------------------------------------------
Public Const TKR_ENDED As Long = 0      ' finished or failed
Public Const TKR_BREAKOUT As Long = 1   ' a compare or copy step waits for the caller
Public Const TKR_OUTPUT As Long = 2     ' SORTINDEX done, ABOUT, first benchmark phase
Public Const TKR_RESET As Long = 3      ' RESET done

' ---------------------------------------------------------------------------------------
' Keyword values, for command lines built as arrays. Long, because the library reads the
' keyword of an entry as a 32-bit value.
' ---------------------------------------------------------------------------------------
Public Const TK_COMPASCAUTO As Long = 1
Public Const TK_COMPDESAUTO As Long = 2
Public Const TK_COMPBRKO As Long = 3
Public Const TK_COMPASCCASE As Long = 4
Public Const TK_COMPDESCASE As Long = 5
Public Const TK_COMPASCNATURAL As Long = 6
Public Const TK_COMPDESNATURAL As Long = 7
Public Const TK_COMPASCNUMTEXT As Long = 8
Public Const TK_COMPDESNUMTEXT As Long = 9
Public Const TK_MOVEAUTO As Long = 500
Public Const TK_MOVEBRKO As Long = 501
Public Const TK_EXPORTAUTO As Long = 600
Public Const TK_EXPORTBRKO As Long = 601

' The code sent after a copy break-out. Any value that is not a command code would do.
Private Const COPY_DONE As Long = 0

' The places of cells in the automatic order (CellKind), in that order.
Private Const CELL_NUMBER As Long = 1
Private Const CELL_TEXT As Long = 2
Private Const CELL_EMPTY As Long = 3
Private Const CELL_UNORDERED As Long = 0

' The pseudo-random order the ready procedures hand the rows over in (ShufflePositions):
' the generator's modulus, and its state, carried from one shuffle to the next (0 until the
' first shuffle seeds it from the clock).
Private Const RANDOM_MODULUS As Double = 2147483647
Private mShuffleState As Double

' The status text of the last request, for TKLastStatusText.
Private mLastStatusText As String
' True from the first call of a request until its RESET: the library then holds pointers
' into the record's arrays and must be told to let go before they are freed.
Private mLibraryHoldsRecord As Boolean
' True once LoadLibraryNextToWorkbook has run.
Private mLibraryLookedFor As Boolean

' =======================================================================================
' Ready procedures
' =======================================================================================

' Sorts the rows of sortRange in place.
'   sortRange     one rectangular area; its header rows stay on top
'   sortCommand   the sort line, e.g. "2,TK_COMPASCAUTO 1,TK_COMPBRKO"
'   moveCommand   optional move line; left out, every column moves with its row
'   headerRows    header rows at the top of the Range (default 1; 0 for a table without
'                 a header row)
'   compareRoutine, copyRoutine   see "Routines you provide" above
'   stable        True (default): rows that tie on every key keep their order, and no
'                 layout of the table can reach the library's depth limit; False: the
'                 library's plain order (see SelectTable)
' Returns the status; the Range is written back only when it is TKS_SUCCESS. The Range gets
' values back: formulas in it are replaced by the values they showed.
Public Function TKSortRange(ByVal sortRange As Range, ByVal sortCommand As Variant, _
                            Optional ByVal moveCommand As Variant, _
                            Optional ByVal headerRows As Long = 1, _
                            Optional ByVal compareRoutine As String = "", _
                            Optional ByVal copyRoutine As String = "", _
                            Optional ByVal stable As Boolean = True) As Long
    Dim cellValues As Variant

    BeginRequest
    cellValues = RangeValues(sortRange, "sortRange")
    TKSortRange = TKSortArray(cellValues, sortCommand, moveCommand, headerRows, _
                              compareRoutine, copyRoutine, stable)
    If TKSortRange = TKS_SUCCESS Then sortRange.Value = cellValues
End Function

' Sorts the rows of an array in place: grid(row, column), or grid(row) as one column, of
' any element type and bounds. Arguments as for TKSortRange. On any status other than
' TKS_SUCCESS the array is left as it was.
Public Function TKSortArray(ByRef grid As Variant, ByVal sortCommand As Variant, _
                            Optional ByVal moveCommand As Variant, _
                            Optional ByVal headerRows As Long = 1, _
                            Optional ByVal compareRoutine As String = "", _
                            Optional ByVal copyRoutine As String = "", _
                            Optional ByVal stable As Boolean = True) As Long
    Dim comm As TKCOMM
    Dim outcome As Long
    Dim dimensions As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    If IsMissing(moveCommand) Then moveCommand = Empty
    dimensions = TableDimensions(grid, "grid")
    outcome = SelectTable(comm, grid, dimensions, sortCommand, moveCommand, headerRows, _
                          compareRoutine, stable)
    If outcome = TKS_SUCCESS Then
        outcome = RunCommand(comm, TKC_MOVE, compareRoutine, "")
    End If
    If outcome = TKS_SUCCESS Then
        ' The copy routine sees the rows as the caller's table numbers them (see
        ' ApplyCopyRoutine); it works on the library's array, so that an error it raises
        ' leaves grid as it was.
        If Len(copyRoutine) > 0 Then
            ApplyCopyRoutine comm.Source.Data, comm.Source.HeaderLines, _
                CopyRoutineColumns(sortCommand, moveCommand), QualifiedRoutine(copyRoutine)
        End If
        CopyBack comm.Source.Data, grid, dimensions
    End If
    TKSortArray = CloseRequest(comm, outcome)
    Exit Function

Failed:
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    ReleaseRecord comm
    RaiseAgain errNumber, errSource, errDescription
End Function

' Sorts sourceTable (a Range or an array, left unchanged) and copies its rows in that order
' into exportRange through exportCommand, e.g. "2,1,TK_EXPORTAUTO 1,2,TK_EXPORTAUTO"
' (source column 2 into the Range's column 1, source column 1 into its column 2).
'   headerRows       header rows of sourceTable (default 1)
'   exportHeaderRows header rows of exportRange (default: as headerRows); the first
'                    min(headerRows, exportHeaderRows) header rows are exported too, through
'                    the same columns
' Data rows fill exportRange from below its header rows; when it is shorter than the
' table, the rows that do not fit are left out. Columns that exportCommand does not name
' keep their content. The library writes exportRange back itself at the end.
Public Function TKExportRange(ByVal sourceTable As Variant, ByVal exportRange As Range, _
                              ByVal sortCommand As Variant, ByVal exportCommand As Variant, _
                              Optional ByVal headerRows As Long = 1, _
                              Optional ByVal exportHeaderRows As Variant, _
                              Optional ByVal compareRoutine As String = "", _
                              Optional ByVal copyRoutine As String = "", _
                              Optional ByVal stable As Boolean = True) As Long
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim outcome As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    grid = TableValues(sourceTable, "sourceTable")
    CheckRange exportRange, "exportRange"
    ' A single cell reads back as one value, not as an array of cells.
    If exportRange.CountLarge < 2 Then
        Err.Raise ERR_TKSELECT, "TKExportRange", "exportRange must have at least two cells."
    End If
    Set comm.Dest.RangeObj = exportRange
    If IsMissing(exportHeaderRows) Then exportHeaderRows = headerRows
    comm.Dest.HeaderLines = exportHeaderRows
    comm.ExportCmd = exportCommand
    outcome = SelectTable(comm, grid, TableDimensions(grid, "sourceTable"), sortCommand, _
                          Empty, headerRows, compareRoutine, stable)
    If outcome = TKS_SUCCESS Then
        outcome = RunCommand(comm, TKC_EXPORT, compareRoutine, copyRoutine)
    End If
    TKExportRange = CloseRequest(comm, outcome)
    Exit Function

Failed:
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    ReleaseRecord comm
    RaiseAgain errNumber, errSource, errDescription
End Function

' Sorts sourceTable (a Range or an array, left unchanged) and returns its order in
' rowOrder, a dynamic Long array from index 1: rowOrder(1) is the row that comes first.
' Row numbers are the table's own: for a Range, 1 is its top row, header rows included.
' rowOrder is left as it was unless the status is TKS_SUCCESS. headerRows defaults to 1.
Public Function TKSortIndex(ByVal sourceTable As Variant, ByVal sortCommand As Variant, _
                            ByRef rowOrder() As Long, _
                            Optional ByVal headerRows As Long = 1, _
                            Optional ByVal compareRoutine As String = "", _
                            Optional ByVal stable As Boolean = True) As Long
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim outcome As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    grid = TableValues(sourceTable, "sourceTable")
    outcome = SelectTable(comm, grid, TableDimensions(grid, "sourceTable"), sortCommand, _
                          Empty, headerRows, compareRoutine, stable)
    If outcome = TKS_SUCCESS Then
        outcome = RunCommand(comm, TKC_SORTINDEX, compareRoutine, "")
    End If
    If outcome = TKS_SUCCESS Then
        SourceRowsInPlace comm.SortIndex, comm.Source.Data, comm.Source.HeaderLines
        rowOrder = comm.SortIndex
    End If
    TKSortIndex = CloseRequest(comm, outcome)
    Exit Function

Failed:
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    ReleaseRecord comm
    RaiseAgain errNumber, errSource, errDescription
End Function

' The library's banner: its name, the year and the version. A quick check that
' tkselect.dll is found and loads.
Public Function TKAbout() As String
    Dim comm As TKCOMM
    Dim code As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    code = TKC_ABOUT
    TKselect code, comm
    If VarType(comm.Banner) = vbString Then TKAbout = comm.Banner
    mLastStatusText = StatusText(comm)
    ReleaseRecord comm
    Exit Function

Failed:
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    ReleaseRecord comm
    RaiseAgain errNumber, errSource, errDescription
End Function

' The library's status text of the last request made through this module, such as
' "[002]Completed without errors" or "[709]Typing error or missing, ...".
Public Function TKLastStatusText() As String
    TKLastStatusText = mLastStatusText
End Function

' The library's natural order (TK_COMPASCNATURAL) as a function: -1 when valueA comes
' first, 1 when valueB does, 0 when they tie. For comparison routines of your own that want
' this order for some of their cells; a key that wants it throughout is faster as a
' TK_COMPASCNATURAL key, which the library compares itself. Two texts compare as the
' library compares them, through the same system call with the same locale and flags:
' without regard to case, runs of digits by their number ("file9" before "file10"),
' hyphens and apostrophes weighing little ("co-op 2" before "coop 10"). Every other pair
' as the automatic order: numbers, dates and booleans (True is -1) by value and before
' any text, the empty text "" included; Empty cells last. keyColumn is not needed here.
' A Null cell, or an error value, has no place in the order: the library stops a sort
' that meets a Null with TKS_BAD_CELL, and this function raises an error.
Public Function TKNaturalCompare(ByVal valueA As Variant, ByVal valueB As Variant, _
                                 ByVal keyColumn As Long) As Long
    Dim kindA As Long
    Dim kindB As Long

    kindA = CellKind(valueA)
    kindB = CellKind(valueB)
    If kindA = CELL_UNORDERED Or kindB = CELL_UNORDERED Then
        Err.Raise ERR_TKSELECT, "TKNaturalCompare", "A cell of type " & _
                  TypeName(IIf(kindA = CELL_UNORDERED, valueA, valueB)) & _
                  " has no place in a sort order."
    End If
    If kindA <> kindB Then
        ' Numbers before text, Empty cells after both.
        TKNaturalCompare = Sgn(kindA - kindB)
    ElseIf kindA = CELL_NUMBER Then
        If valueA < valueB Then
            TKNaturalCompare = -1
        ElseIf valueA > valueB Then
            TKNaturalCompare = 1
        End If
    ElseIf kindA = CELL_TEXT Then
        TKNaturalCompare = NaturalTextOrder(CStr(valueA), CStr(valueB))
    End If
End Function

' =======================================================================================
' Examples: one per ready procedure. They work on the active sheet, which should hold a
' table with one header row: column 1 a region, column 2 a customer, column 3 an amount.
' =======================================================================================

' Sorts the sheet's table by region, then by customer in natural order ("Customer 9" comes
' before "Customer 10"); the library compares both keys itself.
Public Sub ExampleSortUsedRange()
    Dim outcome As Long

    outcome = TKSortRange(ActiveSheet.UsedRange, "1,TK_COMPASCAUTO 2,TK_COMPASCNATURAL", _
                          headerRows:=1)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Sorts an array built in code by amount, largest first, then by name, and numbers the
' lines again: column 1 is moved through ExampleRenumber, which gives every moved cell
' the number of the line it lands on.
Public Sub ExampleSortArray()
    Dim grid() As Variant
    Dim lineNo As Long
    Dim outcome As Long

    ReDim grid(1 To 6, 1 To 3)
    grid(1, 1) = "No.": grid(1, 2) = "Name": grid(1, 3) = "Amount"
    grid(2, 1) = 1: grid(2, 2) = "pear": grid(2, 3) = 3
    grid(3, 1) = 2: grid(3, 2) = "Apple": grid(3, 3) = 12
    grid(4, 1) = 3: grid(4, 2) = "fig": grid(4, 3) = 3
    grid(5, 1) = 4: grid(5, 2) = "banana": grid(5, 3) = 7
    grid(6, 1) = 5: grid(6, 2) = "cherry": grid(6, 3) = 12

    outcome = TKSortArray(grid, "3,TK_COMPDESAUTO 2,TK_COMPASCAUTO", "1,TK_MOVEBRKO", _
                          headerRows:=1, copyRoutine:="ExampleRenumber")
    If outcome <> TKS_SUCCESS Then
        MsgBox TKLastStatusText(), vbExclamation, "TKselect"
        Exit Sub
    End If
    For lineNo = 1 To 6
        Debug.Print grid(lineNo, 1), grid(lineNo, 2), grid(lineNo, 3)
    Next lineNo
End Sub

' The copy routine of ExampleSortArray: the line number of the row the cell lands on
' (row 1 is the header).
Public Function ExampleRenumber(ByVal cellValue As Variant, ByVal fromRow As Long, _
                                ByVal toRow As Long, ByVal keyColumn As Long) As Variant
    ExampleRenumber = toRow - 1
End Function

' Sorts the sheet's table by customer in natural order and exports customer and region,
' in that order and with the header, into the two columns right of the table (one blank
' column between).
Public Sub ExampleExport()
    Dim sheetTable As Range
    Dim exportRange As Range
    Dim outcome As Long

    Set sheetTable = ActiveSheet.UsedRange
    Set exportRange = sheetTable.Offset(0, sheetTable.Columns.Count + 1).Resize(, 2)
    outcome = TKExportRange(sheetTable, exportRange, "2,TK_COMPASCNATURAL", _
                            "2,1,TK_EXPORTAUTO 1,2,TK_EXPORTAUTO", _
                            headerRows:=1, exportHeaderRows:=1)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Prints the sheet's rows in order of amount, largest first, without moving them.
Public Sub ExampleSortIndex()
    Dim rowOrder() As Long
    Dim place As Long
    Dim outcome As Long

    outcome = TKSortIndex(ActiveSheet.UsedRange, "3,TK_COMPDESAUTO", rowOrder, headerRows:=1)
    If outcome <> TKS_SUCCESS Then
        MsgBox TKLastStatusText(), vbExclamation, "TKselect"
        Exit Sub
    End If
    For place = LBound(rowOrder) To UBound(rowOrder)
        Debug.Print place, "sheet row " & ActiveSheet.UsedRange.Rows(rowOrder(place)).Row
    Next place
End Sub

' Shows the library's banner.
Public Sub ExampleAbout()
    MsgBox TKAbout(), vbInformation, "TKselect"
End Sub

' =======================================================================================
' The request: record, SELECT, break-outs, clean-up
' =======================================================================================

' Fills the record's source with grid and the command lines, and runs SELECT with its
' compare break-outs. The library gets an array of Variants built here (a copy), never
' the caller's own variable, so the caller's array keeps its element type and the copy can
' take one more column: the position column, which holds each data row's place in grid
' (1, 2, 3, ...) and lets every row be traced back to the caller's table.
'
' Stable sort (stable = True): the library's quicksort leaves rows that tie on every key in
' no particular order, and its recursion runs deep on some layouts: keys with few distinct
' values (Yes/No, a region code), or a sorted list with a sorted batch appended. Its frame
' stack holds 516 levels and a deeper sort stops with TKS_STACK_OVERFLOW (714): 2,000 rows
' of two values reach that, and so do 1,034 rows of distinct keys in two sorted runs. So the
' data rows go to the library in a pseudo-random order (WorkArray) and the position
' column is the sort line's last automatic key. No two rows tie any more, so ties keep the
' order they had in grid, whatever order they were handed over in; and a shuffled table of
' distinct keys drives the recursion about 2 * log2(rows) deep on any layout, about 40
' levels at a million rows. With stable = False the rows go over as they stand and the
' position column is no key: the library's plain order, with its limit.
'
' Without a move line the library derives the move map from the keys and moves the position
' column itself; a move line does not name it, so the library moves it as an unnamed column.
' Only the caller's columns are copied back.
Private Function SelectTable(ByRef comm As TKCOMM, ByRef grid As Variant, _
                             ByVal dimensions As Long, ByVal sortCommand As Variant, _
                             ByVal moveCommand As Variant, ByVal headerRows As Long, _
                             ByVal compareRoutine As String, ByVal stable As Boolean) As Long
    comm.Source.Data = WorkArray(grid, dimensions, headerRows, stable)
    If stable Then
        comm.SortCmd = WithPositionKey(sortCommand, UBound(comm.Source.Data, 2))
    Else
        comm.SortCmd = sortCommand
    End If
    comm.Source.HeaderLines = headerRows
    If HasCommandLine(moveCommand) Then comm.MoveCmd = moveCommand
    SelectTable = RunCommand(comm, TKC_SELECT, compareRoutine, "")
End Function

' Sends commandCode and answers every break-out until the library ends the command; returns
' the final status. Break-outs are answered in comm.Source.Data and comm.Dest.Data
' themselves, the arrays the library works on; the answer to a comparison is reduced to
' its sign, so it can never be mistaken for a command code. MOVE's copies are plain: the
' library's rows are shuffled, so its "from" and "to" rows are not the caller's, and the
' copy routine runs afterwards on the caller's row numbers (ApplyCopyRoutine). An export
' copy names its source row as the caller's table numbers it.
Private Function RunCommand(ByRef comm As TKCOMM, ByVal commandCode As Long, _
                            ByVal compareRoutine As String, ByVal copyRoutine As String) As Long
    Dim code As Long
    Dim returned As Long
    Dim aside() As Variant  ' MOVE: the cells set aside when the open cycle began, by column
    Dim rowA As Long
    Dim rowB As Long
    Dim keyColumn As Long

    If commandCode = TKC_MOVE Then
        ReDim aside(LBound(comm.Source.Data, 2) To UBound(comm.Source.Data, 2))
    End If
    If Len(compareRoutine) > 0 Then compareRoutine = QualifiedRoutine(compareRoutine)
    If Len(copyRoutine) > 0 Then copyRoutine = QualifiedRoutine(copyRoutine)
    code = commandCode
    returned = TKselect(code, comm)
    mLibraryHoldsRecord = True
    Do While returned = TKR_BREAKOUT
        rowA = comm.BrkRowA
        rowB = comm.BrkRowB
        keyColumn = comm.BrkColumn
        Select Case code
        Case TKS_COMPARE_BREAKOUT
            code = CompareCells(compareRoutine, comm.Source.Data(rowA, keyColumn), _
                                comm.Source.Data(rowB, keyColumn), keyColumn)
        Case TKS_MOVE_START_BREAKOUT
            aside(keyColumn) = comm.Source.Data(rowA, keyColumn)
            code = COPY_DONE
        Case TKS_MOVE_ROW_BREAKOUT
            comm.Source.Data(rowB, keyColumn) = comm.Source.Data(rowA, keyColumn)
            code = COPY_DONE
        Case TKS_MOVE_CLOSE_BREAKOUT
            comm.Source.Data(rowB, keyColumn) = aside(keyColumn)
            aside(keyColumn) = Empty
            code = COPY_DONE
        Case TKS_EXPORT_BREAKOUT
            comm.Dest.Data(comm.BrkDestRow, comm.BrkDestColumn) = CopiedCell(copyRoutine, _
                comm.Source.Data(rowA, keyColumn), _
                SourceRow(comm.Source.Data, comm.Source.HeaderLines, rowA), _
                comm.BrkDestRow, keyColumn)
            code = COPY_DONE
        Case Else
            Err.Raise ERR_TKSELECT, "TKselect", "The library asked for an unknown step (" & _
                      code & ")."
        End Select
        returned = TKselect(code, comm)
    Loop
    RunCommand = code
End Function

' The answer to a compare break-out: the sign of the author's comparison.
Private Function CompareCells(ByVal compareRoutine As String, ByVal cellA As Variant, _
                              ByVal cellB As Variant, ByVal keyColumn As Long) As Long
    If Len(compareRoutine) = 0 Then
        Err.Raise ERR_TKSELECT, "TKselect", "Column " & keyColumn & " is a TK_COMPBRKO " & _
                  "key, but no comparison routine was named (compareRoutine:=...)."
    End If
    CompareCells = Sgn(Application.Run(compareRoutine, cellA, cellB, keyColumn))
End Function

' The value a copy break-out stores: the cell itself, or what the author's copy routine
' makes of it.
Private Function CopiedCell(ByVal copyRoutine As String, ByVal cellValue As Variant, _
                            ByVal fromRow As Long, ByVal toRow As Long, _
                            ByVal keyColumn As Long) As Variant
    If Len(copyRoutine) = 0 Then
        CopiedCell = cellValue
    Else
        CopiedCell = Application.Run(copyRoutine, cellValue, fromRow, toRow, keyColumn)
    End If
End Function

' Keeps the status text, releases the record and returns outcome.
Private Function CloseRequest(ByRef comm As TKCOMM, ByVal outcome As Long) As Long
    mLastStatusText = StatusText(comm)
    ReleaseRecord comm
    CloseRequest = outcome
End Function

' Tells the library to let go of the record (RESET), then frees everything the record
' holds: the arrays, the Range, and the strings the library stored. Safe to call twice.
Private Sub ReleaseRecord(ByRef comm As TKCOMM)
    Dim code As Long

    If mLibraryHoldsRecord Then
        mLibraryHoldsRecord = False
        code = TKC_RESET
        TKselect code, comm
    End If
    comm.Banner = Empty
    comm.Reserved1 = Empty
    ReleaseSlot comm.Source
    ReleaseSlot comm.Dest
    comm.SortCmd = Empty
    comm.MoveCmd = Empty
    comm.ExportCmd = Empty
    Erase comm.SortIndex
    comm.Status = Empty
End Sub

Private Sub ReleaseSlot(ByRef slot As RangeSlot)
    Set slot.RangeObj = Nothing
    slot.Data = Empty
End Sub

Private Function StatusText(ByRef comm As TKCOMM) As String
    If VarType(comm.Status) = vbString Then StatusText = comm.Status
End Function

' =======================================================================================
' Tables and command lines
' =======================================================================================

' The engine's copy of grid: a 2-D array of Variants with grid's row and column bounds
' (one column for a 1-D grid) and one more column, the position column. Header rows stay on
' top as they are and keep an empty position. Data row k of grid (k = 1, 2, ...) keeps its
' place, or with shuffled set goes to a pseudo-random place (ShufflePositions); either
' way the position column of the row that holds it says k.
Private Function WorkArray(ByRef grid As Variant, ByVal dimensions As Long, _
                           ByVal headerRows As Long, ByVal shuffled As Boolean) As Variant
    Dim work() As Variant
    Dim places() As Long
    Dim topRow As Long
    Dim bottomRow As Long
    Dim leftColumn As Long
    Dim rightColumn As Long
    Dim firstDataRow As Long
    Dim dataRows As Long
    Dim r As Long
    Dim c As Long
    Dim k As Long

    topRow = LBound(grid, 1)
    bottomRow = UBound(grid, 1)
    If dimensions = 2 Then
        leftColumn = LBound(grid, 2)
        rightColumn = UBound(grid, 2)
    Else
        leftColumn = 1
        rightColumn = 1
    End If
    ReDim work(topRow To bottomRow, leftColumn To rightColumn + 1)

    ' With an impossible headerRows the library refuses the table; the rows here only have
    ' to stay inside the array.
    firstDataRow = DataRowStart(topRow, bottomRow, headerRows)
    dataRows = bottomRow - firstDataRow + 1
    If dataRows > 0 Then
        ReDim places(1 To dataRows)
        ShufflePositions places, shuffled
    End If

    For r = topRow To firstDataRow - 1
        For c = leftColumn To rightColumn
            If dimensions = 2 Then work(r, c) = grid(r, c) Else work(r, c) = grid(r)
        Next c
    Next r
    For k = 1 To dataRows
        r = firstDataRow + places(k) - 1
        For c = leftColumn To rightColumn
            If dimensions = 2 Then
                work(r, c) = grid(firstDataRow + k - 1, c)
            Else
                work(r, c) = grid(firstDataRow + k - 1)
            End If
        Next c
        work(r, rightColumn + 1) = k
    Next k
    WorkArray = work
End Function

' The first data row of rows topRow..bottomRow below headerRows header rows, kept inside
' topRow..bottomRow + 1.
Private Function DataRowStart(ByVal topRow As Long, ByVal bottomRow As Long, _
                              ByVal headerRows As Long) As Long
    DataRowStart = topRow
    If headerRows > 0 Then
        If headerRows > bottomRow - topRow + 1 Then
            DataRowStart = bottomRow + 1
        Else
            DataRowStart = topRow + headerRows
        End If
    End If
End Function

' Fills places(1..n) with 1..n: in order, or with shuffled in a pseudo-random order that no
' table can know in advance. An order fixed by n alone could be read off and a table laid out
' as its inverse, which the library would then meet as two sorted runs and stop at its depth
' limit; so the generator is seeded from the clock once and every shuffle goes on from where
' the last one stopped. The order never shows in the result: the position column, the last
' key, makes the sorted order the stable one whatever it was.
' The generator is the minimal standard one, x := x * 16807 mod (2^31 - 1), worked in
' Doubles, which hold its products exactly (below 2^46); a Long would overflow. Fisher-Yates
' then draws each place.
Private Sub ShufflePositions(ByRef places() As Long, ByVal shuffled As Boolean)
    Dim state As Double
    Dim seed As Double
    Dim i As Long
    Dim j As Long
    Dim held As Long

    For i = LBound(places) To UBound(places)
        places(i) = i - LBound(places) + 1
    Next i
    If Not shuffled Then Exit Sub
    If mShuffleState < 1 Or mShuffleState >= RANDOM_MODULUS Then
        ' The clock to the second (Now) and to the millisecond or so (Timer), not Randomize
        ' and Rnd, which would disturb the caller's own random sequence. The state is a whole
        ' number in 1 .. 2^31 - 2, as the generator needs.
        seed = Int(CDbl(Now) * 86400#) + Int(Timer * 1000#)
        mShuffleState = 1 + seed - Int(seed / (RANDOM_MODULUS - 2)) * (RANDOM_MODULUS - 2)
    End If
    state = mShuffleState
    For i = UBound(places) To LBound(places) + 1 Step -1
        state = state * 16807#
        state = state - Int(state / RANDOM_MODULUS) * RANDOM_MODULUS
        If state <= 0 Then state = state + RANDOM_MODULUS
        ' state lies in 1 .. 2^31 - 2, so j lies in LBound .. i.
        j = LBound(places) + Int(state * (i - LBound(places) + 1) / RANDOM_MODULUS)
        held = places(i)
        places(i) = places(j)
        places(j) = held
    Next i
    mShuffleState = state
End Sub

' The caller's row of row workRow of the library's array: header rows are where they were;
' a data row is found through its position column (the array's last).
Private Function SourceRow(ByRef work As Variant, ByVal headerRows As Long, _
                           ByVal workRow As Long) As Long
    Dim firstDataRow As Long

    firstDataRow = DataRowStart(LBound(work, 1), UBound(work, 1), headerRows)
    If workRow < firstDataRow Then
        SourceRow = workRow
    Else
        SourceRow = firstDataRow + work(workRow, UBound(work, 2)) - 1
    End If
End Function

' Turns SORTINDEX's rows of the library's array into the caller's rows, in place.
Private Sub SourceRowsInPlace(ByRef rowOrder() As Long, ByRef work As Variant, _
                              ByVal headerRows As Long)
    Dim i As Long

    For i = LBound(rowOrder) To UBound(rowOrder)
        rowOrder(i) = SourceRow(work, headerRows, rowOrder(i))
    Next i
End Sub

' Runs the copy routine over the moved array work, for the cells CellsThatChangedRows lists.
Private Sub ApplyCopyRoutine(ByRef work As Variant, ByVal headerRows As Long, _
                             ByRef copyColumns As Variant, ByVal copyRoutine As String)
    Dim cells As Variant
    Dim i As Long
    Dim r As Long
    Dim c As Long

    cells = CellsThatChangedRows(work, headerRows, copyColumns)
    If IsEmpty(cells) Then Exit Sub
    For i = 1 To UBound(cells, 1)
        r = cells(i, 1)
        c = cells(i, 2)
        work(r, c) = Application.Run(copyRoutine, work(r, c), cells(i, 3), r, c)
    Next i
End Sub

' The cells a copy routine is called for after a MOVE: every data cell of a column marked in
' copyColumns (a Boolean per column) that now stands in another row than it did in the
' caller's table. One row per cell, in row order: its row, its column, and the row it stood
' in before, as the caller's table numbers them. Empty when there are none.
Private Function CellsThatChangedRows(ByRef work As Variant, ByVal headerRows As Long, _
                                      ByRef copyColumns As Variant) As Variant
    Dim cells() As Long
    Dim count As Long
    Dim pass As Long
    Dim r As Long
    Dim c As Long
    Dim fromRow As Long

    CellsThatChangedRows = Empty
    For pass = 1 To 2
        If pass = 2 Then
            If count = 0 Then Exit Function
            ReDim cells(1 To count, 1 To 3)
            count = 0
        End If
        For r = DataRowStart(LBound(work, 1), UBound(work, 1), headerRows) To UBound(work, 1)
            fromRow = SourceRow(work, headerRows, r)
            If fromRow <> r Then
                For c = LBound(work, 2) To UBound(work, 2) - 1
                    If IsCopyColumn(copyColumns, c) Then
                        count = count + 1
                        If pass = 2 Then
                            cells(count, 1) = r
                            cells(count, 2) = c
                            cells(count, 3) = fromRow
                        End If
                    End If
                Next c
            End If
        Next r
    Next pass
    CellsThatChangedRows = cells
End Function

Private Function IsCopyColumn(ByRef copyColumns As Variant, ByVal c As Long) As Boolean
    If c < LBound(copyColumns) Or c > UBound(copyColumns) Then Exit Function
    IsCopyColumn = copyColumns(c)
End Function

' The columns a copy routine handles in a MOVE, as an array of Booleans by column number
' (1 .. the largest column named): those the move line marks TK_MOVEBRKO, or without a move
' line the sort keys marked TK_COMPBRKO, which the library moves that way.
Private Function CopyRoutineColumns(ByVal sortCommand As Variant, _
                                    ByVal moveCommand As Variant) As Variant
    If HasCommandLine(moveCommand) Then
        CopyRoutineColumns = ColumnsWithKeyword(moveCommand, "TK_MOVEBRKO", TK_MOVEBRKO)
    Else
        CopyRoutineColumns = ColumnsWithKeyword(sortCommand, "TK_COMPBRKO", TK_COMPBRKO)
    End If
End Function

' The columns whose entry in commandLine carries the keyword keywordName (in a text) or
' keywordValue (in an array of column, keyword pairs), as Booleans indexed 0 .. the largest
' such column. A text is read as the library reads it: entries apart by blanks, each a
' number, one separator character, maybe blanks, the keyword, and maybe one comma after it.
' What does not read so is passed over here; the library has refused it already.
Private Function ColumnsWithKeyword(ByVal commandLine As Variant, ByVal keywordName As String, _
                                    ByVal keywordValue As Long) As Variant
    Dim marked() As Boolean
    Dim columns As Collection
    Dim largest As Long
    Dim textLine As String
    Dim at As Long
    Dim digits As String
    Dim word As String
    Dim i As Long
    Dim columnNo As Variant

    Set columns = New Collection
    If VarType(commandLine) = vbString Then
        textLine = commandLine
        at = 1
        Do While at <= Len(textLine)
            Do While at <= Len(textLine) And IsBlankAt(textLine, at)
                at = at + 1
            Loop
            digits = DigitRunAt(textLine, at)
            at = at + 1  ' the separator
            Do While at <= Len(textLine) And IsBlankAt(textLine, at)
                at = at + 1
            Loop
            word = ""
            Do While at <= Len(textLine)
                If IsBlankAt(textLine, at) Then Exit Do
                word = word & Mid$(textLine, at, 1)
                at = at + 1
            Loop
            If Right$(word, 1) = "," Then word = Left$(word, Len(word) - 1)
            If Len(digits) > 0 And Len(digits) < 6 And UCase$(word) = keywordName Then
                columns.Add CLng(digits)
            End If
        Loop
    ElseIf IsArray(commandLine) Then
        If DimensionCount(commandLine) = 1 Then
            For i = LBound(commandLine) To UBound(commandLine) - 1 Step 2
                If IsNumeric(commandLine(i)) And IsNumeric(commandLine(i + 1)) Then
                    If commandLine(i + 1) = keywordValue And commandLine(i) >= 0 And _
                       commandLine(i) < 100000 Then columns.Add CLng(commandLine(i))
                End If
            Next i
        End If
    End If

    For Each columnNo In columns
        If columnNo > largest Then largest = columnNo
    Next columnNo
    ReDim marked(0 To largest)
    For Each columnNo In columns
        marked(columnNo) = True
    Next columnNo
    ColumnsWithKeyword = marked
End Function

Private Function IsBlankAt(ByRef textValue As String, ByVal at As Long) As Boolean
    Select Case Mid$(textValue, at, 1)
    Case " ", vbTab, vbCr, vbLf
        IsBlankAt = True
    End Select
End Function

' Copies the caller's columns of the engine's array back into grid, in grid's shape.
Private Sub CopyBack(ByRef work As Variant, ByRef grid As Variant, ByVal dimensions As Long)
    Dim r As Long
    Dim c As Long

    If dimensions = 2 Then
        For c = LBound(grid, 2) To UBound(grid, 2)
            For r = LBound(grid, 1) To UBound(grid, 1)
                grid(r, c) = work(r, c)
            Next r
        Next c
    Else
        c = LBound(work, 2)
        For r = LBound(grid, 1) To UBound(grid, 1)
            grid(r) = work(r, c)
        Next r
    End If
End Sub

' sortCommand with the position column appended as its last key, ascending. A missing,
' blank or empty command is passed on unchanged, so that the library still refuses it
' instead of sorting by position alone.
Private Function WithPositionKey(ByVal sortCommand As Variant, _
                                 ByVal positionColumn As Long) As Variant
    Dim entries() As Variant
    Dim entryCount As Long
    Dim i As Long

    WithPositionKey = sortCommand
    If VarType(sortCommand) = vbString Then
        If Len(Trim$(sortCommand)) > 0 Then
            WithPositionKey = sortCommand & " " & CStr(positionColumn) & ",TK_COMPASCAUTO"
        End If
    ElseIf IsArray(sortCommand) Then
        If DimensionCount(sortCommand) = 1 Then
            entryCount = UBound(sortCommand) - LBound(sortCommand) + 1
            If entryCount > 0 Then
                ReDim entries(0 To entryCount + 1)
                For i = 0 To entryCount - 1
                    entries(i) = sortCommand(LBound(sortCommand) + i)
                Next i
                entries(entryCount) = CInt(positionColumn)
                entries(entryCount + 1) = TK_COMPASCAUTO
                WithPositionKey = entries
            End If
        End If
    End If
End Function

' False for a move line that is missing, Empty or blank: the library then derives the
' move map from the sort keys. (An empty text given to the library would be refused.)
Private Function HasCommandLine(ByVal commandLine As Variant) As Boolean
    If IsMissing(commandLine) Or IsEmpty(commandLine) Then Exit Function
    If VarType(commandLine) = vbString Then
        HasCommandLine = Len(Trim$(commandLine)) > 0
    Else
        HasCommandLine = True
    End If
End Function

' The cell values of a Range, or an array as it is.
Private Function TableValues(ByVal sourceTable As Variant, ByVal argument As String) As Variant
    If IsObject(sourceTable) Then
        If sourceTable Is Nothing Then
            Err.Raise ERR_TKSELECT, "TKselect", argument & " is Nothing."
        End If
        If Not TypeOf sourceTable Is Range Then
            Err.Raise ERR_TKSELECT, "TKselect", argument & " must be a Range or an array."
        End If
        TableValues = RangeValues(sourceTable, argument)
    Else
        TableValues = sourceTable
    End If
End Function

' The values of a one-area Range as an array (row, column), also for a single cell.
Private Function RangeValues(ByVal area As Range, ByVal argument As String) As Variant
    Dim oneCell() As Variant

    CheckRange area, argument
    If area.CountLarge = 1 Then
        ReDim oneCell(1 To 1, 1 To 1)
        oneCell(1, 1) = area.Value
        RangeValues = oneCell
    Else
        RangeValues = area.Value
    End If
End Function

Private Sub CheckRange(ByVal area As Range, ByVal argument As String)
    If area Is Nothing Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " is Nothing."
    End If
    ' .Value of several areas gives the first area only.
    If area.Areas.Count <> 1 Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " must be one rectangular area."
    End If
End Sub

' The number of dimensions of an array that a table may have: 1 or 2.
Private Function TableDimensions(ByRef grid As Variant, ByVal argument As String) As Long
    If Not IsArray(grid) Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " must be an array or a Range."
    End If
    Dim d As Long

    TableDimensions = DimensionCount(grid)
    For d = 1 To TableDimensions
        ' Split("") and Array() have no element: UBound lies below LBound.
        If UBound(grid, d) < LBound(grid, d) Then TableDimensions = 0
    Next d
    If TableDimensions < 1 Or TableDimensions > 2 Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " must have 1 or 2 dimensions, " & _
                  "each with at least one element (a dynamic array must be dimensioned)."
    End If
End Function

' The number of dimensions of an array; 0 for a dynamic array never dimensioned. VBA
' answers only by failing: LBound of a dimension that does not exist raises error 9,
' which ends the count and nothing else.
Private Function DimensionCount(ByRef anyArray As Variant) As Long
    Dim found As Long
    Dim bound As Long

    On Error GoTo NoMoreDimensions
    Do
        bound = LBound(anyArray, found + 1)
        found = found + 1
    Loop
NoMoreDimensions:
    DimensionCount = found
End Function

' =======================================================================================
' The library, the platform, errors
' =======================================================================================

' The start of every procedure that reaches the library: forget the last status text, find
' the library.
Private Sub BeginRequest()
    mLastStatusText = ""
    LoadLibraryNextToWorkbook
End Sub

' A Declare looks for its library where Windows looks: Excel's own folder, the system
' folders, the current folder and the PATH, but not the workbook's folder. Loading the
' copy next to the workbook once by its full path makes the Declare find that copy,
' because a library already loaded is found by its file name. Where there is no such
' copy (or the workbook is unsaved), LoadLibraryW fails quietly and the usual search
' applies.
Private Sub LoadLibraryNextToWorkbook()
    Dim candidate As String

    If mLibraryLookedFor Then Exit Sub
    mLibraryLookedFor = True
    If Len(ThisWorkbook.Path) = 0 Then Exit Sub
    candidate = ThisWorkbook.Path & Application.PathSeparator & LIBRARY_FILE
    LoadLibraryW StrPtr(candidate)
End Sub

' A routine name for Application.Run: a bare name is looked up in the workbook that holds
' this module, whichever workbook is active.
Private Function QualifiedRoutine(ByVal routine As String) As String
    If InStr(routine, "!") > 0 Then
        QualifiedRoutine = routine
    Else
        QualifiedRoutine = "'" & Replace(ThisWorkbook.Name, "'", "''") & "'!" & routine
    End If
End Function

' Raises a trapped error again after the clean-up, with a hint when the library itself
' could not be found or loaded.
Private Sub RaiseAgain(ByVal errNumber As Long, ByVal errSource As String, _
                       ByVal errDescription As String)
    If errNumber = 53 And InStr(1, errDescription, LIBRARY_FILE, vbTextCompare) > 0 Then
        errDescription = errDescription & ". Put " & LIBRARY_FILE & " next to the " & _
            "workbook or in a folder on the PATH, or write its full path into the " & _
            "Declare lines of module TKselect."
    ElseIf errNumber = 48 Then
        errDescription = errDescription & " (" & LIBRARY_FILE & " is the file for this " & _
            "Office: tkselect.dll for 32-bit Office, tkselect64.dll for 64-bit Office)."
    End If
    Err.Raise errNumber, errSource, errDescription
End Sub

' Where a cell stands in the automatic order: numbers (dates and booleans among them) first,
' then text, then Empty cells; the rest has no place in it. 20 is a LongLong, which only
' 64-bit VBA has a name for.
Private Function CellKind(ByVal cellValue As Variant) As Long
    Select Case VarType(cellValue)
    Case vbByte, vbInteger, vbLong, 20, vbSingle, vbDouble, vbCurrency, vbDecimal, vbDate, _
         vbBoolean
        CellKind = CELL_NUMBER
    Case vbString
        CellKind = CELL_TEXT
    Case vbEmpty
        CellKind = CELL_EMPTY
    Case Else
        CellKind = CELL_UNORDERED
    End Select
End Function

' Two texts in the library's natural order: -1, 0 or 1. As in the library, a text that is
' empty or starts with a NUL comes before every other (two such by their length) and never
' reaches the system, which would refuse an empty String without a buffer.
Private Function NaturalTextOrder(ByVal textA As String, ByVal textB As String) As Long
    Dim blankA As Boolean
    Dim blankB As Boolean
    Dim answer As Long

    blankA = Len(textA) = 0
    If Not blankA Then blankA = AscW(textA) = 0
    blankB = Len(textB) = 0
    If Not blankB Then blankB = AscW(textB) = 0
    If blankA Or blankB Then
        If blankA And blankB Then
            NaturalTextOrder = Sgn(Len(textA) - Len(textB))
        ElseIf blankA Then
            NaturalTextOrder = -1
        Else
            NaturalTextOrder = 1
        End If
        Exit Function
    End If
    answer = CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE Or SORT_DIGITSASNUMBERS, _
                            StrPtr(textA), Len(textA), StrPtr(textB), Len(textB))
    If answer = 0 Then
        Err.Raise ERR_TKSELECT, "TKNaturalCompare", "Windows could not compare two texts " & _
                  "in natural order (it needs Windows 7 or later)."
    End If
    NaturalTextOrder = answer - CSTR_EQUAL
End Function

Private Function IsDigitAt(ByRef textValue As String, ByVal at As Long) As Boolean
    Dim charCode As Long

    If at > Len(textValue) Then Exit Function
    charCode = AscW(Mid$(textValue, at, 1))
    IsDigitAt = charCode >= 48 And charCode <= 57
End Function

' The run of digits that starts at `at`; moves `at` past it.
Private Function DigitRunAt(ByRef textValue As String, ByRef at As Long) As String
    Dim firstDigit As Long

    firstDigit = at
    Do While IsDigitAt(textValue, at)
        at = at + 1
    Loop
    DigitRunAt = Mid$(textValue, firstDigit, at - firstDigit)
End Function
