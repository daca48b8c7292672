#!/bin/sh
# Fetches Debian's source package PACKAGE (highway, googletest) into DEST
# (the build folder's), through a deb-src list of its own for the Debian
# archive this machine installs from: neither the system's apt
# configuration nor root is needed. DEST/DEBIAN_SOURCE names the version.
#
#   fetch_source.sh PACKAGE DEST
set -eu
package=$1
dest=$2
work=$dest.apt
rm -rf "$dest" "$work"
mkdir -p "$work/lists/partial"

# deb-src entries for the Debian archive entries of the system's lists
# (deb822 .sources files and one-line sources.list).
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /Types:[^\n]*deb/ && /URIs:[^\n]*debian/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
done > "$work/src.sources"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' "$f"
done > "$work/src.list"
[ -s "$work/src.sources" ] || [ -s "$work/src.list" ] || {
  echo "fetch_source.sh: no Debian archive in /etc/apt to take sources from" >&2; exit 1; }

mkdir -p "$work/parts"
cp "$work/src.sources" "$work/parts/src.sources"
cp "$work/src.list" "$work/parts/src.list"
apt_opts="-q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=$work/parts \
  -o Dir::State::Lists=$work/lists -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
  -o Debug::NoLocking=1 -o APT::Sandbox::User=root"
[ "$(id -u)" -eq 0 ] || apt_opts="$apt_opts -o APT::Sandbox::User=$(id -un)"
# shellcheck disable=SC2086
apt-get $apt_opts update > "$work/update.log" 2>&1 || { cat "$work/update.log" >&2; exit 1; }
# shellcheck disable=SC2086
(cd "$work" && apt-get $apt_opts source "$package") > "$work/source.log" 2>&1 \
  || { cat "$work/source.log" >&2; exit 1; }
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
[ -n "$src" ] || {
  echo "fetch_source.sh: apt-get source $package unpacked nothing" >&2; exit 1; }
mv "$src" "$dest"
echo "$(basename "$(ls "$work/$package"_*.dsc)" .dsc)" > "$dest/DEBIAN_SOURCE"
rm -rf "$work"
