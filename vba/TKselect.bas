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
'     gives the library's text for it, such as "[002]Completed without errors". Two
'     statuses are this module's own, numbered past the library's 0-999 so that neither can
'     be taken for one of its: TKS_CANCELLED (Esc stopped the request) and TKS_NO_LIBRARY
'     (the library could not be called). Every other status is the library's.
'   - TKNaturalCompare, the library's natural order (TK_COMPASCNATURAL) as a function, for
'     comparison routines of your own, and Example... macros for the example sheets (see
'     "Examples" below).
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
'        outcome = TKSortRange(Sheet1.Range("A3").CurrentRegion, _
'                              "3,TK_COMPDESAUTO 1,TK_COMPASCAUTO")
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
'   Key, for keyRoutine:="MyKey" (TKSortRange, TKSortArray, TKExportRange, TKSortIndex):
'     Public Function MyKey(ByVal rowValues As Variant, ByVal rowNumber As Long) As Variant
'     returns the key of one data row: a number, date, boolean or text, or Empty to put the
'     row last. rowValues holds the row's cells, indexed by the table's own column numbers as
'     the sort line names them (rowValues(1) is a Range's leftmost cell); rowNumber is the
'     row's number in the table, header rows counted, as TKSortIndex numbers rows. It is
'     called once for every data row, top to bottom, before anything is sorted, never once
'     per comparison. The keys are the FIRST key of the sort, ascending in the automatic
'     order (TK_COMPASCAUTO: numbers before text, text without regard to case, Empty last);
'     the sort line's keys then decide between rows with equal keys, and the sort line may be
'     "" to sort by the routine's key alone. For a descending key, return the negated number.
'   No routine may call this module's procedures: the library holds one request at a
'   time, and the request under way is waiting for the routine's answer. A routine may stop
'   the request as Esc does (below), with Err.Raise 18.
'
' Custom orders (customOrder:=Array("Low", "Medium", "High"), customColumn:=2)
'   Column customColumn (numbered as in the sort line) sorts in the order of the list: cells
'   equal to its first entry first, then those equal to its second, and so on; texts match
'   without regard to case ("HIGH" is "High"), as the automatic order compares them; numbers
'   and dates by value. Every other cell comes after all listed ones, in the automatic order,
'   Empty cells last (unless the list names Empty). This key comes first, after a key
'   routine's when there is one; the sort line's keys decide among equal cells. The list is
'   looked up once per row (no routine is called per comparison); it may be an array or a
'   Range of cells, read column by column.
'
' Progress and Esc
'   While a request calls a routine of yours (compare, key or copy), the host's status bar
'   (Application.StatusBar, where the host has one) tells every half second how far it got
'   (rows keyed, comparisons, cells copied), and Esc stops it: Application.EnableCancelKey is
'   xlErrorHandler for that time, so Esc raises error 18 in this module, which resets the
'   library and returns TKS_CANCELLED, with the table, array or destination as it was. The
'   status bar and EnableCancelKey are given back as they were at the end of every request.
'   Where the host does not let a macro catch Esc, it stops as the host stops macros.
'
' Row numbers
'   TKSortIndex, the copy and the key routines number rows as the table does, header rows
'   counted: for a Range, 1 is its top row, so with one header row the first data row is 2
'   and sortRange.Rows(rowOrder(i)) is the row that comes i-th; callers index the Range
'   and the array with these numbers as they stand. tkrun --index numbers the data rows of a
'   file from 1 instead (1 for the first row below the header): a file has no range to index
'   into, and its index lists the data rows alone, each as the how-many-th data row it was.
'
' What happens to the data
'   A Range is read through .Value into an array, sorted there and written back with one
'   .Value assignment, so formulas in it are replaced by their values. The library never
'   sees the Range itself, except EXPORT's destination, which it reads at SELECT and
'   writes back at the end of EXPORT (formulas there become values too). Nothing is written
'   unless the status is TKS_SUCCESS.
'
' Examples
'   Each Example... macro works on the table of the active sheet that starts at A3, with one
'   header row and no blank rows or columns inside it (Range("A3").CurrentRegion): A1 holds
'   a line saying what the macro does, row 2 is blank. Lay out a sheet of your own the same
'   way to try them on it.
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
' The error Esc raises while Application.EnableCancelKey is xlErrorHandler (2), whose name
' not every host defines.
Private Const ERR_USER_INTERRUPT As Long = 18
Private Const CANCEL_KEY_ERROR_HANDLER As Long = 2

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

' This module's own statuses, past the library's three-digit ones. Their status texts start
' with the same number in brackets, "[1000]Cancelled ...".
Public Const TKS_CANCELLED As Long = 1000             ' Esc (or error 18) stopped the request
Public Const TKS_NO_LIBRARY As Long = 1001            ' the library could not be called

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
' True once LoadLibraryNextToWorkbook has loaded the copy next to the workbook.
Private mLibraryLookedFor As Boolean

' Progress of a request that calls the caller's routines (see "Progress and Esc"): whether
' it is watched, the work done by stage, the rows to key, when the status bar is next
' written (seconds after midnight), and what to give back at the end: the status bar's
' content and EnableCancelKey, each only when this module changed it.
Private Const PROGRESS_KEYS As Long = 1
Private Const PROGRESS_COMPARISONS As Long = 2
Private Const PROGRESS_COPIES As Long = 3
Private Const PROGRESS_SECONDS As Double = 0.5
Private mProgressWatched As Boolean
Private mProgressDone(PROGRESS_KEYS To PROGRESS_COPIES) As Double
Private mProgressRowsToKey As Double
Private mProgressNextShow As Double
Private mStatusBarChanged As Boolean
Private mStatusBarBefore As Variant
Private mCancelKeyChanged As Boolean
Private mCancelKeyBefore As Variant

' =======================================================================================
' Ready procedures
' =======================================================================================

' Sorts the rows of sortRange in place.
'   sortRange     one rectangular area; its header rows stay on top
'   sortCommand   the sort line, e.g. "2,TK_COMPASCAUTO 1,TK_COMPBRKO"; may be "" with a
'                 key routine or a custom order
'   moveCommand   optional move line; left out, every column moves with its row
'   headerRows    header rows at the top of the Range (default 1; 0 for a table without
'                 a header row)
'   compareRoutine, copyRoutine, keyRoutine   see "Routines you provide" above
'   stable        True (default): rows that tie on every key keep their order, and no
'                 layout of the table can reach the library's depth limit; False: the
'                 library's plain order (see SelectTable)
'   customOrder, customColumn   a custom order for one column; see "Custom orders" above
' Returns the status; the Range is written back only when it is TKS_SUCCESS. The Range gets
' values back: formulas in it are replaced by the values they showed.
Public Function TKSortRange(ByVal sortRange As Range, ByVal sortCommand As Variant, _
                            Optional ByVal moveCommand As Variant, _
                            Optional ByVal headerRows As Long = 1, _
                            Optional ByVal compareRoutine As String = "", _
                            Optional ByVal copyRoutine As String = "", _
                            Optional ByVal stable As Boolean = True, _
                            Optional ByVal keyRoutine As String = "", _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant) As Long
    Dim cellValues As Variant

    BeginRequest
    If IsMissing(moveCommand) Then moveCommand = Empty
    If IsMissing(customOrder) Then customOrder = Empty
    If IsMissing(customColumn) Then customColumn = Empty
    cellValues = RangeValues(sortRange, "sortRange")
    TKSortRange = TKSortArray(cellValues, sortCommand, moveCommand, headerRows, _
                              compareRoutine, copyRoutine, stable, keyRoutine, _
                              customOrder, customColumn)
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
                            Optional ByVal stable As Boolean = True, _
                            Optional ByVal keyRoutine As String = "", _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant) As Long
    Dim comm As TKCOMM
    Dim outcome As Long
    Dim dimensions As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    If IsMissing(moveCommand) Then moveCommand = Empty
    If IsMissing(customOrder) Then customOrder = Empty
    If IsMissing(customColumn) Then customColumn = Empty
    dimensions = TableDimensions(grid, "grid")
    StartProgress compareRoutine & copyRoutine & keyRoutine
    outcome = SelectTable(comm, grid, dimensions, sortCommand, moveCommand, headerRows, _
                          compareRoutine, stable, keyRoutine, customOrder, customColumn)
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
    TKSortArray = CancelledOrRaise(errNumber, errSource, errDescription)
End Function

' Sorts sourceTable (a Range or an array, left unchanged) and copies its rows in that order
' into exportRange through exportCommand, e.g. "2,1,TK_EXPORTAUTO 1,2,TK_EXPORTAUTO"
' (source column 2 into the Range's column 1, source column 1 into its column 2).
'   headerRows       header rows of sourceTable (default 1)
'   exportHeaderRows header rows of exportRange (default: as headerRows); the first
'                    min(headerRows, exportHeaderRows) header rows are exported too, through
'                    the same columns
'   other arguments as for TKSortRange
' Data rows fill exportRange from below its header rows; when it is shorter than the
' table, the rows that do not fit are left out. Columns that exportCommand does not name
' keep their content. The library writes exportRange back itself at the end, and only
' when the status is TKS_SUCCESS.
Public Function TKExportRange(ByVal sourceTable As Variant, ByVal exportRange As Range, _
                              ByVal sortCommand As Variant, ByVal exportCommand As Variant, _
                              Optional ByVal headerRows As Long = 1, _
                              Optional ByVal exportHeaderRows As Variant, _
                              Optional ByVal compareRoutine As String = "", _
                              Optional ByVal copyRoutine As String = "", _
                              Optional ByVal stable As Boolean = True, _
                              Optional ByVal keyRoutine As String = "", _
                              Optional ByVal customOrder As Variant, _
                              Optional ByVal customColumn As Variant) As Long
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim outcome As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    If IsMissing(customOrder) Then customOrder = Empty
    If IsMissing(customColumn) Then customColumn = Empty
    grid = TableValues(sourceTable, "sourceTable")
    CheckRange exportRange, "exportRange"
    ' A single cell reads back as one value, not as an array of cells.
    If CellCount(exportRange) < 2 Then
        Err.Raise ERR_TKSELECT, "TKExportRange", "exportRange must have at least two cells."
    End If
    Set comm.Dest.RangeObj = exportRange
    If IsMissing(exportHeaderRows) Then exportHeaderRows = headerRows
    comm.Dest.HeaderLines = exportHeaderRows
    comm.ExportCmd = exportCommand
    StartProgress compareRoutine & copyRoutine & keyRoutine
    outcome = SelectTable(comm, grid, TableDimensions(grid, "sourceTable"), sortCommand, _
                          Empty, headerRows, compareRoutine, stable, keyRoutine, _
                          customOrder, customColumn)
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
    TKExportRange = CancelledOrRaise(errNumber, errSource, errDescription)
End Function

' Sorts sourceTable (a Range or an array, left unchanged) and returns its order in
' rowOrder, a dynamic Long array from index 1: rowOrder(1) is the row that comes first.
' Row numbers are the table's own, header rows counted: for a Range, 1 is its top row, so
' with one header row the first data row is 2, and sourceTable.Rows(rowOrder(1)) is the row
' that comes first; for an array, its own row index. (tkrun --index numbers the data rows of
' a file from 1 instead; see "Row numbers" above.) rowOrder is left as it was unless the
' status is TKS_SUCCESS. headerRows defaults to 1; other arguments as for TKSortRange.
Public Function TKSortIndex(ByVal sourceTable As Variant, ByVal sortCommand As Variant, _
                            ByRef rowOrder() As Long, _
                            Optional ByVal headerRows As Long = 1, _
                            Optional ByVal compareRoutine As String = "", _
                            Optional ByVal stable As Boolean = True, _
                            Optional ByVal keyRoutine As String = "", _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant) As Long
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim outcome As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    If IsMissing(customOrder) Then customOrder = Empty
    If IsMissing(customColumn) Then customColumn = Empty
    grid = TableValues(sourceTable, "sourceTable")
    StartProgress compareRoutine & keyRoutine
    outcome = SelectTable(comm, grid, TableDimensions(grid, "sourceTable"), sortCommand, _
                          Empty, headerRows, compareRoutine, stable, keyRoutine, _
                          customOrder, customColumn)
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
    TKSortIndex = CancelledOrRaise(errNumber, errSource, errDescription)
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
' Examples. Those with a sheet work on the active sheet's table at A3 (ExampleTable): the
' example workbook has one sheet for each, named in its A1 line.
'   Sales       Region, Customer, Quantity, Price, Amount   ExampleSortRange, ExampleSortIndex
'   Files       Name, Size                                  ExampleSortFiles
'   Priorities  Task, Priority, Owner                       ExampleCustomOrder
'   Contacts    Name, Email, City                           ExampleKeyRoutine
'   Export      Customer, Region, Amount; a blank column; Customer, Region   ExampleExport
' =======================================================================================

' Sorts the sheet's table by region, then by customer in natural order ("Customer 9" comes
' before "Customer 10"); the library compares both keys itself. Formulas in the table
' (Amount) become the values they showed.
Public Sub ExampleSortRange()
    Dim sheetTable As Range
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortRange(sheetTable, "1,TK_COMPASCAUTO 2,TK_COMPASCNATURAL", headerRows:=1)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Sorts the sheet's file names in natural order: "File1.txt", "File2.txt", "file10.txt",
' "report 3.pdf", "report 12.pdf".
Public Sub ExampleSortFiles()
    Dim sheetTable As Range
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortRange(sheetTable, "1,TK_COMPASCNATURAL", headerRows:=1)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Sorts the sheet's tasks by priority in the order Low, Medium, High (in any case), other
' priorities after them in the automatic order and tasks without one last, then by task.
Public Sub ExampleCustomOrder()
    Dim sheetTable As Range
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortRange(sheetTable, "1,TK_COMPASCAUTO", headerRows:=1, _
                          customOrder:=Array("Low", "Medium", "High"), customColumn:=2)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Sorts the sheet's contacts by the domain of their e-mail address (ExampleEmailDomain
' gives each row's key), then by name.
Public Sub ExampleKeyRoutine()
    Dim sheetTable As Range
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortRange(sheetTable, "1,TK_COMPASCAUTO", headerRows:=1, _
                          keyRoutine:="ExampleEmailDomain")
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' The key routine of ExampleKeyRoutine: the text after the "@" of the e-mail address in
' column 2; Empty, which sorts last, for a row without one.
Public Function ExampleEmailDomain(ByVal rowValues As Variant, _
                                   ByVal rowNumber As Long) As Variant
    Dim mailAddress As String
    Dim at As Long

    ExampleEmailDomain = Empty
    If VarType(rowValues(2)) <> vbString Then Exit Function
    mailAddress = Trim$(rowValues(2))
    at = InStrRev(mailAddress, "@")
    If at > 0 And at < Len(mailAddress) Then ExampleEmailDomain = Mid$(mailAddress, at + 1)
End Function

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

' Sorts the sheet's table (Customer, Region, Amount) by customer in natural order and
' exports customer and region, with the header, into the two columns right of the table
' (one blank column between), which keep their own header row.
Public Sub ExampleExport()
    Dim sheetTable As Range
    Dim exportRange As Range
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    Set exportRange = sheetTable.Offset(0, sheetTable.Columns.Count + 1).Resize(, 2)
    outcome = TKExportRange(sheetTable, exportRange, "1,TK_COMPASCNATURAL", _
                            "1,1,TK_EXPORTAUTO 2,2,TK_EXPORTAUTO", _
                            headerRows:=1, exportHeaderRows:=1)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
End Sub

' Prints the sheet's rows in order of amount (column 5), largest first, without moving
' them: TKSortIndex's row numbers count the header row, so sheetTable.Rows(n) is the row.
Public Sub ExampleSortIndex()
    Dim sheetTable As Range
    Dim rowOrder() As Long
    Dim place As Long
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortIndex(sheetTable, "5,TK_COMPDESAUTO", rowOrder, headerRows:=1)
    If outcome <> TKS_SUCCESS Then
        MsgBox TKLastStatusText(), vbExclamation, "TKselect"
        Exit Sub
    End If
    For place = LBound(rowOrder) To UBound(rowOrder)
        Debug.Print place, "sheet row " & sheetTable.Rows(rowOrder(place)).Row
    Next place
End Sub

' Shows the library's banner.
Public Sub ExampleAbout()
    MsgBox TKAbout(), vbInformation, "TKselect"
End Sub

' The example table of the active sheet: the block of cells around A3 (A1 holds the
' instruction line, row 2 is blank, so neither is part of it). False, after a message that
' says how to lay the sheet out, when A3 is empty.
Private Function ExampleTable(ByRef sheetTable As Range) As Boolean
    If IsEmpty(ActiveSheet.Range("A3").Value) Then
        MsgBox "The examples sort a table that starts at cell A3 of the active sheet, with " & _
               "one header row and no blank rows or columns inside it. A3 is empty here.", _
               vbExclamation, "TKselect"
        Exit Function
    End If
    Set sheetTable = ActiveSheet.Range("A3").CurrentRegion
    ExampleTable = True
End Function

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
' Key routines and custom orders become keys the library compares itself: their keys are
' computed once per row (ComputedKeys) into columns between the caller's and the position
' column, and the sort line starts with them (LeadingKeyColumns), so no routine is ever
' called per comparison.
'
' Without a move line the library derives the move map from the keys and moves the position
' and key columns itself; a move line does not name them, so the library moves them as
' unnamed columns. Only the caller's columns are copied back.
Private Function SelectTable(ByRef comm As TKCOMM, ByRef grid As Variant, _
                             ByVal dimensions As Long, ByVal sortCommand As Variant, _
                             ByVal moveCommand As Variant, ByVal headerRows As Long, _
                             ByVal compareRoutine As String, ByVal stable As Boolean, _
                             ByVal keyRoutine As String, ByVal customOrder As Variant, _
                             ByVal customColumn As Variant) As Long
    Dim computed As Variant
    Dim sortLine As Variant

    computed = ComputedKeys(grid, dimensions, headerRows, keyRoutine, customOrder, _
                            customColumn)
    comm.Source.Data = WorkArray(grid, dimensions, headerRows, stable, computed)
    sortLine = WithLeadingKeys(sortCommand, LeadingKeyColumns(comm.Source.Data, computed, _
                               Len(keyRoutine) > 0, customColumn))
    If stable Then
        comm.SortCmd = WithPositionKey(sortLine, UBound(comm.Source.Data, 2))
    Else
        comm.SortCmd = sortLine
    End If
    comm.Source.HeaderLines = headerRows
    If HasCommandLine(moveCommand) Then comm.MoveCmd = moveCommand
    SelectTable = RunCommand(comm, TKC_SELECT, compareRoutine, "")
End Function

' The computed key columns, each an array over the data rows 1, 2, ... of grid: the key
' routine's keys, then the custom order's ranks. Empty when the request has neither.
Private Function ComputedKeys(ByRef grid As Variant, ByVal dimensions As Long, _
                              ByVal headerRows As Long, ByVal keyRoutine As String, _
                              ByVal customOrder As Variant, _
                              ByVal customColumn As Variant) As Variant
    Dim columns() As Variant
    Dim count As Long

    If IsEmpty(customOrder) <> IsEmpty(customColumn) Then
        Err.Raise ERR_TKSELECT, "TKselect", "customOrder and customColumn go together: " & _
                  "customOrder:=Array(...) lists the order, customColumn:= names the column."
    End If
    ComputedKeys = Empty
    If Len(keyRoutine) = 0 And IsEmpty(customOrder) Then Exit Function
    ReDim columns(0 To 1)
    If Len(keyRoutine) > 0 Then
        columns(count) = RoutineKeys(grid, dimensions, headerRows, keyRoutine)
        count = count + 1
    End If
    If Not IsEmpty(customOrder) Then
        columns(count) = CustomRanks(grid, dimensions, headerRows, customOrder, customColumn)
        count = count + 1
    End If
    ReDim Preserve columns(0 To count - 1)
    ComputedKeys = columns
End Function

' The key routine's key of every data row of grid, as an array over the data rows 1, 2, ...
' (Empty when there are none). The routine gets the row's cells by the table's column
' numbers and the row's own number, one call per row, top to bottom.
Private Function RoutineKeys(ByRef grid As Variant, ByVal dimensions As Long, _
                             ByVal headerRows As Long, ByVal keyRoutine As String) As Variant
    Dim keys() As Variant
    Dim rowValues() As Variant
    Dim firstDataRow As Long
    Dim dataRows As Long
    Dim leftColumn As Long
    Dim rightColumn As Long
    Dim k As Long
    Dim r As Long
    Dim c As Long

    RoutineKeys = Empty
    keyRoutine = QualifiedRoutine(keyRoutine)
    firstDataRow = DataRowStart(LBound(grid, 1), UBound(grid, 1), headerRows)
    dataRows = UBound(grid, 1) - firstDataRow + 1
    If dataRows < 1 Then Exit Function
    If dimensions = 2 Then
        leftColumn = LBound(grid, 2)
        rightColumn = UBound(grid, 2)
    Else
        leftColumn = 1
        rightColumn = 1
    End If
    ReDim keys(1 To dataRows)
    ReDim rowValues(leftColumn To rightColumn)
    mProgressRowsToKey = dataRows
    For k = 1 To dataRows
        r = firstDataRow + k - 1
        For c = leftColumn To rightColumn
            If dimensions = 2 Then rowValues(c) = grid(r, c) Else rowValues(c) = grid(r)
        Next c
        keys(k) = Application.Run(keyRoutine, rowValues, r)
        If CellKind(keys(k)) = CELL_UNORDERED Then
            Err.Raise ERR_TKSELECT, "TKselect", "The key routine " & keyRoutine & _
                      " returned a " & TypeName(keys(k)) & " for row " & r & "; a key is " & _
                      "a number, a date, a boolean, a text or Empty."
        End If
        ProgressStep PROGRESS_KEYS
    Next k
    RoutineKeys = keys
End Function

' The custom order's rank of every data row of grid, as an array over the data rows 1, 2,
' ... (Empty when there are none): the place in customOrder of the entry the row's cell in
' customColumn equals (1 for the first entry), or one more than the entries for a cell that
' equals none. One Collection lookup per row.
Private Function CustomRanks(ByRef grid As Variant, ByVal dimensions As Long, _
                             ByVal headerRows As Long, ByVal customOrder As Variant, _
                             ByVal customColumn As Variant) As Variant
    Dim ranks() As Variant
    Dim places As Collection
    Dim unlisted As Long
    Dim firstDataRow As Long
    Dim dataRows As Long
    Dim leftColumn As Long
    Dim rightColumn As Long
    Dim columnNo As Long
    Dim k As Long
    Dim cellValue As Variant

    If dimensions = 2 Then
        leftColumn = LBound(grid, 2)
        rightColumn = UBound(grid, 2)
    Else
        leftColumn = 1
        rightColumn = 1
    End If
    If Not IsNumeric(customColumn) Then
        Err.Raise ERR_TKSELECT, "TKselect", "customColumn must be a column number."
    End If
    If CDbl(customColumn) < leftColumn Or CDbl(customColumn) > rightColumn Or _
       CDbl(customColumn) <> Int(CDbl(customColumn)) Then
        Err.Raise ERR_TKSELECT, "TKselect", "customColumn " & customColumn & " is not a " & _
                  "column of the table (" & leftColumn & " to " & rightColumn & ")."
    End If
    columnNo = CLng(customColumn)
    Set places = CustomPlaces(customOrder, unlisted)

    CustomRanks = Empty
    firstDataRow = DataRowStart(LBound(grid, 1), UBound(grid, 1), headerRows)
    dataRows = UBound(grid, 1) - firstDataRow + 1
    If dataRows < 1 Then Exit Function
    ReDim ranks(1 To dataRows)
    For k = 1 To dataRows
        If dimensions = 2 Then
            cellValue = grid(firstDataRow + k - 1, columnNo)
        Else
            cellValue = grid(firstDataRow + k - 1)
        End If
        ranks(k) = ListedPlace(places, CustomLookupKey(cellValue), unlisted)
    Next k
    CustomRanks = ranks
End Function

' The entries of customOrder (an array, or a Range read column by column) by lookup key,
' each with its place 1, 2, ...; an entry listed twice keeps its first place. unlisted gets
' the rank of the cells the list does not name: one past the last place.
Private Function CustomPlaces(ByVal customOrder As Variant, ByRef unlisted As Long) As Collection
    Dim places As Collection
    Dim entries As Variant
    Dim entry As Variant
    Dim lookupKey As String
    Dim place As Long

    Set places = New Collection
    If IsObject(customOrder) Then
        entries = TableValues(customOrder, "customOrder")
    Else
        entries = customOrder
    End If
    If Not IsArray(entries) Then
        Err.Raise ERR_TKSELECT, "TKselect", "customOrder must be an array of the values " & _
                  "in their order, such as Array(""Low"", ""Medium"", ""High""), or a Range."
    End If
    For Each entry In entries
        place = place + 1
        lookupKey = CustomLookupKey(entry)
        If Len(lookupKey) = 0 Then
            Err.Raise ERR_TKSELECT, "TKselect", "customOrder's entry " & place & " is a " & _
                      TypeName(entry) & "; a custom order lists texts, numbers, dates " & _
                      "or Empty."
        End If
        If ListedPlace(places, lookupKey, 0) = 0 Then places.Add place, lookupKey
    Next entry
    If place = 0 Then
        Err.Raise ERR_TKSELECT, "TKselect", "customOrder lists no values."
    End If
    unlisted = place + 1
    Set CustomPlaces = places
End Function

' The key a cell is looked up by in a custom order: a text upper-cased, since the automatic
' order compares texts without regard to case; a number (a date, a boolean) by its value, so
' that 45000 and the date it stands for are one entry and the number 1 and the text "1" are
' two; Empty as itself. "" for a cell that has no place in any order (Null, an error value).
Private Function CustomLookupKey(ByVal cellValue As Variant) As String
    Select Case CellKind(cellValue)
    Case CELL_TEXT
        CustomLookupKey = "t" & UCase$(cellValue)
    Case CELL_NUMBER
        CustomLookupKey = "n" & CStr(CDbl(cellValue))
    Case CELL_EMPTY
        CustomLookupKey = "e"
    End Select
End Function

' The place listed under lookupKey, or notListed when there is none (or lookupKey is "").
' A Collection answers a missing key only with error 5, which ends here.
Private Function ListedPlace(ByVal places As Collection, ByVal lookupKey As String, _
                             ByVal notListed As Long) As Long
    ListedPlace = notListed
    If Len(lookupKey) = 0 Then Exit Function
    On Error GoTo NotListed
    ListedPlace = places.Item(lookupKey)
    Exit Function
NotListed:
    If Err.Number = ERR_USER_INTERRUPT Then RaiseInterrupt
End Function

' The columns of the leading keys of the sort line, all ascending in the automatic order,
' or Empty when there are none: the key routine's column, then the custom order's ranks and
' the custom column itself, whose automatic order ranks the cells the list does not name.
' The computed columns stand in work right of the caller's columns, before the position
' column.
Private Function LeadingKeyColumns(ByRef work As Variant, ByRef computed As Variant, _
                                   ByVal hasKeyRoutine As Boolean, _
                                   ByVal customColumn As Variant) As Variant
    Dim leading() As Long
    Dim computedColumn As Long
    Dim count As Long

    LeadingKeyColumns = Empty
    If IsEmpty(computed) Then Exit Function
    ReDim leading(0 To 2)
    computedColumn = UBound(work, 2) - (UBound(computed) - LBound(computed) + 1)
    If hasKeyRoutine Then
        leading(count) = computedColumn
        count = count + 1
        computedColumn = computedColumn + 1
    End If
    If Not IsEmpty(customColumn) Then
        leading(count) = computedColumn
        leading(count + 1) = customColumn
        count = count + 2
    End If
    ReDim Preserve leading(0 To count - 1)
    LeadingKeyColumns = leading
End Function

' sortCommand with the keys of the columns in leading put in front, each TK_COMPASCAUTO. A
' blank or empty sortCommand leaves those keys alone; without leading keys sortCommand is
' passed on unchanged, so that the library still refuses what it must.
Private Function WithLeadingKeys(ByVal sortCommand As Variant, ByRef leading As Variant) As Variant
    Dim entries() As Variant
    Dim head As String
    Dim entryCount As Long
    Dim i As Long

    WithLeadingKeys = sortCommand
    If IsEmpty(leading) Then Exit Function
    If VarType(sortCommand) = vbString Or IsEmpty(sortCommand) Then
        For i = LBound(leading) To UBound(leading)
            head = head & CStr(leading(i)) & ",TK_COMPASCAUTO "
        Next i
        If IsEmpty(sortCommand) Then sortCommand = ""
        WithLeadingKeys = Trim$(head & sortCommand)
    ElseIf IsArray(sortCommand) Then
        If DimensionCount(sortCommand) = 1 Then
            entryCount = UBound(sortCommand) - LBound(sortCommand) + 1
            ReDim entries(0 To 2 * (UBound(leading) - LBound(leading) + 1) + entryCount - 1)
            For i = LBound(leading) To UBound(leading)
                entries(2 * (i - LBound(leading))) = CInt(leading(i))
                entries(2 * (i - LBound(leading)) + 1) = TK_COMPASCAUTO
            Next i
            For i = 0 To entryCount - 1
                entries(2 * (UBound(leading) - LBound(leading) + 1) + i) = _
                    sortCommand(LBound(sortCommand) + i)
            Next i
            WithLeadingKeys = entries
        End If
    End If
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
    returned = CallLibrary(code, comm)
    Do While returned = TKR_BREAKOUT
        rowA = comm.BrkRowA
        rowB = comm.BrkRowB
        keyColumn = comm.BrkColumn
        Select Case code
        Case TKS_COMPARE_BREAKOUT
            code = CompareCells(compareRoutine, comm.Source.Data(rowA, keyColumn), _
                                comm.Source.Data(rowB, keyColumn), keyColumn)
            ProgressStep PROGRESS_COMPARISONS
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
            If Len(copyRoutine) > 0 Then ProgressStep PROGRESS_COPIES
            code = COPY_DONE
        Case Else
            Err.Raise ERR_TKSELECT, "TKselect", "The library asked for an unknown step (" & _
                      code & ")."
        End Select
        returned = TKselect(code, comm)
    Loop
    RunCommand = code
End Function

' The first call of a command: TKselect(code, comm), or, when the library cannot be called
' at all (not found, the other Office's file, a host that cannot call a DLL), TKR_ENDED with
' TKS_NO_LIBRARY in code and a status text that says what to do. Everything before this
' call runs in any host, so the table's and the arguments' checks come first.
Private Function CallLibrary(ByRef code As Long, ByRef comm As TKCOMM) As Long
    On Error GoTo NotCalled
    CallLibrary = TKselect(code, comm)
    mLibraryHoldsRecord = True
    Exit Function
NotCalled:
    If Err.Number = ERR_USER_INTERRUPT Then RaiseInterrupt
    comm.Status = "[" & TKS_NO_LIBRARY & "]" & LIBRARY_FILE & " could not be called (" & _
        "error " & Err.Number & ": " & Err.Description & "). Put it next to the workbook " & _
        "or in a folder on the PATH, or write its full path into the Declare lines of " & _
        "module TKselect; 64-bit Office needs tkselect64.dll, 32-bit Office tkselect.dll. " & _
        "Nothing was changed."
    code = TKS_NO_LIBRARY
    CallLibrary = TKR_ENDED
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
' holds: the arrays, the Range, and the strings the library stored; gives the status bar
' and the Esc key back (StopProgress). Safe to call twice.
Private Sub ReleaseRecord(ByRef comm As TKCOMM)
    Dim code As Long

    StopProgress
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
' (one column for a 1-D grid), then one column for each array of computed keys (over the
' data rows 1, 2, ...; see ComputedKeys), then the position column, always the last. Header
' rows stay on top as they are and keep empty computed keys and an empty position. Data row
' k of grid (k = 1, 2, ...) keeps its place, or with shuffled set goes to a pseudo-random
' place (ShufflePositions); either way its computed keys go with it and the position column
' of the row that holds it says k.
Private Function WorkArray(ByRef grid As Variant, ByVal dimensions As Long, _
                           ByVal headerRows As Long, ByVal shuffled As Boolean, _
                           Optional ByVal computed As Variant) As Variant
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
    Dim extra As Long
    Dim keyColumn As Long

    If IsMissing(computed) Then computed = Empty
    If Not IsEmpty(computed) Then extra = UBound(computed) - LBound(computed) + 1
    topRow = LBound(grid, 1)
    bottomRow = UBound(grid, 1)
    If dimensions = 2 Then
        leftColumn = LBound(grid, 2)
        rightColumn = UBound(grid, 2)
    Else
        leftColumn = 1
        rightColumn = 1
    End If
    ReDim work(topRow To bottomRow, leftColumn To rightColumn + extra + 1)

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
        For keyColumn = 1 To extra
            work(r, rightColumn + keyColumn) = computed(LBound(computed) + keyColumn - 1)(k)
        Next keyColumn
        work(r, rightColumn + extra + 1) = k
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
        ProgressStep PROGRESS_COPIES
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
    If CellCount(area) = 1 Then
        ReDim oneCell(1 To 1, 1 To 1)
        oneCell(1, 1) = area.Value
        RangeValues = oneCell
    Else
        RangeValues = area.Value
    End If
End Function

' The number of cells of a Range. CountLarge holds the 17 billion cells of a whole sheet,
' which Count overflows; a host without it (Excel before 2007, the office suite's Basic)
' gets rows times columns, which is the same for the one area a table may have.
Private Function CellCount(ByVal area As Range) As Double
    On Error GoTo NoCountLarge
    CellCount = area.CountLarge
    Exit Function
NoCountLarge:
    CellCount = CDbl(area.Rows.Count) * CDbl(area.Columns.Count)
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
' It is tried again on every request until it loads, so a copy put there after a first
' attempt is found; a host that cannot call kernel32 makes it fail quietly too, and the
' library's first call then says so (CallLibrary).
Private Sub LoadLibraryNextToWorkbook()
    Dim candidate As String

    On Error GoTo NotLoaded
    If mLibraryLookedFor Then Exit Sub
    If Len(ThisWorkbook.Path) = 0 Then Exit Sub
    candidate = ThisWorkbook.Path & Application.PathSeparator & LIBRARY_FILE
    mLibraryLookedFor = LoadLibraryW(StrPtr(candidate)) <> 0
NotLoaded:
End Sub

' The status of a request that stopped on error errNumber, after its clean-up: TKS_CANCELLED
' with its status text for error 18 (Esc, or a routine that raised it); any other error is
' raised again (RaiseAgain).
Private Function CancelledOrRaise(ByVal errNumber As Long, ByVal errSource As String, _
                                  ByVal errDescription As String) As Long
    If errNumber <> ERR_USER_INTERRUPT Then RaiseAgain errNumber, errSource, errDescription
    mLastStatusText = "[" & TKS_CANCELLED & "]Cancelled with Esc after " & ProgressText() & _
                      ". Nothing was changed."
    CancelledOrRaise = TKS_CANCELLED
End Function

' Raises error 18 again from an error handler that met it, so that Esc reaches the ready
' procedure's clean-up wherever it was pressed.
Private Sub RaiseInterrupt()
    Err.Raise ERR_USER_INTERRUPT, "TKselect", "Cancelled with Esc."
End Sub

' =======================================================================================
' Progress and Esc, for requests that call the caller's routines
' =======================================================================================

' The start of a request's progress: counts from zero, and when routines names any routine
' (the names of the request's routines run together), Esc raises error 18 from here on.
Private Sub StartProgress(ByVal routines As String)
    Dim stage As Long

    For stage = PROGRESS_KEYS To PROGRESS_COPIES
        mProgressDone(stage) = 0
    Next stage
    mProgressRowsToKey = 0
    mProgressWatched = Len(routines) > 0
    If Not mProgressWatched Then Exit Sub
    mProgressNextShow = SecondsToday() + PROGRESS_SECONDS
    On Error GoTo NoCancelKey
    mCancelKeyBefore = Application.EnableCancelKey
    Application.EnableCancelKey = CANCEL_KEY_ERROR_HANDLER
    mCancelKeyChanged = True
    Exit Sub
NoCancelKey:
End Sub

' One step of work done at stage (a row keyed, a comparison, a cell copied); every half
' second, the status bar says how far the request got.
Private Sub ProgressStep(ByVal stage As Long)
    Dim secondsNow As Double

    mProgressDone(stage) = mProgressDone(stage) + 1
    If Not mProgressWatched Then Exit Sub
    secondsNow = SecondsToday()
    ' Timer starts again from 0 at midnight.
    If secondsNow >= mProgressNextShow Or _
       secondsNow < mProgressNextShow - 2 * PROGRESS_SECONDS Then
        mProgressNextShow = secondsNow + PROGRESS_SECONDS
        ShowStatus "TKselect: " & ProgressText() & " (Esc cancels)"
    End If
End Sub

' The work done so far, such as "5,000 of 20,000 rows keyed, 0 comparisons".
Private Function ProgressText() As String
    Dim done As String

    If mProgressRowsToKey > 0 Then
        done = Format$(mProgressDone(PROGRESS_KEYS), "#,##0") & " of " & _
               Format$(mProgressRowsToKey, "#,##0") & " rows keyed, "
    End If
    done = done & Format$(mProgressDone(PROGRESS_COMPARISONS), "#,##0") & " comparisons"
    If mProgressDone(PROGRESS_COPIES) > 0 Then
        done = done & ", " & Format$(mProgressDone(PROGRESS_COPIES), "#,##0") & " cells copied"
    End If
    ProgressText = done
End Function

' Writes message into the host's status bar, keeping what it showed before for StopProgress.
' A host without a status bar is left alone, for the rest of the request.
Private Sub ShowStatus(ByVal message As String)
    On Error GoTo NoStatusBar
    If Not mStatusBarChanged Then
        mStatusBarBefore = Application.StatusBar
        mStatusBarChanged = True
    End If
    Application.StatusBar = message
    Exit Sub
NoStatusBar:
    If Err.Number = ERR_USER_INTERRUPT Then RaiseInterrupt
    mProgressWatched = False
End Sub

' Gives the status bar and EnableCancelKey back as they were before the request. The counts
' stay for the status text of a cancelled request.
Private Sub StopProgress()
    On Error Resume Next
    mProgressWatched = False
    If mStatusBarChanged Then
        mStatusBarChanged = False
        Application.StatusBar = mStatusBarBefore
        mStatusBarBefore = Empty
    End If
    If mCancelKeyChanged Then
        mCancelKeyChanged = False
        Application.EnableCancelKey = mCancelKeyBefore
    End If
End Sub

' Seconds since midnight as a number (some hosts type Timer as a date).
Private Function SecondsToday() As Double
    SecondsToday = CDbl(Timer)
End Function

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
