#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file of a desktop
# application is there and that the desktop entry and AppStream metadata validate.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

id=example.marrowby.kestrel
failed=0
for f in bin/kestrel bin/kestrel-convert \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg \
         share/icons/hicolor/48x48/apps/$id.png share/icons/hicolor/128x128/apps/$id.png \
         share/icons/hicolor/256x256/apps/$id.png share/man/man1/kestrel-convert.1; do
    if [[ ! -s "$prefix/$f" ]]; then
        echo "missing from the installation: $f"
        failed=1
    fi
done
[[ -x "$prefix/bin/kestrel" && -x "$prefix/bin/kestrel-convert" ]] || { echo "binaries not executable"; failed=1; }

desktop-file-validate "$prefix/share/applications/$id.desktop" || failed=1
appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/$id.metainfo.xml" || failed=1
# The entry names what is installed.
grep -qx "Exec=kestrel %f" "$prefix/share/applications/$id.desktop" || { echo "Exec is not kestrel %f"; failed=1; }
# "Open with" lists kestrel for every kind of picture the Open dialog lists.
for type in bmp gif jpeg png x-portable-bitmap x-portable-graymap x-portable-pixmap tiff x-xbitmap x-xpixmap; do
    grep -q "^MimeType=.*image/$type;" "$prefix/share/applications/$id.desktop" || { echo "no image/$type"; failed=1; }
done
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop" || { echo "Icon does not match"; failed=1; }
"$prefix/bin/kestrel-convert" --version | grep -q '^kestrel-convert ' || failed=1
exit $failed
