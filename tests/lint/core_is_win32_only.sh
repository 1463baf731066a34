#!/usr/bin/env bash
# The core speaks Win32 only: no POSIX header, no host path, no wchar_t may enter it.
set -u
core="$1/src/Credentials"
bad=$(grep -rnE '#include[[:space:]]*<(unistd|fcntl|dlfcn|pthread|dirent|termios|sys/[a-z_]+|linux/[a-z_]+|openssl/[a-z_]+|zip)\.h>|\bwchar_t\b|L"[^"]*"|"/(tmp|var|home|etc|usr)/' "$core" || true)
if [ -n "$bad" ]; then
  echo "POSIX or host-specific code in the core:"
  echo "$bad"
  exit 1
fi
echo "core is Win32-only"
