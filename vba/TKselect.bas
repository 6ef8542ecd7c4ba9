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
'   - TKKey(column, order, kind), one sort key by column number or header name, so that a
'     typo is named before anything is sorted; the enums TKSortOrder, TKSortKind and TKStatus
'     for the editor to complete.
'   - TKNaturalCompare, the library's natural order (TK_COMPASCNATURAL) as a function, for
'     comparison routines of your own.
'   - TKSetLibraryPath, for a library that is neither next to the workbook nor on the PATH.
'   The Example... macros are in a module of their own, TKselectExamples; this one is the
'   library alone, and Option Private Module keeps its functions out of the worksheet's
'   function list and its procedures out of the macro list.
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
'        Dim outcome As Long
'        outcome = TKSortRange(Sheet1.Range("A3").CurrentRegion, _
'                              Array(TKKey("Region"), TKKey("Amount", tkDescending)))
'        If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText()
'      Rows move as the spreadsheet's own sort moves them: formulas, formats, notes and links
'      go with their row (see "What happens to the data").
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
' Keys
'   A sort line may be a text of keywords (above), or keys built with TKKey:
'     TKSortRange(table, TKKey("Region"))
'     TKSortRange(table, Array(TKKey("Region"), TKKey(5, tkDescending), _
'                              TKKey("Customer", tkAscending, tkSortNatural)))
'   A key names its column by number (the table's own, as in a text line) or by the text of
'   its header cell (the last header row; a table's header row for a ListObject), in any
'   case. The kinds are the keywords' text orders: tkSortNormal (TK_COMPASCAUTO and
'   TK_COMPDESAUTO), tkSortNatural, tkSortMatchCase, tkSortTextAsNumbers, and
'   tkSortByRoutine for a key your comparison routine compares (TK_COMPBRKO, always
'   tkAscending: the routine's answer is the order). A name the header does not hold, or
'   holds twice, a column outside the table, an order or kind that is none of the enums'
'   raise an error that names it, before the library is called and before anything moves.
'
' What happens to the data
'   TKSortRange moves the rows on the sheet as the spreadsheet's own sort does: the library
'   computes the order from the cells' values, the rows get their places in a temporary
'   column of ranks right of the table, and the spreadsheet's own Range.Sort on that column
'   moves them, each cell with its formula (relative references adjusted as that sort
'   adjusts them), number format, fill, font, borders, note and link; then the column is
'   deleted again, leaving the cells right of the table, the used range and the selection
'   as they were. A sheet that cannot take the temporary column (protected, or full to its
'   last column) is left alone with an error that says so. valuesOnly:=True instead writes
'   the sorted values back with one .Value assignment: faster on large tables, but formulas
'   become the values they showed, and formats and notes stay where they were.
'   A table may also be a ListObject: its header row is then known, so TKSortRange sorts its
'   body (and only its body) by default; its DataBodyRange passed alone is taken as rows
'   without a header too, with the names of the ListObject's header row for TKKey.
'   TKSortArray, TKSortIndex and TKExportRange read values only; EXPORT writes values into
'   its destination, which the library reads at SELECT and writes back at the end of EXPORT.
'   Nothing is written unless the status is TKS_SUCCESS.
'
' Where the library is looked for
'   Next to the workbook, then where Windows looks (Office's folder, the system folders, the
'   PATH). A workbook in a synced cloud folder may have a web address as its path, from
'   which Windows loads nothing: put the library in a folder of this computer and name it
'   once before the first request, TKSetLibraryPath "C:\Tools\tkselect64.dll" (or the folder).
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
Option Private Module

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
' Statuses: what the code holds after a call. 700-799 are errors. An enum, so that the editor
' lists them after "TKStatus."; each name stands alone as well (If outcome <> TKS_SUCCESS).
' ---------------------------------------------------------------------------------------
Public Enum TKStatus
    TKS_SUCCESS = 2                           ' the command finished
    TKS_COMPARE_BREAKOUT = 3                  ' compare BrkRowA with BrkRowB
    TKS_CONTINUE_ITERATING = 105              ' inside SELECT only; never returned
    TKS_ABOUT = 200                           ' the answer to ABOUT
    TKS_MOVE_ROW_BREAKOUT = 201               ' copy row BrkRowA's cell to BrkRowB
    TKS_MOVE_START_BREAKOUT = 202             ' set row BrkRowA's cell aside
    TKS_MOVE_CLOSE_BREAKOUT = 203             ' put the cell set aside into BrkRowB
    TKS_EXPORT_BREAKOUT = 204                 ' copy a Source cell into Dest
    TKS_BAD_BOUNDS = 700                      ' invalid array bounds or data rows
    TKS_BAD_HEADER_LINES = 702                ' invalid number of header lines
    TKS_NULL_RECORD = 703                     ' no record passed
    TKS_NULL_POINTER = 704                    ' a command line or array is missing
    TKS_NO_MEMORY = 705                       ' not enough memory
    TKS_STATIC_SORT_INDEX = 706               ' SortIndex is a fixed-size array
    TKS_OUT_OF_ORDER = 707                    ' SELECT must come first
    TKS_TOO_MANY_DIMENSIONS = 708             ' a table with 3 or more dimensions
    TKS_BAD_COMMAND_LINE = 709                ' a command line does not parse
    TKS_BAD_CELL = 710                        ' a Null cell in an automatic key
    TKS_INDEX_CORRUPTED = 711                 ' the row order failed its check
    TKS_FLOW_ERROR = 712                      ' flow error; no command reports it
    TKS_STACK_FAILURE = 713                   ' an answer while nothing waited
    TKS_STACK_OVERFLOW = 714                  ' the sort's recursion ran too deep
    TKS_RANGE_ERROR = 715                     ' a Range could not be read
    TKS_RANGE_WRITE_ERROR = 716               ' a Range could not be written back
    TKS_SAME_SOURCE_AND_DEST = 717            ' Source and Dest share their cells
    TKS_ARRAY_ERROR = 718                     ' no usable array
    TKS_BANNER = 800                          ' the banner's message number
    ' This module's own statuses, past the library's three-digit ones. Their status texts
    ' start with the same number in brackets, "[1000]Cancelled ...".
    TKS_CANCELLED = 1000                      ' Esc (or error 18) stopped the request
    TKS_NO_LIBRARY = 1001                     ' the library could not be called
End Enum

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

' ---------------------------------------------------------------------------------------
' The order and the kind of a key built with TKKey. Each kind is one pair of the keywords
' above: the library compares the first four itself; tkSortByRoutine is TK_COMPBRKO.
' ---------------------------------------------------------------------------------------
Public Enum TKSortOrder
    tkAscending = 1
    tkDescending = 2
End Enum

Public Enum TKSortKind
    tkSortNormal = 0         ' TK_COMPASCAUTO, TK_COMPDESAUTO: text without regard to case
    tkSortNatural = 1        ' TK_COMPASCNATURAL, TK_COMPDESNATURAL: "file9" before "file10"
    tkSortMatchCase = 2      ' TK_COMPASCCASE, TK_COMPDESCASE: "a" before "A"
    tkSortTextAsNumbers = 3  ' TK_COMPASCNUMTEXT, TK_COMPDESNUMTEXT: "10" as the number 10
    tkSortByRoutine = 4      ' TK_COMPBRKO: your comparison routine decides
End Enum

' What TKKey returns: an array whose first element is this marker, then the column (a number
' or a header's text) and the keyword. The ready procedures turn keys into a sort line.
Private Const KEY_MARKER As String = "TKKey"

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
' The library's file or folder named with TKSetLibraryPath, "" until then.
Private mLibraryPath As String

' How routines are named to Application.Run: the spreadsheet takes "'Book.xlsm'!Routine", so
' that a routine of this workbook is found whichever workbook is active; the office suite's
' Basic finds a macro of the document by its bare name only. Found out once by running one
' of this module's own functions (RoutineNaming); NAMING_UNKNOWN until then.
Private Const NAMING_UNKNOWN As Long = 0
Private Const NAMING_QUALIFIED As Long = 1
Private Const NAMING_BARE As Long = 2
Private mRoutineNaming As Long

' The header texts TKKey names are looked up in, when they are not the table's own top rows:
' a ListObject's header row for its DataBodyRange. Empty otherwise; each request sets it.
Private mHeaderNames As Variant

' The spreadsheet's constants that moving rows on the sheet needs (xlShiftToRight,
' xlShiftToLeft, xlAscending, xlNo, xlTopToBottom), written out so that the module does not
' depend on a host that defines their names.
Private Const SHIFT_TO_RIGHT As Long = -4161
Private Const SHIFT_TO_LEFT As Long = -4159
Private Const SORT_ASCENDING As Long = 1
Private Const HEADER_NO As Long = 2
Private Const TOP_TO_BOTTOM As Long = 1

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

' Sorts the rows of sortRange in place, moving them on the sheet as the spreadsheet's own sort
' does: every cell goes with its row, formula, format and note included (see "What happens to
' the data").
'   sortRange     one rectangular area, or a ListObject; its header rows stay on top
'   sortCommand   the sort line: keys from TKKey, one alone or several in an Array, or a
'                 text such as "2,TK_COMPASCAUTO 1,TK_COMPBRKO"; may be "" with a key routine
'                 or a custom order
'   moveCommand   optional move line; it only names the columns that go through the copy
'                 routine (TK_MOVEBRKO), since every column moves with its row
'   headerRows    header rows at the top of the Range (default 1; 0 for a table without a
'                 header row). A ListObject brings its own: its header row, or none for its
'                 DataBodyRange passed alone
'   compareRoutine, copyRoutine, keyRoutine   see "Routines you provide" above
'   stable        True (default): rows that tie on every key keep their order, and no
'                 layout of the table can reach the library's depth limit; False: the
'                 library's plain order (see SelectTable)
'   customOrder, customColumn   a custom order for one column; see "Custom orders" above
'   valuesOnly    True: write the sorted values back in one assignment instead, faster on
'                 large tables, but formulas become the values they showed and formats and
'                 notes stay where they were (default False)
' Returns the status; the sheet changes only when it is TKS_SUCCESS.
Public Function TKSortRange(ByVal sortRange As Object, ByVal sortCommand As Variant, _
                            Optional ByVal moveCommand As Variant, _
                            Optional ByVal headerRows As Variant, _
                            Optional ByVal compareRoutine As Variant, _
                            Optional ByVal copyRoutine As Variant, _
                            Optional ByVal stable As Variant, _
                            Optional ByVal keyRoutine As Variant, _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant, _
                            Optional ByVal valuesOnly As Variant) As Long
    Dim area As Range
    Dim cellValues As Variant
    Dim headerRowsGiven As Boolean
    Dim order() As Long        ' unused: a MOVE gives no order
    Dim copies As Variant      ' unused: a MOVE's copies go into the array

    BeginRequest
    If Omitted(moveCommand) Then moveCommand = Empty
    If Omitted(compareRoutine) Then compareRoutine = ""
    If Omitted(copyRoutine) Then copyRoutine = ""
    If Omitted(stable) Then stable = True
    If Omitted(keyRoutine) Then keyRoutine = ""
    If Omitted(customOrder) Then customOrder = Empty
    If Omitted(customColumn) Then customColumn = Empty
    If Omitted(valuesOnly) Then valuesOnly = False
    headerRowsGiven = Not Omitted(headerRows)
    If Not headerRowsGiven Then headerRows = 1
    Set area = TableArea(sortRange, headerRows, headerRowsGiven, "sortRange")
    cellValues = RangeValues(area, "sortRange")
    If valuesOnly Then
        TKSortRange = SortRequest(cellValues, TKC_MOVE, order, copies, sortCommand, _
                                  moveCommand, headerRows, compareRoutine, copyRoutine, _
                                  stable, keyRoutine, customOrder, customColumn)
        If TKSortRange = TKS_SUCCESS Then area.Value = cellValues
    Else
        TKSortRange = SortSheetRequest(area, cellValues, sortCommand, moveCommand, _
                                       headerRows, compareRoutine, copyRoutine, stable, _
                                       keyRoutine, customOrder, customColumn)
    End If
End Function

' Sorts the rows of an array in place: grid(row, column), or grid(row) as one column, of
' any element type and bounds. Arguments as for TKSortRange. On any status other than
' TKS_SUCCESS the array is left as it was.
Public Function TKSortArray(ByRef grid As Variant, ByVal sortCommand As Variant, _
                            Optional ByVal moveCommand As Variant, _
                            Optional ByVal headerRows As Variant, _
                            Optional ByVal compareRoutine As Variant, _
                            Optional ByVal copyRoutine As Variant, _
                            Optional ByVal stable As Variant, _
                            Optional ByVal keyRoutine As Variant, _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant) As Long
    Dim order() As Long        ' unused: a MOVE gives no order
    Dim copies As Variant      ' unused: a MOVE's copies go into the array

    BeginRequest
    If Omitted(moveCommand) Then moveCommand = Empty
    If Omitted(headerRows) Then headerRows = 1
    If Omitted(compareRoutine) Then compareRoutine = ""
    If Omitted(copyRoutine) Then copyRoutine = ""
    If Omitted(stable) Then stable = True
    If Omitted(keyRoutine) Then keyRoutine = ""
    If Omitted(customOrder) Then customOrder = Empty
    If Omitted(customColumn) Then customColumn = Empty
    mHeaderNames = Empty
    TKSortArray = SortRequest(grid, TKC_MOVE, order, copies, sortCommand, moveCommand, _
                              headerRows, compareRoutine, copyRoutine, stable, keyRoutine, _
                              customOrder, customColumn)
End Function

' Sorts sourceTable (a Range, a ListObject or an array, left unchanged) and copies its rows in
' that order into exportRange through exportCommand, e.g. "2,1,TK_EXPORTAUTO 1,2,TK_EXPORTAUTO"
' (source column 2 into the Range's column 1, source column 1 into its column 2).
'   headerRows       header rows of sourceTable (default 1; a ListObject's own)
'   exportHeaderRows header rows of exportRange (default: as headerRows); the first
'                    min(headerRows, exportHeaderRows) header rows are exported too, through
'                    the same columns
'   other arguments as for TKSortRange
' Data rows fill exportRange from below its header rows; when it is shorter than the
' table, the rows that do not fit are left out. Columns that exportCommand does not name
' keep their content. The library writes exportRange back itself at the end, as values, and
' only when the status is TKS_SUCCESS.
Public Function TKExportRange(ByVal sourceTable As Variant, ByVal exportRange As Range, _
                              ByVal sortCommand As Variant, ByVal exportCommand As Variant, _
                              Optional ByVal headerRows As Variant, _
                              Optional ByVal exportHeaderRows As Variant, _
                              Optional ByVal compareRoutine As Variant, _
                              Optional ByVal copyRoutine As Variant, _
                              Optional ByVal stable As Variant, _
                              Optional ByVal keyRoutine As Variant, _
                              Optional ByVal customOrder As Variant, _
                              Optional ByVal customColumn As Variant) As Long
    Dim comm As TKCOMM
    Dim grid As Variant
    Dim dimensions As Long
    Dim headerRowsGiven As Boolean
    Dim outcome As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    If Omitted(compareRoutine) Then compareRoutine = ""
    If Omitted(copyRoutine) Then copyRoutine = ""
    If Omitted(stable) Then stable = True
    If Omitted(keyRoutine) Then keyRoutine = ""
    If Omitted(customOrder) Then customOrder = Empty
    If Omitted(customColumn) Then customColumn = Empty
    headerRowsGiven = Not Omitted(headerRows)
    If Not headerRowsGiven Then headerRows = 1
    grid = TableValues(sourceTable, headerRows, headerRowsGiven, "sourceTable")
    If Omitted(exportHeaderRows) Then exportHeaderRows = headerRows
    dimensions = TableDimensions(grid, "sourceTable")
    CheckRange exportRange, "exportRange"
    ' A single cell reads back as one value, not as an array of cells.
    If CellCount(exportRange) < 2 Then
        Err.Raise ERR_TKSELECT, "TKExportRange", "exportRange must have at least two cells."
    End If
    sortCommand = ResolvedKeys(sortCommand, grid, dimensions, headerRows)
    Set comm.Dest.RangeObj = exportRange
    comm.Dest.HeaderLines = exportHeaderRows
    comm.ExportCmd = exportCommand
    StartProgress compareRoutine & copyRoutine & keyRoutine
    outcome = SelectTable(comm, grid, dimensions, sortCommand, Empty, headerRows, _
                          compareRoutine, stable, keyRoutine, customOrder, customColumn)
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

' Sorts sourceTable (a Range, a ListObject or an array, left unchanged) and returns its order
' in rowOrder, a dynamic Long array from index 1: rowOrder(1) is the row that comes first.
' Row numbers are the table's own, header rows counted: for a Range, 1 is its top row, so
' with one header row the first data row is 2, and sourceTable.Rows(rowOrder(1)) is the row
' that comes first; for an array, its own row index. (tkrun --index numbers the data rows of
' a file from 1 instead; see "Row numbers" above.) rowOrder is left as it was unless the
' status is TKS_SUCCESS. headerRows defaults to 1; other arguments as for TKSortRange.
Public Function TKSortIndex(ByVal sourceTable As Variant, ByVal sortCommand As Variant, _
                            ByRef rowOrder() As Long, _
                            Optional ByVal headerRows As Variant, _
                            Optional ByVal compareRoutine As Variant, _
                            Optional ByVal stable As Variant, _
                            Optional ByVal keyRoutine As Variant, _
                            Optional ByVal customOrder As Variant, _
                            Optional ByVal customColumn As Variant) As Long
    Dim grid As Variant
    Dim order() As Long
    Dim copies As Variant      ' unused: no copy routine here
    Dim headerRowsGiven As Boolean
    Dim outcome As Long

    BeginRequest
    If Omitted(compareRoutine) Then compareRoutine = ""
    If Omitted(stable) Then stable = True
    If Omitted(keyRoutine) Then keyRoutine = ""
    If Omitted(customOrder) Then customOrder = Empty
    If Omitted(customColumn) Then customColumn = Empty
    headerRowsGiven = Not Omitted(headerRows)
    If Not headerRowsGiven Then headerRows = 1
    grid = TableValues(sourceTable, headerRows, headerRowsGiven, "sourceTable")
    outcome = SortRequest(grid, TKC_SORTINDEX, order, copies, sortCommand, Empty, headerRows, _
                          compareRoutine, "", stable, keyRoutine, customOrder, customColumn)
    If outcome = TKS_SUCCESS Then CopyOrder order, rowOrder
    TKSortIndex = outcome
End Function

' The library's banner: its name, the year and the version. A quick check that the library
' is found and loads; "" when it could not be called, with TKLastStatusText saying why.
Public Function TKAbout() As String
    Dim comm As TKCOMM
    Dim code As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    BeginRequest
    code = TKC_ABOUT
    CallLibrary code, comm
    ' ABOUT leaves the library holding nothing of the record.
    mLibraryHoldsRecord = False
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

' True for an optional argument the call left out. The office suite's Basic gives an argument
' left out before a named one the value Empty instead of leaving it missing, so Empty counts
' as left out too; it is no value any of the ready procedures' arguments takes.
Private Function Omitted(Optional ByRef argument As Variant) As Boolean
    Omitted = IsMissing(argument)
    If Not Omitted Then Omitted = IsEmpty(argument)
End Function

' One key of a sort line, for the ready procedures' sortCommand: alone, or several in an
' Array in the order they count, TKSortRange(table, Array(TKKey("Region"), TKKey(5,
' tkDescending))).
'   keyColumn   the column's number (the table's own, 1 for a Range's leftmost) or the text of
'               its header cell, in any case
'   sortOrder   tkAscending (default) or tkDescending
'   sortKind    how texts compare (TKSortKind; default tkSortNormal)
' A wrong order or kind is refused here; a name or number that is not a column of the table
' is refused by the ready procedure, before anything is sorted. The keyword strings work as
' before: TKKey(5, tkDescending) is "5,TK_COMPDESAUTO".
Public Function TKKey(ByVal keyColumn As Variant, Optional ByVal sortOrder As Variant, _
                      Optional ByVal sortKind As Variant) As Variant
    Dim descending As Boolean
    Dim keyword As Long

    If Omitted(sortOrder) Then sortOrder = tkAscending
    If Omitted(sortKind) Then sortKind = tkSortNormal
    If Not IsWholeNumber(sortOrder, tkAscending, tkDescending) Then
        Err.Raise ERR_TKSELECT, "TKKey", "The order of a key is tkAscending or " & _
                  "tkDescending, not " & DescribedValue(sortOrder) & "."
    End If
    If Not IsWholeNumber(sortKind, tkSortNormal, tkSortByRoutine) Then
        Err.Raise ERR_TKSELECT, "TKKey", "The kind of a key is one of TKSortKind " & _
                  "(tkSortNormal, tkSortNatural, tkSortMatchCase, tkSortTextAsNumbers, " & _
                  "tkSortByRoutine), not " & DescribedValue(sortKind) & "."
    End If
    descending = sortOrder = tkDescending
    Select Case sortKind
    Case tkSortNormal
        keyword = TK_COMPASCAUTO
    Case tkSortNatural
        keyword = TK_COMPASCNATURAL
    Case tkSortMatchCase
        keyword = TK_COMPASCCASE
    Case tkSortTextAsNumbers
        keyword = TK_COMPASCNUMTEXT
    Case Else
        If descending Then
            Err.Raise ERR_TKSELECT, "TKKey", "A key of kind tkSortByRoutine has the order " & _
                      "its comparison routine gives: pass tkAscending and let the routine " & _
                      "answer the other way round."
        End If
        keyword = TK_COMPBRKO
    End Select
    ' Each descending keyword follows its ascending one.
    If descending Then keyword = keyword + 1
    If Not (IsWholeNumber(keyColumn, 0, 65535) Or VarType(keyColumn) = vbString) Then
        Err.Raise ERR_TKSELECT, "TKKey", "A key's column is a column number or the text " & _
                  "of its header, not " & DescribedValue(keyColumn) & "."
    End If
    If VarType(keyColumn) = vbString Then
        If Len(Trim$(keyColumn)) = 0 Then
            Err.Raise ERR_TKSELECT, "TKKey", "A key's column is a column number or the " & _
                      "text of its header, not an empty text."
        End If
    End If
    TKKey = Array(KEY_MARKER, keyColumn, keyword)
End Function

' Names the library's file, or the folder that holds it, for a workbook whose own folder
' Windows cannot load it from: a workbook in a synced cloud folder has a web address as its
' path. Loads it at once and returns True when it loaded; the Declare lines then find it
' loaded. Call it once before the first request, for instance in Workbook_Open:
'   TKSetLibraryPath "C:\Tools"  or  TKSetLibraryPath "C:\Tools\tkselect64.dll"
Public Function TKSetLibraryPath(ByVal libraryPath As String) As Boolean
    mLibraryPath = libraryPath
    If Len(libraryPath) > 0 And LCase$(Right$(libraryPath, 4)) <> ".dll" Then
        If Right$(libraryPath, 1) <> "\" Then mLibraryPath = mLibraryPath & "\"
        mLibraryPath = mLibraryPath & LIBRARY_FILE
    End If
    mLibraryLookedFor = LoadLibraryAt(mLibraryPath)
    TKSetLibraryPath = mLibraryLookedFor
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
' The request: record, SELECT, break-outs, clean-up
' =======================================================================================

' A request on grid with every argument given: SELECT, then commandCode.
'   TKC_MOVE       grid itself sorted (TKSortArray, and TKSortRange's valuesOnly:=True): the
'                  copy routine runs on the library's array (ApplyCopyRoutine), so that an
'                  error it raises leaves grid as it was, then the rows are copied back.
'   TKC_SORTINDEX  grid left alone: order(1..n) gets the data rows in their order, as grid
'                  numbers them, header rows counted; with copyRoutine, copies gets what the
'                  routine makes of every cell of a copy column (moveCommand's TK_MOVEBRKO,
'                  or the TK_COMPBRKO keys) that changes rows (RoutineCopies), all of it
'                  before anything is written anywhere.
' Returns the status; grid, order and copies change only when it is TKS_SUCCESS.
Private Function SortRequest(ByRef grid As Variant, ByVal commandCode As Long, _
                             ByRef order() As Long, ByRef copies As Variant, _
                             ByVal sortCommand As Variant, ByVal moveCommand As Variant, _
                             ByVal headerRows As Long, ByVal compareRoutine As String, _
                             ByVal copyRoutine As String, ByVal stable As Boolean, _
                             ByVal keyRoutine As String, ByVal customOrder As Variant, _
                             ByVal customColumn As Variant) As Long
    Dim comm As TKCOMM
    Dim outcome As Long
    Dim dimensions As Long
    Dim errNumber As Long
    Dim errSource As String
    Dim errDescription As String

    On Error GoTo Failed
    If commandCode = TKC_MOVE Then
        dimensions = TableDimensions(grid, "grid")
    Else
        dimensions = TableDimensions(grid, "sourceTable")
    End If
    sortCommand = ResolvedKeys(sortCommand, grid, dimensions, headerRows)
    StartProgress compareRoutine & copyRoutine & keyRoutine
    outcome = SelectTable(comm, grid, dimensions, sortCommand, moveCommand, headerRows, _
                          compareRoutine, stable, keyRoutine, customOrder, customColumn)
    If outcome = TKS_SUCCESS Then outcome = RunCommand(comm, commandCode, compareRoutine, "")
    If outcome = TKS_SUCCESS And commandCode = TKC_MOVE Then
        If Len(copyRoutine) > 0 Then
            ApplyCopyRoutine comm.Source.Data, comm.Source.HeaderLines, _
                CopyRoutineColumns(sortCommand, moveCommand), QualifiedRoutine(copyRoutine)
        End If
        CopyBack comm.Source.Data, grid, dimensions
    ElseIf outcome = TKS_SUCCESS Then
        CopyOrder comm.SortIndex, order
        SourceRowsInPlace order, comm.Source.Data, comm.Source.HeaderLines
        If Len(copyRoutine) > 0 Then
            copies = RoutineCopies(grid, headerRows, order, _
                CopyRoutineColumns(sortCommand, moveCommand), QualifiedRoutine(copyRoutine))
        End If
    End If
    SortRequest = CloseRequest(comm, outcome)
    Exit Function

Failed:
    errNumber = Err.Number
    errSource = Err.Source
    errDescription = Err.Description
    ReleaseRecord comm
    SortRequest = CancelledOrRaise(errNumber, errSource, errDescription)
End Function

' Copies the library's order element by element: the office suite's Basic shares an array
' on assignment, and the record's own is erased when the request closes.
Private Sub CopyOrder(ByRef source() As Long, ByRef target() As Long)
    Dim i As Long

    ReDim target(LBound(source) To UBound(source))
    For i = LBound(source) To UBound(source)
        target(i) = source(i)
    Next i
End Sub

' TKSortRange's request on the sheet: the order from the library (SortRequest), then the
' rows moved on the sheet (MoveSheetRows), then what a copy routine made of its cells.
Private Function SortSheetRequest(ByVal area As Range, ByRef cellValues As Variant, _
                                  ByVal sortCommand As Variant, ByVal moveCommand As Variant, _
                                  ByVal headerRows As Long, ByVal compareRoutine As String, _
                                  ByVal copyRoutine As String, ByVal stable As Boolean, _
                                  ByVal keyRoutine As String, ByVal customOrder As Variant, _
                                  ByVal customColumn As Variant) As Long
    Dim order() As Long
    Dim copies As Variant
    Dim i As Long

    SortSheetRequest = SortRequest(cellValues, TKC_SORTINDEX, order, copies, sortCommand, _
                                   moveCommand, headerRows, compareRoutine, copyRoutine, _
                                   stable, keyRoutine, customOrder, customColumn)
    If SortSheetRequest <> TKS_SUCCESS Then Exit Function
    MoveSheetRows area, DataRowStart(1, UBound(cellValues, 1), headerRows), order
    If IsEmpty(copies) Then Exit Function
    For i = 1 To UBound(copies, 1)
        area.Cells(copies(i, 1), copies(i, 2)).Value = copies(i, 3)
    Next i
End Function

' What the copy routine makes of the cells that a sort into order moves: for each data row of
' grid in its new place, top to bottom, each cell of a column marked in copyColumns whose row
' changes. One row per cell: its new row, its column, the routine's value (given the cell's
' value, its row before, its row after and its column). Empty when there are none.
Private Function RoutineCopies(ByRef grid As Variant, ByVal headerRows As Long, _
                               ByRef order() As Long, ByRef copyColumns As Variant, _
                               ByVal copyRoutine As String) As Variant
    Dim copies() As Variant
    Dim count As Long
    Dim pass As Long
    Dim firstDataRow As Long
    Dim i As Long
    Dim toRow As Long
    Dim c As Long

    RoutineCopies = Empty
    firstDataRow = DataRowStart(LBound(grid, 1), UBound(grid, 1), headerRows)
    For pass = 1 To 2
        If pass = 2 Then
            If count = 0 Then Exit Function
            ReDim copies(1 To count, 1 To 3)
            count = 0
        End If
        For i = LBound(order) To UBound(order)
            toRow = firstDataRow + i - LBound(order)
            If order(i) <> toRow Then
                For c = LBound(grid, 2) To UBound(grid, 2)
                    If IsCopyColumn(copyColumns, c) Then
                        count = count + 1
                        If pass = 2 Then
                            copies(count, 1) = toRow
                            copies(count, 2) = c
                            copies(count, 3) = Application.Run(copyRoutine, _
                                grid(order(i), c), order(i), toRow, c)
                            ProgressStep PROGRESS_COPIES
                        End If
                    End If
                Next c
            End If
        Next i
    Next pass
    RoutineCopies = copies
End Function

' Puts the data rows of area (firstDataRow to its last row, as area numbers them) into the
' order that order gives (order(i) is the row that comes i-th) by the spreadsheet's own sort,
' so that every cell moves as that sort moves it: formulas with their references adjusted,
' formats, notes, links. Each row's place goes into a temporary column of ranks inserted
' right of the rows (the cells right of them shift right meanwhile), the rows are sorted on
' it, and the column is deleted again, which shifts those cells back. In a ListObject that
' ends with the rows' last column, the temporary column is one of its own, added and deleted,
' since a table's rows cannot be sorted together with cells outside it. Rows already in order
' leave the sheet untouched.
Private Sub MoveSheetRows(ByVal area As Range, ByVal firstDataRow As Long, ByRef order() As Long)
    Dim ranks() As Variant
    Dim dataRows As Range
    Dim rankCells As Range
    Dim listTable As Object
    Dim added As Object
    Dim rowCount As Long
    Dim moved As Boolean
    Dim i As Long
    Dim errNumber As Long
    Dim errDescription As String

    rowCount = UBound(order) - LBound(order) + 1
    If rowCount < 2 Then Exit Sub
    ReDim ranks(1 To rowCount, 1 To 1)
    For i = 1 To rowCount
        ranks(order(LBound(order) + i - 1) - firstDataRow + 1, 1) = i
        If order(LBound(order) + i - 1) <> firstDataRow + i - 1 Then moved = True
    Next i
    If Not moved Then Exit Sub
    Set dataRows = area.Rows(firstDataRow).Resize(rowCount)

    On Error GoTo NoRankColumn
    Set listTable = ListObjectOf(dataRows)
    If Not listTable Is Nothing Then
        If listTable.Range.Column + listTable.Range.Columns.Count <> _
           dataRows.Column + dataRows.Columns.Count Then Set listTable = Nothing
    End If
    If listTable Is Nothing Then
        dataRows.Columns(1).Offset(0, dataRows.Columns.Count).Insert Shift:=SHIFT_TO_RIGHT
    Else
        Set added = listTable.ListColumns.Add
    End If
    Set rankCells = dataRows.Columns(1).Offset(0, dataRows.Columns.Count)

    On Error GoTo NotSorted
    rankCells.Value = ranks
    dataRows.Resize(, dataRows.Columns.Count + 1).Sort Key1:=rankCells.Cells(1, 1), _
        Order1:=SORT_ASCENDING, Header:=HEADER_NO, Orientation:=TOP_TO_BOTTOM
    On Error GoTo 0
    RemoveRankColumn rankCells, added
    Exit Sub

NoRankColumn:
    Err.Raise ERR_TKSELECT, "TKSortRange", "The sheet could not take the temporary column " & _
              "of ranks right of the listTable (error " & Err.Number & ": " & Err.Description & _
              "), which moves the rows with their formulas and formats. Nothing was " & _
              "changed. A protected sheet or one used up to its last column cannot take it; " & _
              "valuesOnly:=True writes the sorted values without it."
NotSorted:
    errNumber = Err.Number
    errDescription = Err.Description
    On Error Resume Next
    RemoveRankColumn rankCells, added
    On Error GoTo 0
    Err.Raise ERR_TKSELECT, "TKSortRange", "The spreadsheet could not sort the rows by " & _
              "their ranks (error " & errNumber & ": " & errDescription & "); the " & _
              "temporary column was removed again. valuesOnly:=True writes the sorted " & _
              "values without it."
End Sub

' Deletes MoveSheetRows' column of ranks: the ListObject's column it added, or the cells it
' inserted, which shifts the cells right of them back.
Private Sub RemoveRankColumn(ByVal rankCells As Range, ByVal added As Object)
    If added Is Nothing Then
        rankCells.Delete Shift:=SHIFT_TO_LEFT
    Else
        added.Delete
    End If
End Sub

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
    ColumnSpan grid, dimensions, leftColumn, rightColumn
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

    ColumnSpan grid, dimensions, leftColumn, rightColumn
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
        If Not TypeOf customOrder Is Range Then
            Err.Raise ERR_TKSELECT, "TKselect", "customOrder must be an array or a Range."
        End If
        entries = RangeValues(customOrder, "customOrder")
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
        "error " & Err.Number & ": " & Err.Description & "). " & WhereToPutTheLibrary() & _
        " 64-bit Office needs tkselect64.dll, 32-bit Office tkselect.dll. Nothing was changed."
    code = TKS_NO_LIBRARY
    CallLibrary = TKR_ENDED
End Function

' What to do when the library cannot be found: where it may go, and why the workbook's own
' folder or a path named with TKSetLibraryPath did not give it.
Private Function WhereToPutTheLibrary() As String
    Dim advice As String

    If Len(mLibraryPath) > 0 Then
        advice = "TKSetLibraryPath named " & mLibraryPath & ", which did not load. "
    ElseIf IsWebAddress(WorkbookFolder()) Then
        advice = "The workbook is stored at a web address (" & WorkbookFolder() & "), as in " & _
                 "a synced cloud folder, and Windows loads no library from there: put " & _
                 LIBRARY_FILE & " in a folder of this computer and name it first with " & _
                 "TKSetLibraryPath ""C:\Tools\" & LIBRARY_FILE & """. "
    End If
    WhereToPutTheLibrary = advice & "Put " & LIBRARY_FILE & " next to the workbook or in a " & _
        "folder on the PATH, or name it with TKSetLibraryPath before the first request."
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
        code = TKselect(code, comm)
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

    If Omitted(computed) Then computed = Empty
    If Not IsEmpty(computed) Then extra = UBound(computed) - LBound(computed) + 1
    topRow = LBound(grid, 1)
    bottomRow = UBound(grid, 1)
    ColumnSpan grid, dimensions, leftColumn, rightColumn
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

' The first and last column of grid as its rows number them: its own bounds, or 1 and 1 for
' a 1-D grid, which is one column.
Private Sub ColumnSpan(ByRef grid As Variant, ByVal dimensions As Long, _
                       ByRef leftColumn As Long, ByRef rightColumn As Long)
    If dimensions = 2 Then
        leftColumn = LBound(grid, 2)
        rightColumn = UBound(grid, 2)
    Else
        leftColumn = 1
        rightColumn = 1
    End If
End Sub

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

' The cell values of sourceTable: a Range's or a ListObject's (TableArea), or an array as it
' is. headerRows as TableArea leaves it.
Private Function TableValues(ByVal sourceTable As Variant, ByRef headerRows As Variant, _
                             ByVal headerRowsGiven As Boolean, ByVal argument As String) As Variant
    mHeaderNames = Empty
    If IsObject(sourceTable) Then
        TableValues = RangeValues(TableArea(sourceTable, headerRows, headerRowsGiven, _
                                            argument), argument)
    Else
        TableValues = sourceTable
    End If
End Function

' The cells of a table given as a Range or a ListObject: the Range itself, or the ListObject's
' whole range without its totals row. A ListObject knows its header, so when headerRows was
' not given it becomes the ListObject's own (1 with a header row shown, else 0), and for a
' Range that is a ListObject's DataBodyRange 0, with the header row's texts kept for TKKey
' (mHeaderNames): sorting a table's body never takes its first row for a header.
Private Function TableArea(ByVal sortTable As Object, ByRef headerRows As Variant, _
                           ByVal headerRowsGiven As Boolean, ByVal argument As String) As Range
    Dim listTable As Object

    mHeaderNames = Empty
    If sortTable Is Nothing Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " is Nothing."
    End If
    If TypeName(sortTable) = "ListObject" Then
        Set listTable = sortTable
        Set TableArea = listTable.Range
        ' A totals row sums the rows above it and stays below them.
        If listTable.ShowTotals Then Set TableArea = TableArea.Resize(TableArea.Rows.Count - 1)
        If Not headerRowsGiven Then headerRows = IIf(listTable.ShowHeaders, 1, 0)
        Exit Function
    End If
    If Not TypeOf sortTable Is Range Then
        Err.Raise ERR_TKSELECT, "TKselect", argument & " must be a Range, a ListObject or " & _
                  "an array."
    End If
    Set TableArea = sortTable
    If headerRowsGiven Then Exit Function
    Set listTable = ListObjectOf(sortTable)
    If listTable Is Nothing Then Exit Function
    If listTable.DataBodyRange Is Nothing Then Exit Function
    If listTable.DataBodyRange.Address <> sortTable.Address Then Exit Function
    headerRows = 0
    If listTable.ShowHeaders Then mHeaderNames = RangeValues(listTable.HeaderRowRange, argument)
End Function

' The ListObject that the first cell of area belongs to, or Nothing; Nothing also in a host
' without tables in its macro language, which is not asked: Excel before 2007 (the office
' suite's Basic answers Application.Version with 11.0 too) has no Range.ListObject.
Private Function ListObjectOf(ByVal area As Range) As Object
    Set ListObjectOf = Nothing
    On Error GoTo NoTables
    If Val(Application.Version) < 12 Then Exit Function
    Set ListObjectOf = area.ListObject
NoTables:
End Function

' sortCommand with its keys from TKKey written as a sort line of text ("3,TK_COMPDESAUTO
' 1,TK_COMPASCAUTO"), each column found (KeyColumnNumber); any other sort line as it is, for
' the library to read and refuse. One key stands alone; several come in a 1-D array.
Private Function ResolvedKeys(ByVal sortCommand As Variant, ByRef grid As Variant, _
                              ByVal dimensions As Long, ByVal headerRows As Long) As Variant
    Dim keys As Variant
    Dim sortLine As String
    Dim place As Long

    ResolvedKeys = sortCommand
    If IsKey(sortCommand) Then
        keys = Array(sortCommand)
    ElseIf IsArray(sortCommand) Then
        If DimensionCount(sortCommand) <> 1 Then Exit Function
        If UBound(sortCommand) < LBound(sortCommand) Then Exit Function
        ' An array of column, keyword pairs is the library's own form of a line.
        If Not IsKey(sortCommand(LBound(sortCommand))) Then Exit Function
        keys = sortCommand
    Else
        Exit Function
    End If
    ' By index, not For Each: the office suite's Basic gives a For Each variable the type of
    ' the first element, and a text after a key would not fit it.
    For place = 1 To UBound(keys) - LBound(keys) + 1
        If Not IsKey(keys(LBound(keys) + place - 1)) Then
            Err.Raise ERR_TKSELECT, "TKselect", "Entry " & place & " of the sort line is " & _
                      DescribedValue(keys(LBound(keys) + place - 1)) & ", not a key from " & _
                      "TKKey; a line of keys holds keys only."
        End If
        sortLine = sortLine & " " & KeyColumn(keys(LBound(keys) + place - 1), grid, _
                   dimensions, headerRows)
    Next place
    ResolvedKeys = Mid$(sortLine, 2)
End Function

' One key as an entry of a sort line, "3,TK_COMPDESAUTO".
Private Function KeyColumn(ByVal key As Variant, ByRef grid As Variant, _
                           ByVal dimensions As Long, ByVal headerRows As Long) As String
    KeyColumn = KeyColumnNumber(key(LBound(key) + 1), grid, dimensions, headerRows) & "," & _
                KeywordName(key(LBound(key) + 2))
End Function

' True for what TKKey returns.
Private Function IsKey(ByVal candidate As Variant) As Boolean
    If Not IsArray(candidate) Then Exit Function
    If DimensionCount(candidate) <> 1 Then Exit Function
    If UBound(candidate) - LBound(candidate) <> 2 Then Exit Function
    If VarType(candidate(LBound(candidate))) <> vbString Then Exit Function
    IsKey = candidate(LBound(candidate)) = KEY_MARKER
End Function

' The number of the column a key names: a number that is one of grid's columns, or the one
' column whose header text (the last header row, or mHeaderNames) is keyColumn, compared
' without regard to case or blanks around it. Raises an error that names the problem, and
' the table's headers, otherwise.
Private Function KeyColumnNumber(ByVal keyColumn As Variant, ByRef grid As Variant, _
                                 ByVal dimensions As Long, ByVal headerRows As Long) As Long
    Dim names As Variant
    Dim leftColumn As Long
    Dim rightColumn As Long
    Dim c As Long
    Dim found As Long
    Dim listed As String

    ColumnSpan grid, dimensions, leftColumn, rightColumn
    If VarType(keyColumn) <> vbString Then
        If keyColumn < leftColumn Or keyColumn > rightColumn Then
            Err.Raise ERR_TKSELECT, "TKselect", "TKKey(" & keyColumn & ") names no column " & _
                      "of the table, whose columns are " & leftColumn & " to " & _
                      rightColumn & "."
        End If
        KeyColumnNumber = keyColumn
        Exit Function
    End If
    names = HeaderTexts(grid, dimensions, headerRows)
    If IsEmpty(names) Then
        Err.Raise ERR_TKSELECT, "TKselect", "TKKey(""" & keyColumn & """) names a column " & _
                  "by its header, but the table has no header row (headerRows is 0): " & _
                  "name the column by its number."
    End If
    For c = leftColumn To rightColumn
        listed = listed & IIf(c > leftColumn, ", ", "") & names(c)
        If StrComp(Trim$(names(c)), Trim$(keyColumn), vbTextCompare) = 0 Then
            If found > 0 Then
                Err.Raise ERR_TKSELECT, "TKselect", "Two columns of the table have the " & _
                          "header """ & keyColumn & """ (" & found & " and " & c & "): name " & _
                          "the column by its number."
            End If
            found = c
        End If
    Next c
    If found = 0 Then
        Err.Raise ERR_TKSELECT, "TKselect", "No column of the table has the header """ & _
                  keyColumn & """. Its headers are: " & listed & "."
    End If
    KeyColumnNumber = found
End Function

' The header texts by grid's column numbers: mHeaderNames when the request has them (a
' ListObject's), else the last header row of grid; Empty for a table without header rows.
Private Function HeaderTexts(ByRef grid As Variant, ByVal dimensions As Long, _
                             ByVal headerRows As Long) As Variant
    Dim names() As String
    Dim headerRow As Long
    Dim c As Long

    HeaderTexts = Empty
    If dimensions = 2 Then
        ReDim names(LBound(grid, 2) To UBound(grid, 2))
    Else
        ReDim names(1 To 1)
    End If
    If Not IsEmpty(mHeaderNames) Then
        For c = LBound(names) To UBound(names)
            names(c) = CellText(mHeaderNames(1, c - LBound(names) + LBound(mHeaderNames, 2)))
        Next c
    ElseIf headerRows > 0 And headerRows <= UBound(grid, 1) - LBound(grid, 1) + 1 Then
        headerRow = LBound(grid, 1) + headerRows - 1
        For c = LBound(names) To UBound(names)
            If dimensions = 2 Then
                names(c) = CellText(grid(headerRow, c))
            Else
                names(c) = CellText(grid(headerRow))
            End If
        Next c
    Else
        Exit Function
    End If
    HeaderTexts = names
End Function

' A header cell as text: a number or date as it converts, "" for a cell without text.
Private Function CellText(ByVal cellValue As Variant) As String
    If CellKind(cellValue) = CELL_TEXT Or CellKind(cellValue) = CELL_NUMBER Then
        CellText = CStr(cellValue)
    End If
End Function

' The keyword of a sort key's value, as the sort line writes it.
Private Function KeywordName(ByVal keyword As Long) As String
    KeywordName = Choose(keyword, "TK_COMPASCAUTO", "TK_COMPDESAUTO", "TK_COMPBRKO", _
                         "TK_COMPASCCASE", "TK_COMPDESCASE", "TK_COMPASCNATURAL", _
                         "TK_COMPDESNATURAL", "TK_COMPASCNUMTEXT", "TK_COMPDESNUMTEXT")
End Function

' True for a whole number from lowest to highest, of any numeric type.
Private Function IsWholeNumber(ByVal candidate As Variant, ByVal lowest As Long, _
                               ByVal highest As Long) As Boolean
    Select Case VarType(candidate)
    Case vbByte, vbInteger, vbLong, vbSingle, vbDouble, vbCurrency, vbDecimal, 20
        If candidate >= lowest And candidate <= highest Then
            IsWholeNumber = candidate = Int(candidate)
        End If
    End Select
End Function

' A value for an error message: a text in quotes, a number as it is, else its type.
Private Function DescribedValue(ByVal anyValue As Variant) As String
    If IsArray(anyValue) Then
        DescribedValue = "an array"
    ElseIf IsObject(anyValue) Then
        DescribedValue = "an object (" & TypeName(anyValue) & ")"
    ElseIf VarType(anyValue) = vbString Then
        DescribedValue = """" & anyValue & """"
    ElseIf IsNumeric(anyValue) And Not IsEmpty(anyValue) Then
        DescribedValue = CStr(anyValue)
    Else
        DescribedValue = TypeName(anyValue)
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
    Resume Counted
Counted:
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
' library's first call then says so (CallLibrary). A path named with TKSetLibraryPath is
' tried first; a workbook stored at a web address has no folder to load from.
Private Sub LoadLibraryNextToWorkbook()
    If mLibraryLookedFor Then Exit Sub
    If Len(mLibraryPath) > 0 Then mLibraryLookedFor = LoadLibraryAt(mLibraryPath)
    If mLibraryLookedFor Or IsWebAddress(WorkbookFolder()) Then Exit Sub
    If Len(WorkbookFolder()) = 0 Then Exit Sub
    mLibraryLookedFor = LoadLibraryAt(WorkbookFolder() & "\" & LIBRARY_FILE)
End Sub

' Loads the library file at libraryPath; False when it did not load, or when this host
' cannot call kernel32.
Private Function LoadLibraryAt(ByVal libraryPath As String) As Boolean
    On Error GoTo NotLoaded
    LoadLibraryAt = LoadLibraryW(StrPtr(libraryPath)) <> 0
NotLoaded:
End Function

' The folder of the workbook that holds this module; "" for an unsaved one.
Private Function WorkbookFolder() As String
    On Error GoTo NoFolder
    WorkbookFolder = ThisWorkbook.Path
NoFolder:
End Function

' True for a path that is a web address: the path of a workbook in a synced cloud folder.
Private Function IsWebAddress(ByVal anyPath As String) As Boolean
    IsWebAddress = LCase$(Left$(anyPath, 7)) = "http://" Or _
                   LCase$(Left$(anyPath, 8)) = "https://"
End Function

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
' this module, whichever workbook is active, where the host takes names so qualified
' (RoutineNaming).
Private Function QualifiedRoutine(ByVal routine As String) As String
    If InStr(routine, "!") > 0 Or RoutineNaming() = NAMING_BARE Then
        QualifiedRoutine = routine
    Else
        QualifiedRoutine = WorkbookQualifier() & routine
    End If
End Function

Private Function WorkbookQualifier() As String
    WorkbookQualifier = "'" & Replace(ThisWorkbook.Name, "'", "''") & "'!"
End Function

' How this host names a routine of the workbook to Application.Run (mRoutineNaming), found
' out once by running TKLastStatusText, which changes nothing, under the qualified name.
Private Function RoutineNaming() As Long
    Dim answer As Variant

    If mRoutineNaming = NAMING_UNKNOWN Then
        mRoutineNaming = NAMING_BARE
        On Error GoTo Answered
        answer = Application.Run(WorkbookQualifier() & "TKLastStatusText")
        mRoutineNaming = NAMING_QUALIFIED
    End If
Answered:
    RoutineNaming = mRoutineNaming
End Function

' Raises a trapped error again after the clean-up, with a hint when the library itself
' could not be found or loaded.
Private Sub RaiseAgain(ByVal errNumber As Long, ByVal errSource As String, _
                       ByVal errDescription As String)
    If errNumber = 53 And InStr(1, errDescription, LIBRARY_FILE, vbTextCompare) > 0 Then
        errDescription = errDescription & ". " & WhereToPutTheLibrary()
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
