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
# The Python package goes where Debian's python3 looks under the prefix.
pydir=$(/usr/bin/python3 -c 'import sys; print("lib/python3.%d/dist-packages" % sys.version_info[1])')
for path in bin/tvqconverter share/man/man1/tvqconverter.1 "$pydir/tvq/__init__.py" \
            "$pydir/tvq/__main__.py"; do
  [ -f "$work/prefix/$path" ] || { echo "not installed: $path"; exit 1; }
done
ls "$work/prefix/$pydir"/tvq/_tvq.*.so >/dev/null || { echo "not installed: the extension _tvq"; exit 1; }
echo "cmake --install puts the binary, the man page and the Python package in place"

(cd "$work/build" && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$work"/build/tvqconverter_*.deb)
echo "package: $(basename "$deb")"

contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/tvqconverter ./usr/share/man/man1/tvqconverter.1 \
            ./usr/share/doc/tvqconverter/README.md ./usr/share/doc/tvqconverter/format.md \
            "./usr/$pydir/tvq/__init__.py"; do
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

# The package's module, from where Debian's python3 finds it under /usr.
records=$(PYTHONPATH="$work/root/usr/$pydir" /usr/bin/python3 -c \
  'import sys, tvq; print(len(tvq.read(sys.argv[1])), tvq.__file__)' examples/run1001.tvq)
[ "$records" = "4 $work/root/usr/$pydir/tvq/__init__.py" ] || { echo "module from the package: $records"; exit 1; }
echo "the package's Python module reads the example"
version=$(cd "$work" && PYTHONPATH="$work/root/usr/$pydir" /usr/bin/python3 -m tvq --version)
[ "$version" = "tvq $(dpkg-deb -f "$deb" Version)" ] || { echo "module's version: $version"; exit 1; }
echo "the module's version is the package's: $version"

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
