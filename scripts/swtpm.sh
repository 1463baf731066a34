# Sourced by the test command: a swtpm TPM 2.0 simulator for the TPM tests, with a
# fresh state folder on a free loopback port pair (control port = port + 1, as the
# swtpm TCTI expects), stopped when the shell exits. Its TCTI goes to the tests in
# VAULTKEEP_KSP_TCTI; without it the TPM tests show as skipped.
#   source scripts/swtpm.sh && start_swtpm && ctest ...

SWTPM_PID=
SWTPM_STATE=

stop_swtpm() {
  if [ -n "$SWTPM_PID" ]; then
    kill "$SWTPM_PID" 2>/dev/null || true
    wait "$SWTPM_PID" 2>/dev/null || true
    SWTPM_PID=
  fi
  if [ -n "$SWTPM_STATE" ]; then
    rm -rf "$SWTPM_STATE"
    SWTPM_STATE=
  fi
}

start_swtpm() {
  command -v swtpm >/dev/null || { echo "swtpm: not installed (scripts/setup.sh installs it)" >&2; return 1; }
  SWTPM_STATE=$(mktemp -d /tmp/vk-swtpm.XXXXXX)
  trap stop_swtpm EXIT
  local attempt i port
  for attempt in $(seq 1 20); do
    port=$((20000 + 2 * (RANDOM % 20000)))
    swtpm socket --tpm2 \
      --server "type=tcp,port=$port,bindaddr=127.0.0.1" \
      --ctrl "type=tcp,port=$((port + 1)),bindaddr=127.0.0.1" \
      --tpmstate "dir=$SWTPM_STATE" --flags not-need-init,startup-clear \
      >>"$SWTPM_STATE/swtpm.log" 2>&1 &
    SWTPM_PID=$!
    for i in $(seq 1 100); do # about 5 s
      kill -0 "$SWTPM_PID" 2>/dev/null || break # the port was taken: try another
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        export VAULTKEEP_KSP_TCTI="swtpm:host=127.0.0.1,port=$port"
        export TSS2_LOG=${TSS2_LOG:-all+none} # the tests provoke TPM errors on purpose
        echo "== swtpm simulator on 127.0.0.1:$port (VAULTKEEP_KSP_TCTI)"
        return 0
      fi
      sleep 0.05
    done
    kill "$SWTPM_PID" 2>/dev/null || true
    wait "$SWTPM_PID" 2>/dev/null || true
    SWTPM_PID=
  done
  echo "swtpm: did not start; see $SWTPM_STATE/swtpm.log" >&2
  return 1
}
