#!/bin/sh
# Runs one Windows program under Wine, quietly and without looking for Wine's
# .NET and browser add-ons. WINEPREFIX comes from the caller (scripts/lib.sh).
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
