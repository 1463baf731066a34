#!/usr/bin/env bash
# The export check of an installed Vaultkeep: LIBDIR (e.g. build/install/lib, or
# /usr/lib/x86_64-linux-gnu) holds libVaultkeep.so.1, which exports the public set only
# (tests/windows/exports.sh), and its private folder LIBDIR/vaultkeep the libraries it links
# and loads, each exporting only its entry points (nm -D --defined-only) under the node
# VAULTKEEP_PRIVATE. Any other Vaultkeep library in either folder, or any other name, fails.
set -euo pipefail
libdir=$1
here=$(dirname "$0")

# The names each private library may export (shell patterns).
declare -A allowed=(
  [libVaultkeepPal.so.1]="VkPal_* PalTest* _ZN3pal* _ZNK3pal* _Z*PalTest*" # private names only (pal/names.h)
  [libVaultkeepDiag.so]="_Print _PrintEnter _PrintError _PrintExit _ZN7diaglog*"
  [libVaultkeepKry10.so]="KRY_*"
  [libVaultkeepTpmKsp.so]="DllMain DllRegisterServer CPGetProviderTable TpmKsp*"
  [libVaultkeepComServers.so]="DllMain DllRegisterServer DllUnregisterServer DllGetClassObject DllCanUnloadNow"
  [libVaultkeepZipUtil.so]="KsZip KsUnzip"
)

bad=0
bash "$here/../tests/windows/exports.sh" nm "$libdir/libVaultkeep.so.1" || bad=1
for f in "$libdir"/libVaultkeep*.so*; do
  case ${f##*/} in libVaultkeep.so | libVaultkeep.so.1 | libVaultkeep.so.1.*) ;; *) echo "$f: not a public library" && bad=1 ;; esac
done
for name in "${!allowed[@]}"; do
  lib=$libdir/vaultkeep/$name
  [ -e "$lib" ] || { echo "$lib: missing" && bad=1 && continue; }
  n=0 before=$bad
  while read -r sym; do
    [ "$sym" = VAULTKEEP_PRIVATE ] && continue
    n=$((n + 1))
    ok=0
    for p in ${allowed[$name]}; do
      # shellcheck disable=SC2053 # a pattern on purpose
      [[ $sym == $p@@VAULTKEEP_PRIVATE ]] && ok=1 && break
    done
    [ $ok = 1 ] || { echo "$name exports $sym" && bad=1; }
  done < <(nm -D --defined-only "$lib" | awk '{print $NF}')
  [ $bad = "$before" ] && echo "$name: $n names, all its own"
done
for f in "$libdir"/vaultkeep/*.so*; do
  [ -L "$f" ] || [ -n "${allowed[${f##*/}]:-}" ] || [[ ${f##*/} == libVaultkeepPal.so.1.* ]] ||
    { echo "$f: unexpected in the private folder" && bad=1; }
done
exit $bad
