#!/bin/sh
# Runs one 64-bit Windows program under Wine's 64-bit loader (Debian's wine64 package keeps
# it out of PATH), quietly and without looking for Wine's .NET and browser add-ons.
# WINEPREFIX comes from the caller (scripts/lib.sh): a 64-bit prefix, which runs both.
WINEDEBUG=${WINEDEBUG:--all}
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEDEBUG WINEDLLOVERRIDES
for loader in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
  [ -n "$loader" ] && [ -x "$loader" ] && exec "$loader" "$@"
done
echo "wine64-run.sh: Wine's 64-bit loader is not installed (apt-get install wine64)" >&2
exit 127
