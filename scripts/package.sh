#!/usr/bin/env bash
# Builds the Debian packages from this checkout and leaves them in
# out/packages/, then checks them with lintian (errors fail the build).
# Installs, when missing, only what the package build needs: the build
# dependencies that debian/control names, dpkg-buildpackage and lintian; the
# tools of the tests are scripts/setup.sh's business.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -q --no-install-recommends "$@"
}

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

tools=(dpkg-dev lintian)
missing=()
for package in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ] || ! (cd "$source" && dpkg-checkbuilddeps 2>/dev/null); then
  echo "Installing the build dependencies of debian/control${missing[*]:+ and ${missing[*]}}"
  $sudo apt-get update -q
  [ ${#missing[@]} -eq 0 ] || apt_get install "${missing[@]}"
  apt_get build-dep "$source"
fi

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
