#!/usr/bin/env bash
# The JSON line parser is compiled a second time with AVX2 and chosen at start. Inline functions
# that object shares with the rest of the program are merged by the linker, which may keep its
# AVX2 copy, and a processor without AVX2 would then fault in ordinary code. This check fails
# when any function outside the AVX2 kernels (names with "haswell" or "Avx2") in the given
# binaries holds an AVX, BMI or LZCNT instruction. The compiler's intrinsic wrappers (_mm256_*,
# _lzcnt_u64, ...), which unoptimised builds leave out of line, are file-local and only called
# from those kernels.
set -euo pipefail
status=0
for binary in "$@"; do
  bad=$(objdump -d --no-show-raw-insn -C "$binary" | awk '
    /^[0-9a-f]+ <.*>:$/ { name = $0; next }
    {
      n = split($0, field, "\t"); if (n < 2) next
      op = field[2]; sub(/ .*/, "", op)
      if (op ~ /^v/ || $0 ~ /%[yz]mm/ || op ~ /^(andn|blsr|blsi|blsmsk|bextr|bzhi|shlx|shrx|sarx|pdep|pext|lzcnt)$/)
        if (name !~ /haswell|[Aa]vx2|<_(mm[0-9]*|lzcnt|tzcnt|bzhi|bextr|blsr|blsi|andn|pdep|pext)_/) print name
    }' | sort -u)
  if [ -n "$bad" ]; then
    echo "$binary: AVX2-only instructions outside the AVX2 kernels:"
    echo "$bad"
    status=1
  fi
done
[ "$status" = 0 ] && echo "no AVX2-only code outside the AVX2 kernels in: $*"
exit "$status"
