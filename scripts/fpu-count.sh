#!/usr/bin/env bash
# Counts the MIPS FPU instructions in each file given (objects, archives,
# shared libraries, executables); fails if any file holds one. A soft-float
# build must hold none: on an FPU-less core every one of them traps.
#   scripts/fpu-count.sh FILE...
set -euo pipefail
status=0
for f in "$@"; do
  # Coprocessor-1 loads, stores and moves, and every .s/.d/.w/.l arithmetic form.
  n=$(mipsel-linux-gnu-objdump -d "$f" |
      grep -cE $'\t(lwc1|swc1|ldc1|sdc1|lwxc1|swxc1|ldxc1|sdxc1|mtc1|mfc1|mthc1|mfhc1|cfc1|ctc1|bc1[ft]l?)\t|\t[a-z]+\\.(s|d|w|l|ps)(\t|$)' || true)
  echo "$(basename "$f"): $n FPU instructions"
  [ "$n" -eq 0 ] || status=1
done
exit $status
