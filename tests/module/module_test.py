#!/usr/bin/python3
"""The macro module run by a real Basic interpreter: the office suite's, headless.

vba/TKselect.bas is imported into a hidden spreadsheet document in the suite's macro-language
compatibility mode (Option VBASupport 1), with tests/module/checks.bas appended so that the
checks reach the module's private procedures. Every public Check... function is run; each
returns "" or what went wrong. Nothing here calls the library: the suite cannot load a Windows
DLL. The record's layout and the Declare lines are checked by vba_test against the built
library instead.

The import does what the macro editor's import does (the Attribute lines name the module and
are not code) and two things more:
- this suite's Basic predates VBA7's PtrSafe keyword and refuses any line that holds it, even in
  an #If branch it does not compile. Those lines are in the #If VBA7 branch, which a
  VBA6-compatible interpreter skips anyway, so the word is taken out of them.
- its Application.Run cannot call a macro of the document itself (it finds none, or runs
  nothing), so the module's calls of the caller's routines, Application.Run(name, ...), are
  pointed at HostRun in checks.bas, which calls the checks' routines by name with the same
  arguments, as the host would. The module's own code around those calls is unchanged.
- the module's calls of the library, TKselect(code, comm), are pointed at HostLibrary in
  checks.bas, which calls the real Declare (and so fails here, as the library cannot load on
  this system) unless a check switches on its stand-in: a few lines of Basic that answer
  SELECT, SORTINDEX and RESET for automatic keys, so that the sheet route of TKSortRange runs
  whole against the spreadsheet's own sort. The library itself is tested under Wine.
Any other change would be a finding.

The examples module, vba/TKselectExamples.bas, goes into the same library, as in the sample
workbook. run_checks takes the modules' texts, so that tests/workbook/ runs the same checks
on the modules as the suite imported them from the sample workbook.

Run with the system Python, which has the suite's UNO bridge:
    /usr/bin/python3 tests/module/module_test.py [path/to/TKselect.bas]
Exit code 0 when every check passed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import uno  # noqa: E402  (the suite's bridge, from python3-uno)
from com.sun.star.beans import PropertyValue  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def prepared_module(text):
    """The module's text as the suite's Basic takes it, the number of PtrSafe lines and the
    number of routine calls pointed at HostRun."""
    lines = text.splitlines()
    # The Attribute lines come first and are the editor's, not code.
    while lines and lines[0].startswith("Attribute "):
        lines.pop(0)
    compiled, depth, in_vba7, ptrsafe = [], 0, [], 0
    for line in lines:
        code = line.strip()
        if re.match(r"#If\b", code, re.I):
            in_vba7.append(bool(re.match(r"#If\s+VBA7\s+Then$", code, re.I)))
        elif re.match(r"#Else\b", code, re.I) and in_vba7:
            in_vba7[-1] = False
        elif re.match(r"#End\s*If$", code, re.I) and in_vba7:
            in_vba7.pop()
        if re.search(r"\bPtrSafe\b", line):
            if not any(in_vba7):
                raise SystemExit("module_test: PtrSafe outside the #If VBA7 branch: " + line)
            line = re.sub(r"\bPtrSafe\s+", "", line)
            ptrsafe += 1
        compiled.append(line)
    if not any(re.match(r"Option Explicit$", l.strip()) for l in compiled):
        raise SystemExit("module_test: the module has no Option Explicit")
    text, runs = re.subn(r"\bApplication\.Run\(", "HostRun(", "\n".join(compiled))
    text, calls = re.subn(r"(?<![\w\"])TKselect\(code, comm\)", "HostLibrary(code, comm)", text)
    if not calls:
        raise SystemExit("module_test: no call of the library, TKselect(code, comm), found")
    return "Option VBASupport 1\n" + text + "\n", ptrsafe, runs


def start_office(profile, pipe):
    return subprocess.Popen(
        ["soffice", "--headless", "--invisible", "--norestore", "--nologo", "--nodefault",
         "-env:UserInstallation=" + uno.systemPathToFileUrl(profile),
         "--accept=pipe,name=%s;urp;" % pipe],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def terminate(desktop):
    """Asks the office suite to end."""
    try:
        desktop.terminate()
    except Exception:
        pass  # the bridge goes down with the office


def stop_office(office, work):
    """Waits for the office suite started by start_office to end (or ends it) and removes its
    folder."""
    try:
        office.wait(timeout=30)
    except subprocess.TimeoutExpired:
        office.kill()
    shutil.rmtree(work, ignore_errors=True)


def connect(pipe, office, seconds=60):
    local = uno.getComponentContext()
    resolver = local.ServiceManager.createInstanceWithContext(
        "com.sun.star.bridge.UnoUrlResolver", local)
    deadline = time.time() + seconds
    while True:
        try:
            return resolver.resolve(
                "uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
        except Exception:
            if office.poll() is not None or time.time() > deadline:
                raise SystemExit("module_test: the office suite did not start")
            time.sleep(0.2)


def imported(text):
    """A module's text as the macro editor's import reads it: without its Attribute lines."""
    lines = text.splitlines()
    while lines and lines[0].startswith("Attribute "):
        lines.pop(0)
    return "Option VBASupport 1\n" + "\n".join(lines) + "\n"


def run_checks(module_text, examples_text):
    """Runs every check of checks.bas on the modules' texts; prints a line per check and returns
    (names of the failed checks, number of checks, PtrSafe lines, routine calls pointed at
    HostRun).

    The checks that move rows on a sheet through the library's stand-in (CheckSheet...) run in
    an office suite of their own: after the other checks in the same process, this suite's
    version aborts now and then in a timer of its main loop, a little after those checks
    returned ("Fatal exception: Signal 6"). No user meets that path, since the stand-in exists
    only here; each group alone runs clean."""
    source, ptrsafe, runs = prepared_module(module_text)
    with open(os.path.join(HERE, "checks.bas"), encoding="ascii") as f:
        checks_text = f.read()
    checks = re.findall(r"^Public Function (Check\w+)\(\) As String", checks_text, re.M)
    source += checks_text
    failures = []
    for group in ([c for c in checks if not c.startswith("CheckSheet")],
                  [c for c in checks if c.startswith("CheckSheet")]):
        failures += run_group(source, examples_text, group)
    return failures, len(checks), ptrsafe, runs


def office_fault(e):
    """Whether `e` came from the office suite rather than from this script: the bridge's
    exceptions (DisposedException when the suite aborts in a call, RuntimeException "Binary
    URP bridge disposed" when it is gone between two, an unknown property of a cell asked as
    it goes) are not importable as classes, only named so."""
    return type(e).__name__.startswith("com.sun.star.")


def run_group(source, examples_text, checks):
    """run_in_office, with the checks not yet run given once more to a fresh office suite when
    the suite itself went down during one of them (its bridge disposed: the same aborts as
    above, seen now and then on a loaded machine). A check that brings the suite down twice
    fails."""
    done = []
    try:
        return run_in_office(source, examples_text, checks, done)
    except Exception as e:
        if not office_fault(e):
            raise
        rest = checks[len(done):]
        failed = [name for name, ok in done if not ok]
        if not rest:  # down while closing, every check run
            return failed
        print("note the office suite went down during %s; the checks from it on run once more "
              "in a fresh one" % rest[0])
        return failed + run_in_office(source, examples_text, rest, [])


def run_in_office(source, examples_text, checks, done):
    """Runs the named checks in a fresh office suite; returns the names of those that failed.
    Each check run is added to `done` as (name, passed)."""
    work = tempfile.mkdtemp(prefix="tkselect-module-")
    pipe = "tkselect_module_%d" % os.getpid()
    office = start_office(os.path.join(work, "profile"), pipe)
    failures = []
    try:
        context = connect(pipe, office)
        desktop = context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", context)
        hidden = PropertyValue()
        hidden.Name = "Hidden"
        hidden.Value = True
        document = desktop.loadComponentFromURL("private:factory/scalc", "_blank", 0, (hidden,))
        libraries = document.BasicLibraries
        libraries.VBACompatibilityMode = True
        library = (libraries.getByName("Standard") if libraries.hasByName("Standard")
                   else libraries.createLibrary("Standard"))
        library.insertByName("TKselect", source)
        library.insertByName("TKselectExamples", imported(examples_text))
        provider = document.getScriptProvider()
        for name in checks:
            script = provider.getScript(
                "vnd.sun.star.script:Standard.TKselect.%s?language=Basic&location=document"
                % name)
            result = script.invoke((), (), ())[0]
            # A module that does not compile gives every function an empty result.
            if result is None:
                result = "no result (the module did not compile, or the check failed to run)"
            print("%-4s %s%s" % ("ok" if result == "" else "FAIL", name,
                                 "" if result == "" else ": " + result))
            if result != "":
                failures.append(name)
            done.append((name, result == ""))
        document.close(True)
        terminate(desktop)
    finally:
        stop_office(office, work)
    return failures


def main():
    module_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "vba", "TKselect.bas")
    examples_path = os.path.join(os.path.dirname(module_path), "TKselectExamples.bas")
    with open(module_path, encoding="ascii", newline="") as f:
        module_text = f.read()
    with open(examples_path, encoding="ascii", newline="") as f:
        examples_text = f.read()
    failures, count, ptrsafe, runs = run_checks(module_text, examples_text)
    print("module_test: %d checks, %d failed; PtrSafe taken out of %d lines of the #If VBA7 "
          "branch; %d routine calls pointed at HostRun" % (count, len(failures), ptrsafe, runs))
    sys.stdout.flush()
    # The bridge's threads can crash the interpreter at exit; nothing is left to clean up.
    os._exit(1 if failures or not count else 0)


if __name__ == "__main__":
    main()
