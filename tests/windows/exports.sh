#!/usr/bin/env bash
# The core library (Vaultkeep.dll, read with objdump -p; libVaultkeep.so, read
# with nm -D, under the version node VAULTKEEP_1) exports the thirteen functions, the password and secret changes, the root helpers and the OLE
# Automation helpers of the public header, by name, and nothing else.
set -u
tool=$1 dll=$2
expected="AddUser ArchiveUser ChangeAppSecret ChangeUserPassword DeleteCred DeleteUser QueryListOfUsers QueryUserCreds RegisterApp RestoreUser
RetrieveCredential RetrieveCredentialMetaData RetrieveEncryptedCredentialMetaData StoreCredential UnRegisterApp
VaultkeepInitRoot VaultkeepCheck VaultkeepStatusName VaultkeepGetSettings VaultkeepSetSettings
SafeArrayAccessData SafeArrayCreate SafeArrayCreateVector SafeArrayDestroy
SafeArrayGetDim SafeArrayGetLBound SafeArrayGetUBound SafeArrayUnaccessData SysAllocString SysAllocStringLen
SysFreeString SysStringLen"
case "$tool" in
# On Linux each name must carry the version node VAULTKEEP_1, which nm lists as a name too
# (llvm-nm as VAULTKEEP_1@@VAULTKEEP_1).
*nm) actual=$("$tool" -D --defined-only "$dll" | awk '$NF != "VAULTKEEP_1" && $NF != "VAULTKEEP_1@@VAULTKEEP_1" {print $NF}' | sed -e 's/@@VAULTKEEP_1$//;t' -e 's/$/ (no version node)/' | sort) ;;
*) actual=$("$tool" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ && NR > 1 {print $NF}' | sort) ;;
esac
want=$(tr ' ' '\n' <<<"$expected" | grep . | sort)
if [ "$actual" != "$want" ]; then
  echo "export table of $dll differs:"
  diff <(echo "$want") <(echo "$actual")
  exit 1
fi
echo "$(wc -l <<<"$actual") exports as expected"
