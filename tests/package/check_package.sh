#!/usr/bin/env bash
# Builds the Debian package, checks what it holds, runs the binary extracted
# from it on the bundled example, and lints the man page.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S . -B "$work/build" -DTVQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null
for path in bin/tvqconverter share/man/man1/tvqconverter.1; do
  [ -f "$work/prefix/$path" ] || { echo "not installed: $path"; exit 1; }
done
echo "cmake --install puts the binary and the man page in place"

(cd "$work/build" && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$work"/build/tvqconverter_*.deb)
echo "package: $(basename "$deb")"

contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/tvqconverter ./usr/share/man/man1/tvqconverter.1 \
            ./usr/share/doc/tvqconverter/README.md ./usr/share/doc/tvqconverter/format.md; do
  if ! grep -q " $path\$" <<<"$contents"; then
    echo "missing from the package: $path"
    exit 1
  fi
done
[ "$(dpkg-deb -f "$deb" Package)" = tvqconverter ] || { echo "wrong package name"; exit 1; }

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/tvqconverter" -b2rb examples/run1001.tvq "$work/from-package.rb" >"$work/stdout"
printf '\n conversion is done!!\n\n' | cmp - "$work/stdout"
"$work/build/tvqconverter" -b2rb examples/run1001.tvq "$work/from-build.rb" >/dev/null
cmp "$work/from-package.rb" "$work/from-build.rb"
[ "$(wc -l <"$work/from-package.rb")" -eq $((1 + 3 * (1024 + 3))) ] || { echo "wrong dump length"; exit 1; }
echo "extracted binary converts the example"

warnings=$(groff -ww -z -man "$root/docs/tvqconverter.1" 2>&1)
if [ -n "$warnings" ]; then
  echo "man page warnings:"
  echo "$warnings"
  exit 1
fi
if command -v mandoc >/dev/null; then
  mandoc -T lint -W warning "$root/docs/tvqconverter.1"
fi
echo "man page lints clean"
