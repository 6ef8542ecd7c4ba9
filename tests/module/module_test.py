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
Any other change would be a finding.

run_checks takes the module's text, so that tests/workbook/ runs the same checks on the module
as the suite imported it from the sample workbook.

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


def run_checks(module_text):
    """Runs every check of checks.bas on the module's text in a fresh office suite; prints a
    line per check and returns (names of the failed checks, number of checks, PtrSafe lines,
    routine calls pointed at HostRun)."""
    source, ptrsafe, runs = prepared_module(module_text)
    with open(os.path.join(HERE, "checks.bas"), encoding="ascii") as f:
        checks_text = f.read()
    checks = re.findall(r"^Public Function (Check\w+)\(\) As String", checks_text, re.M)
    source += checks_text

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
        document.close(True)
        terminate(desktop)
    finally:
        stop_office(office, work)
    return failures, len(checks), ptrsafe, runs


def main():
    module_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "vba", "TKselect.bas")
    with open(module_path, encoding="ascii", newline="") as f:
        failures, count, ptrsafe, runs = run_checks(f.read())
    print("module_test: %d checks, %d failed; PtrSafe taken out of %d lines of the #If VBA7 "
          "branch; %d routine calls pointed at HostRun" % (count, len(failures), ptrsafe, runs))
    sys.stdout.flush()
    # The bridge's threads can crash the interpreter at exit; nothing is left to clean up.
    os._exit(1 if failures or not count else 0)


if __name__ == "__main__":
    main()
