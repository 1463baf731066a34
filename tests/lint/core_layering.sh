#!/usr/bin/env bash
# The core is a one-way stack: exports -> apptable -> usertable -> util -> platform.
# A core file includes from its own folder or from one below it, and no unit
# (X.h with X.cpp) reaches itself again through its includes.
set -u
cd "$1/src/Credentials" || exit 2
rank() { case "$1" in exports) echo 4 ;; apptable) echo 3 ;; usertable) echo 2 ;; util) echo 1 ;; *) echo 0 ;; esac; }
bad="" edges=""
while IFS= read -r file; do
  dir=$(dirname "$file")
  while IFS= read -r inc; do
    if [ -e "$dir/$inc" ]; then target=$(realpath -m --relative-to=. "$dir/$inc")
    elif [ -e "$inc" ]; then target=$inc
    else continue; fi # not a core file
    from=${dir%%/*} to=$(dirname "$target")
    to=${to%%/*}
    if [ "$from" != "$to" ] && [ "$(rank "$to")" -ge "$(rank "$from")" ]; then bad+="  $file includes $target"$'\n'; fi
    edges+="${file%.*} ${target%.*}"$'\n'
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort)
status=0
if [ -n "$bad" ]; then
  printf 'upward or sideways includes in the core:\n%s' "$bad"
  status=1
fi
if ! loops=$(printf '%s' "$edges" | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
  printf 'include circles in the core:\n%s\n' "$loops"
  status=1
fi
[ $status -eq 0 ] && echo "core includes run one way"
exit $status
