#!/usr/bin/env bash
# The main job: builds the tool and runs the demo against a fresh machine root.
# With --windows: the Windows build's vaultkeep.exe under Wine, in a fresh prefix
# whose C:\ProgramData and HKLM are the machine root. With --installed: the installed
# tool on the machine's own root, /var/lib/vaultkeep (scripts/packages.sh check).
set -euo pipefail
cd "$(dirname "$0")/.."
inputs=$(mktemp -d /tmp/vaultkeep-demo-inputs-XXXXXX)
if [ "${1:-}" = --windows ]; then
  source scripts/windows.sh
  win_build
  win_prefix
  root="$WINEPREFIX/drive_c"
  trap 'win_prefix_drop; rm -rf "$inputs"' EXIT
  unset VAULTKEEP_ROOT
  tool=("$WINE" "$PWD/$WIN_BUILD/bin/vaultkeep.exe")
elif [ "${1:-}" = --installed ]; then
  root=/var/lib/vaultkeep
  trap 'rm -rf "$inputs"' EXIT
  unset VAULTKEEP_ROOT
  tool=(vaultkeep)
else
  bash scripts/setup.sh linux
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j"${JOBS:-2}" --target vaultkeep
  root=$(mktemp -d /tmp/vaultkeep-demo-XXXXXX)
  trap 'rm -rf "$root" "$inputs"' EXIT
  export VAULTKEEP_ROOT="$root"
  tool=("$PWD/build/bin/vaultkeep")
fi

# The library's diagnostic log (no secrets in it) goes to a file, shown when a step fails.
export VAULTKEEP_LOG="file:$inputs/diag.log"

# The story, told through the tool alone. Secrets and passwords travel in files
# (or a pipe), never on the command line.
n=0
step() { n=$((n + 1)); printf '\n\033[1m== %d. %s\033[0m\n' "$n" "$*"; }
# Prints a command as one would type it (the demo's arguments hold no single quotes).
show() {
  local out="\$ vaultkeep" a
  for a in "$@"; do
    if [[ "$a" =~ ^[A-Za-z0-9_./=:,@%+-]+$ ]]; then out+=" $a"; else out+=" '$a'"; fi
  done
  printf '%s\n' "$out"
}
run() {
  show "$@"
  local rc=0
  "${tool[@]}" "$@" || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "demo: step $n: vaultkeep $* failed with exit status $rc; the end of the library's log:" >&2
    tail -n 40 "$inputs/diag.log" >&2 2>/dev/null || true
    exit "$rc"
  fi
}
# Runs a command that must fail, and shows its exit status.
refused() {
  show "$@"
  local rc=0
  "${tool[@]}" "$@" || rc=$?
  if [ "$rc" -eq 0 ]; then
    echo "demo: expected a failure" >&2
    exit 1
  fi
  printf '(exit status %d)\n' "$rc"
}
# Inputs are small files, readable by their owner only, in a scratch folder.
cd "$inputs"
umask 077
input() { printf '%s' "$2" >"$1"; echo "$1"; }

app_secret=$(input app-secret "correct horse battery staple")
new_secret=$(input new-app-secret "a brand new application secret")
wrong_secret=$(input wrong-secret "not the secret")
alice_pw=$(input alice-password "alice's password")
bob_pw=$(input bob-password "bob's password")
backup_pw=$(input backup-password "the backup password")
input imap-metadata "server=imap.example.org" >/dev/null
input imap-protected "account=alice@example.org" >/dev/null
input web-metadata "https://mail.example.org" >/dev/null
input pin-protected "card ending 42" >/dev/null
app_dir="$root/ProgramData/Tarnwick Systems Corp/Vaultkeep/Mail"

step "Lay out a fresh machine root"
echo "machine root: $root"
run init

step "Register the application \"Mail\" under its secret"
run register-app --app Mail --secret-file "$app_secret"

step "Add two users, each with a password that protects the user's key"
run add-user --app Mail --user alice --secret-file "$app_secret" --password-file "$alice_pw"
folders_before=$(ls "$app_dir")
run add-user --app Mail --user bob --secret-file "$app_secret" --password-file "$bob_pw"
bob_dir="$app_dir/$(comm -13 <(echo "$folders_before") <(ls "$app_dir"))"

step "Store credentials with plain and protected metadata"
printf 'imap-token-4711' | run store --app Mail --user alice --id imap --secret-file "$app_secret" \
  --password-file "$alice_pw" --data-file - \
  --metadata-file imap-metadata --protected-metadata-file imap-protected
printf 'web-password-0815' | run store --app Mail --user alice --id web --secret-file "$app_secret" \
  --password-file "$alice_pw" --data-file - --metadata-file web-metadata
printf '2468' | run store --app Mail --user bob --id pin --secret-file "$app_secret" \
  --password-file "$bob_pw" --data-file - --protected-metadata-file pin-protected

step "List users and credentials"
run list-users --app Mail --secret-file "$app_secret"
run list --app Mail --user alice --secret-file "$app_secret"
run --json list --app Mail --user bob --secret-file "$app_secret"

step "Retrieve a credential and both kinds of metadata"
run retrieve --app Mail --user alice --id imap --secret-file "$app_secret" --password-file "$alice_pw"; echo
run metadata --app Mail --user alice --id imap --secret-file "$app_secret"; echo
run protected-metadata --app Mail --user alice --id imap --secret-file "$app_secret"; echo

step "Without the right secret nothing opens, and a secret on the command line is refused"
refused list-users --app Mail --secret-file "$wrong_secret"
refused list-users --app Mail --secret "correct horse battery staple"

step "Everything verifies"
run verify --app Mail --secret-file "$app_secret"

step "Flip one byte of bob's credential on disk"
blob=$(find "$bob_dir" -type f ! -name user.bin)
offset=40 # the first byte of the encrypted credential, after the blob file's header
byte=$(od -An -tu1 -j"$offset" -N1 "$blob" | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 1)))" | dd of="$blob" bs=1 seek="$offset" conv=notrunc status=none
echo "flipped byte $offset of ${blob#"$root"/}"

step "verify finds the damaged blob file even without bob's password, and with it too"
refused verify --app Mail --secret-file "$app_secret"
refused verify --app Mail --secret-file "$app_secret" --user bob --password-file "$bob_pw"

step "retrieve refuses the damaged credential"
refused retrieve --app Mail --user bob --id pin --secret-file "$app_secret" --password-file "$bob_pw"

step "Storing the credential again replaces the damaged one"
printf '2468' | run store --app Mail --user bob --id pin --secret-file "$app_secret" \
  --password-file "$bob_pw" --data-file -
run verify --app Mail --secret-file "$app_secret" --user bob --password-file "$bob_pw"

step "Archive alice"
run archive --app Mail --user alice --file alice.zip --secret-file "$app_secret" \
  --backup-password-file "$backup_pw"
ls -l alice.zip

step "Remove the application and register it again under a new secret"
run unregister-app --app Mail --secret-file "$app_secret"
run register-app --app Mail --secret-file "$new_secret"
run --json list-users --app Mail --secret-file "$new_secret"

step "Restore alice into it"
run restore --app Mail --user alice --file alice.zip --secret-file "$new_secret" \
  --backup-password-file "$backup_pw"

step "Read everything back under the new secret"
run list-users --app Mail --secret-file "$new_secret"
run list --app Mail --user alice --secret-file "$new_secret"
run retrieve --app Mail --user alice --id imap --secret-file "$new_secret" --password-file "$alice_pw"; echo
run retrieve --app Mail --user alice --id web --secret-file "$new_secret" --password-file "$alice_pw"; echo
run metadata --app Mail --user alice --id web --secret-file "$new_secret"; echo
run protected-metadata --app Mail --user alice --id imap --secret-file "$new_secret"; echo
run verify --app Mail --secret-file "$new_secret" --user alice --password-file "$alice_pw"
refused list-users --app Mail --secret-file "$app_secret"

step "Clean up"
run unregister-app --app Mail --secret-file "$new_secret"
printf '\nDemo finished: every step behaved as expected.\n'
