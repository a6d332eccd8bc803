#!/usr/bin/env bash
# Checks the export table of a KeltoS3.dll (objdump -p): the C functions
# under their plain names, the exported classes under their GCC names and,
# for other compilers, under their MSVC names; nothing else of the library;
# and no MinGW runtime DLL among its imports.  For the 32-bit DLL it also
# checks that the member functions clean their own arguments off the stack
# (thiscall, as MSVC compiles the interfaces' callers).
#
# Usage: check_exports.sh OBJDUMP DLL DEF_FILE
set -euo pipefail

OBJDUMP=$1 DLL=$2 DEF=$3
fail=0
problem() { echo "check_exports.sh: $DLL: $*" >&2; fail=1; }

dump=$("$OBJDUMP" -p "$DLL")
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
          sed -n 's/^\s*\[\s*[0-9]*\]\s*//p')
[ -n "$exports" ] || problem "no export table"

# Every name of the module-definition file (left of any "=") is exported.
while read -r name; do
  grep -qxF -- "$name" <<<"$exports" || problem "does not export $name"
done < <(sed -n '/^EXPORTS/,$p' "$DEF" | sed '1d; s/=.*//; /^;/d; /^\s*$/d')

# The C functions carry no decoration (no "_" prefix, no "@" suffix).
for name in CreateS3FileManagerObject DestroyS3FileManagerObject CreateS3FileObject \
            DestroyS3FileObject GetUsedSpace DeleteS3File GetDirList; do
  grep -qxF "$name" <<<"$exports" || problem "does not export $name undecorated"
done
decorated=$(grep -E '^_|@[0-9]+$' <<<"$exports" | grep -v '^_Z' || true)
[ -z "$decorated" ] || problem "decorated C names: $(tr '\n' ' ' <<<"$decorated")"

# The classes under their GCC names: members, virtual tables, type data.
for class in 15KS3FilesManager 7KS3File 7CBase64; do
  grep -q "^_ZN${class}C1Ev$" <<<"$exports" || problem "does not export the constructor of $class"
  grep -q "^_ZTV${class}$" <<<"$exports" || problem "does not export the virtual table of $class"
done

# Nothing else: a DLL without a single export mark would export every symbol.
unexpected=$(grep -vxF -f <(sed -n '/^EXPORTS/,$p' "$DEF" | sed '1d; s/=.*//; /^;/d; /^\s*$/d') \
               <<<"$exports" | grep -Ev '^_Z(N|TV|TI|TS)(15KS3FilesManager|7KS3File|7CBase64)' || true)
[ -z "$unexpected" ] || problem "exports more than its interface: $(head -5 <<<"$unexpected" | tr '\n' ' ')"

# Linked statically: no runtime DLL of the compiler to ship.
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
if grep -Eiq '^(libstdc\+\+|libgcc|libwinpthread)' <<<"$imports"; then
  problem "needs MinGW runtime DLLs: $(tr '\n' ' ' <<<"$imports")"
fi

# 32-bit: thiscall member functions pop their stack arguments themselves.
if grep -q 'Magic\s*010b' <<<"$dump"; then
  seek=$("$OBJDUMP" -d --no-show-raw-insn --disassemble=__ZN7CS3File4SeekExi "$DLL" |
         grep -E '^\s*[0-9a-f]+:\s+ret' || true)
  [ -n "$seek" ] || problem "CS3File::Seek not found in the symbol table"
  if grep -qv 'ret\s*\$0xc' <<<"$seek"; then
    problem "CS3File::Seek does not return with ret \$0xc: $seek"
  fi
fi

if [ $fail = 0 ]; then
  echo "check_exports.sh: $DLL: $(wc -l <<<"$exports") exports as expected"
fi
exit $fail
