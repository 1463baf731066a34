#!/usr/bin/env bash
# The Windows build and its runs under Wine.
#   bash scripts/windows.sh build   cross-build Vaultkeep for Windows x64 into build-win/
#   bash scripts/windows.sh demo    the demo story with vaultkeep.exe in a fresh Wine prefix
#   bash scripts/windows.sh test    the Windows test suites under Wine (ctest)
#   bash scripts/windows.sh         all three
# Sourced (by demo.sh), it only defines the functions.
WIN_BUILD=${WIN_BUILD:-build-win}
WINE=${WINE:-/usr/lib/wine/wine64}
WIN_DEPS=${VK_WIN_DEPS:-/var/cache/vaultkeep/mingw-deps}
WINE_TEMPLATES=${VK_WINE_TEMPLATES:-/var/cache/vaultkeep/wine-prefix}

# Headless and quiet: no display, no Mono or Gecko installer, no debug channels.
wine_env() {
  unset DISPLAY WAYLAND_DISPLAY
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINE
}

win_build() {
  bash scripts/setup.sh windows
  cmake -S . -B "$WIN_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DVK_WIN_DEPS="$WIN_DEPS" -DCMAKE_BUILD_TYPE=Release -DVK_BUILD_TESTS=ON >/dev/null
  nice cmake --build "$WIN_BUILD" -j"${JOBS:-2}"
}

# Makes a fresh Wine prefix (a whole Windows machine: C:\ProgramData, HKLM) in a new
# folder below ${TMPDIR:-/tmp} and exports WINEPREFIX. The caller removes it with win_prefix_drop.
# Booting a prefix (wineboot) is slow on a busy machine, so the first one booted is kept as a
# template, per Wine version, below $WINE_TEMPLATES, and later prefixes are made from it: each
# run still gets a machine of its own that no earlier run has touched.
win_prefix() {
  wine_env
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vaultkeep-wine-XXXXXX")
  export WINEPREFIX
  local template
  template="$WINE_TEMPLATES/$({ "$WINE" --version; stat -c '%s %Y' "$WINE" /usr/share/wine/wine.inf; } 2>&1 |
    sha256sum | cut -c1-16)"
  if [ -f "$template/system.reg" ]; then
    # Wine's own programs and libraries below C:\windows, nine tenths of the 700 MB, are only
    # ever read: they are hard links to the template's. Every other file is a copy.
    cp -al "$template/." "$WINEPREFIX/"
    (cd "$template" && find . -type f ! \( -path './drive_c/windows/*' \( -iname '*.dll' -o -iname '*.exe' \
      -o -iname '*.drv' -o -iname '*.sys' \) \) -print0 | xargs -0 cp -a --remove-destination --parents -t "$WINEPREFIX")
    return 0
  fi
  "$WINE" wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver64 -w 2>/dev/null || true
  # Copied beside and renamed into place, so no run ever copies half a template.
  local new
  if mkdir -p "$WINE_TEMPLATES" 2>/dev/null && new=$(mktemp -d "$WINE_TEMPLATES/.new-XXXXXX"); then
    { cp -a "$WINEPREFIX/." "$new/" && mv -T "$new" "$template"; } 2>/dev/null || rm -rf "$new"
  fi
}

win_prefix_drop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    WINEPREFIX="$WINEPREFIX" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
}

# The Windows tests in one fresh prefix, removed afterwards. Every case is a process of its
# own and they run one after another: each starts from a machine without Vaultkeep state
# (tests/support/VkTest.cpp). Ends with the counts line.
win_test() {
  win_prefix
  # A server that stays, and Wine's services started once with no test's output as theirs:
  # a service started by a case would hold that case's output open until it ends.
  /usr/lib/wine/wineserver64 -p
  "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  local rc=0 log
  log=$(mktemp)
  ctest --test-dir "$WIN_BUILD" --output-on-failure -V >"$log" 2>&1 || rc=$?
  sed -i 's/\r$//' "$log"
  grep -E '^[0-9]+: (\[ +(FAILED|SKIPPED) +\]|[0-9]+ exports)|tests passed|Failed' "$log" || true
  [ "$rc" -eq 0 ] || cat "$log"
  local passed failed skipped
  passed=$(grep -cE '^[0-9]+: \[ +OK +\]' "$log" || true)
  # Once per case with its time; the summary lists the names again, without.
  failed=$(grep -cE '^[0-9]+: \[ +FAILED +\] [A-Za-z].* \([0-9]+ ms\)$' "$log" || true)
  skipped=$(grep -cE '^[0-9]+: \[ +SKIPPED +\] [A-Za-z].* \([0-9]+ ms\)$' "$log" || true)
  # The export table check and the example client count as one each.
  if grep -qE '^[0-9]+: [0-9]+ exports as expected' "$log"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  if grep -qE 'windows\.example \.+ +Passed' "$log"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  rm -f "$log"
  win_prefix_drop
  echo "windows: $passed passed, $failed failed, $skipped skipped"
  [ "$rc" -eq 0 ] && [ "$failed" -eq 0 ]
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  cd "$(dirname "$0")/.."
  case "${1:-all}" in
  build) win_build ;;
  demo) bash scripts/demo.sh --windows ;;
  test) win_test ;;
  all)
    win_build
    bash scripts/demo.sh --windows
    win_test
    ;;
  *)
    echo "usage: $0 [build|demo|test]" >&2
    exit 64
    ;;
  esac
fi
