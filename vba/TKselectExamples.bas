Attribute VB_Name = "TKselectExamples"
' Examples for module TKselect: one macro for each ready procedure. Run them from the sample
' workbook TKselect-examples.xlsm (Alt+F8), or import this module next to TKselect to try them
' on sheets of your own. Your own workbooks need module TKselect only.
'
' Those with a sheet work on the active sheet's table at A3 (ExampleTable): A1 holds a line
' saying what the macro does, row 2 is blank, the table has one header row and no blank rows
' or columns inside it. The sample workbook has one sheet for each, named in its A1 line:
'   Sales       Region, Customer, Quantity, Price, Amount   ExampleSortRange, ExampleSortIndex
'   Files       Name, Size                                  ExampleSortFiles
'   Priorities  Task, Priority, Owner                       ExampleCustomOrder
'   Contacts    Name, Email, City                           ExampleKeyRoutine
'   Export      Customer, Region, Amount; a blank column; Customer, Region   ExampleExport
' ExampleSortArray and ExampleAbout need no sheet. Each one shows the library's status text
' when the request did not succeed.
Option Explicit

' Sorts the sheet's table by region, then by customer in natural order ("Customer 9" comes
' before "Customer 10"); the library compares both keys itself. Every cell keeps its formula,
' format and note, moving with its row: the Amount formulas go on computing their own row.
Public Sub ExampleSortRange()
    Dim sheetTable As Range

    If Not ExampleTable(sheetTable) Then Exit Sub
    ShowOutcome TKSortRange(sheetTable, _
                            Array(TKKey("Region"), TKKey("Customer", tkAscending, tkSortNatural)))
End Sub

' Sorts the sheet's file names in natural order: "File1.txt", "File2.txt", "file10.txt",
' "report 3.pdf", "report 12.pdf".
Public Sub ExampleSortFiles()
    Dim sheetTable As Range

    If Not ExampleTable(sheetTable) Then Exit Sub
    ShowOutcome TKSortRange(sheetTable, TKKey(1, tkAscending, tkSortNatural))
End Sub

' Sorts the sheet's tasks by priority in the order Low, Medium, High (in any case), other
' priorities after them in the automatic order and tasks without one last, then by task.
Public Sub ExampleCustomOrder()
    Dim sheetTable As Range

    If Not ExampleTable(sheetTable) Then Exit Sub
    ShowOutcome TKSortRange(sheetTable, TKKey("Task"), _
                            customOrder:=Array("Low", "Medium", "High"), customColumn:=2)
End Sub

' Sorts the sheet's contacts by the domain of their e-mail address (ExampleEmailDomain
' gives each row's key), then by name.
Public Sub ExampleKeyRoutine()
    Dim sheetTable As Range

    If Not ExampleTable(sheetTable) Then Exit Sub
    ShowOutcome TKSortRange(sheetTable, TKKey("Name"), keyRoutine:="ExampleEmailDomain")
End Sub

' The key routine of ExampleKeyRoutine: the text after the "@" of the e-mail address in
' column 2; Empty, which sorts last, for a row without one.
Public Function ExampleEmailDomain(ByVal rowValues As Variant, _
                                   ByVal rowNumber As Variant) As Variant
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

    outcome = TKSortArray(grid, Array(TKKey("Amount", tkDescending), TKKey("Name")), _
                          "1,TK_MOVEBRKO", copyRoutine:="ExampleRenumber")
    ShowOutcome outcome
    If outcome <> TKS_SUCCESS Then Exit Sub
    For lineNo = 1 To 6
        Debug.Print grid(lineNo, 1), grid(lineNo, 2), grid(lineNo, 3)
    Next lineNo
End Sub

' The copy routine of ExampleSortArray: the line number of the row the cell lands on
' (row 1 is the header).
Public Function ExampleRenumber(ByVal cellValue As Variant, ByVal fromRow As Variant, _
                                ByVal toRow As Variant, ByVal keyColumn As Variant) As Variant
    ExampleRenumber = toRow - 1
End Function

' Sorts the sheet's table (Customer, Region, Amount) by customer in natural order and
' exports customer and region, with the header, into the two columns right of the table
' (one blank column between), which keep their own header row.
Public Sub ExampleExport()
    Dim sheetTable As Range
    Dim exportRange As Range

    If Not ExampleTable(sheetTable) Then Exit Sub
    Set exportRange = sheetTable.Offset(0, sheetTable.Columns.Count + 1).Resize(, 2)
    ShowOutcome TKExportRange(sheetTable, exportRange, _
                              TKKey("Customer", tkAscending, tkSortNatural), _
                              "1,1,TK_EXPORTAUTO 2,2,TK_EXPORTAUTO", exportHeaderRows:=1)
End Sub

' Prints the sheet's rows in order of amount, largest first, without moving them:
' TKSortIndex's row numbers count the header row, so sheetTable.Rows(n) is the row.
Public Sub ExampleSortIndex()
    Dim sheetTable As Range
    Dim rowOrder() As Long
    Dim place As Long
    Dim outcome As Long

    If Not ExampleTable(sheetTable) Then Exit Sub
    outcome = TKSortIndex(sheetTable, TKKey("Amount", tkDescending), rowOrder)
    ShowOutcome outcome
    If outcome <> TKS_SUCCESS Then Exit Sub
    For place = LBound(rowOrder) To UBound(rowOrder)
        Debug.Print place, "sheet row " & sheetTable.Rows(rowOrder(place)).Row
    Next place
End Sub

' Shows the library's banner, or why the library could not be called.
Public Sub ExampleAbout()
    Dim banner As String

    banner = TKAbout()
    If Len(banner) > 0 Then
        MsgBox banner, vbInformation, "TKselect"
    Else
        ShowOutcome TKS_NO_LIBRARY
    End If
End Sub

' Shows the status text of a request that did not succeed.
Private Sub ShowOutcome(ByVal outcome As Long)
    If outcome <> TKS_SUCCESS Then MsgBox TKLastStatusText(), vbExclamation, "TKselect"
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
