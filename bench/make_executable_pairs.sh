#!/bin/sh
# Builds pairs of large real executables for bench/executablepairs_bench:
# one generated C program (many functions calling each other, jump tables,
# tables of function pointers) compiled twice, the second version with a
# few functions grown, so that most code moves a little, as between two
# builds of one product.  Nothing here is committed; the pairs go to DIR.
#   bench/make_executable_pairs.sh DIR [FUNCTIONS]
# Writes DIR/<name>_v1 and DIR/<name>_v2 for
#   pe32_dll      clang i686-pc-windows-msvc + lld-link /dll
#   elf64_pie     clang x86_64-linux-gnu + ld.lld -pie
#   macho64_exe   clang x86_64-apple-macos + ld64.lld -execute
# and DIR/pairs.txt ("name kind" per line, the kind as the patch names it).
# Needs clang, lld (ld.lld, lld-link, ld64.lld-14 or $LD64) and python3.
set -eu
dir=$1
functions=${2:-100000}
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=12
jobs=${JOBS:-3}
CF="-O1 -ffreestanding -fno-builtin -fno-stack-protector -fno-asynchronous-unwind-tables -w"

python3 - "$work" "$functions" "$files" <<'PY'
import random, sys
work, functions, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for version in (1, 2):
    rng = random.Random(7)
    per = (functions + files - 1) // files
    for part in range(files):
        out = []
        lo, hi = part * per, min(functions, (part + 1) * per)
        called = set()
        for i in range(lo, hi):
            callees = [rng.randrange(functions) for _ in range(3)]
            called.update(callees)
            k = [rng.randrange(1, 1000) for _ in range(6)]
            body = ["int f%d(int x) {\n  int y = x * %d + %d;\n" % (i, k[0], k[1])]
            # The second build grows one function in 97, moving all code behind it.
            if version == 2 and i % 97 == 0:
                body.append("  y ^= (y >> 3) + %d; y += f%d(y & 7);\n" % (k[2], callees[0]))
            body.append("  switch (x & 7) {\n")
            for c in range(6):
                body.append("    case %d: y += f%d(y - %d); break;\n" % (c, callees[c % 3], k[c]))
            body.append("    default: y -= %d;\n  }\n" % k[5])
            body.append("  if (y & 1) y = f%d(y >> 1);\n" % callees[1])
            body.append("  return y + %d;\n}\n" % k[3])
            out.append("".join(body))
        # Tables of function pointers: absolute addresses the loader relocates.
        out.append("fn table%d[] = {%s};\n" % (part, ", ".join("f%d" % i for i in range(lo, hi, 4))))
        head = "typedef int (*fn)(int);\n" + "".join("int f%d(int);\n" % c for c in sorted(called))
        with open("%s/v%d_part%d.c" % (work, version, part), "w") as f:
            f.write(head + "".join(out))
    with open("%s/v%d_main.c" % (work, version), "w") as f:
        f.write("int f0(int);\nint start(void) { return f0(1); }\nint _start(void) { return f0(2); }\n")
PY

compile() {  # TARGET EXTRA_FLAGS SUFFIX VERSION
  ls "$work"/v$4_*.c | xargs -P "$jobs" -I{} sh -c "clang --target=$1 $CF $2 -c {} -o {}.$3"
}

: > "$dir/pairs.txt"
for v in 1 2; do
  compile i686-pc-windows-msvc "" obj $v
  lld-link /brepro /nodefaultlib /dll /noentry /export:f0 "$work"/v${v}_part*.c.obj \
    /out:"$dir/pe32_dll_v$v" > /dev/null
  compile x86_64-linux-gnu -fPIC o $v
  ld.lld -pie -e _start "$work"/v${v}_*.c.o -o "$dir/elf64_pie_v$v"
  compile x86_64-apple-macos10.15 "" mo $v
  ${LD64:-ld64.lld-14} -arch x86_64 -platform_version macos 10.15 10.15 -execute -e _start \
    "$work"/v${v}_*.c.mo -o "$dir/macho64_exe_v$v"
done
printf 'pe32_dll 1\nelf64_pie 5\nmacho64_exe 7\n' > "$dir/pairs.txt"
ls -l "$dir"
