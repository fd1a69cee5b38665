#!/usr/bin/env bash
# Filters GoogleTest's full output down to each failed or skipped test, from
# its RUN line to its result line (or to the end, where the binary died
# inside a test), and the closing totals.
exec awk '
  /^\[ RUN      \]/ { held = $0 "\n"; inside = 1; next }
  inside { held = held $0 "\n" }
  inside && /^\[ +(OK|FAILED|SKIPPED) +\]/ {
    if ($0 !~ /^\[       OK \]/) printf "%s", held
    inside = 0; next
  }
  !inside && (/^\[==========\]/ || /^\[  (PASSED|FAILED|SKIPPED) / || /FAILED TEST|YOU HAVE/)
  END { if (inside) printf "%s(the test binary ended inside this test)\n", held }
'
