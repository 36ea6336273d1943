#!/usr/bin/env bash
# Builds the Debian packages from this checkout and leaves them in
# out/packages/, then checks them with lintian (errors fail the build).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh

version=$(sed -n '1s/^tarvex (\([^)]*\)).*/\1/p' packaging/debian/changelog)
stage="$top/out/pkgbuild"
source="$stage/tarvex-$version"
rm -rf "$stage"
mkdir -p "$source" "$top/out/packages"

# The sources as they are in the checkout (committed or not, never what git
# ignores), with the Debian packaging where dpkg-buildpackage looks for it.
git ls-files -z --cached --others --exclude-standard |
  (cd "$top" && xargs -0 -I{} sh -c '[ -e "{}" ] && printf "%s\0" "{}" || true') |
  tar --null -T - -cf - | tar -xf - -C "$source"
cp -r packaging/debian "$source/debian"

(cd "$source" && dpkg-buildpackage -b -us -uc -j2 >"$stage/build.log" 2>&1) || {
  tail -40 "$stage/build.log"
  echo "package.sh: the package build failed; the whole log is $stage/build.log" >&2
  exit 1
}
rm -f "$top"/out/packages/*.deb
mv "$stage"/*.deb "$top/out/packages/"

echo "Packages in out/packages/:"
ls -1 out/packages/*.deb | sed 's/^/  /'
# lintian as an unprivileged check of the files themselves; its warnings are
# printed, an error fails.
lintian --fail-on error --info out/packages/*.deb
