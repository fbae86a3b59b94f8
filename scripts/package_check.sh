#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package with cpack and checks it as a user would receive it: its name
# and fields, its files (and nothing else), no maintainer scripts or conffiles (so removing
# it leaves nothing), a dependency on the package of every library the binary loads, and a
# binary that runs from the unpacked package on a movie made here.
#
#   scripts/package_check.sh [BUILD_DIR]
#
# With a configured BUILD_DIR (scripts/test.sh passes its own) the package is made from that
# build; without one, the README's release build is made in build/package first.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/package}
fail() {
  echo "package check: $*" >&2
  exit 1
}
for tool in cpack dpkg-deb dpkg-shlibdeps objdump ffmpeg; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVGRID_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target vgrid manpage >/dev/null
version=$(sed -n 's/^project(vgrid VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
deb=$build/vgrid_${version}_amd64.deb
rm -f "$build"/vgrid_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || {
  cat "$build/cpack.log" >&2
  fail "cpack failed"
}
[ -f "$deb" ] || fail "cpack made no $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The control fields, and no maintainer scripts or conffiles.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vgrid ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = amd64 ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "no Maintainer or Description"
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "control md5sums " ] || fail "control archive holds: $control"

# The files: exactly these, owned by root, with Debian's modes.
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort -k3 >"$work/contents"
cat >"$work/expected" <<'EOF'
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/vgrid
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vgrid/
-rw-r--r-- root/root ./usr/share/doc/vgrid/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/vgrid.1.gz
EOF
sort -k3 -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/contents" >&2 || fail "unexpected package contents (above)"

root=$work/root
dpkg -x "$deb" "$root"
bin=$root/usr/bin/vgrid
objdump -h "$bin" | grep -q '\.debug_info' && fail "the binary is not stripped"
gzip -t "$root/usr/share/man/man1/vgrid.1.gz" || fail "the manual page is not gzipped"
zcat "$root/usr/share/man/man1/vgrid.1.gz" | head -1 | grep -q "^\.TH VGRID 1 .*\"vgrid $version\"" ||
  fail "the manual page does not carry version $version"
grep -q '^Files: \*' "$root/usr/share/doc/vgrid/copyright" || fail "copyright file is not DEP-5"

# Dependencies: the package of every library the binary asks for is a versioned dependency,
# and nothing else is (they come from dpkg-shlibdeps, not from a list kept by hand).
depends=$(field Depends)
declare -A wanted=()
for lib in $(objdump -p "$bin" | awk '$1 == "NEEDED" {print $2}'); do
  owner=$(dpkg -S "*/x86_64-linux-gnu/$lib" 2>/dev/null | grep -v -- "-dev:" | head -1 | cut -d: -f1)
  [ -n "$owner" ] || fail "no installed package holds $lib"
  wanted[$owner]=1
  echo "$depends" | tr ',' '\n' | awk -v p="$owner" '$1 == p && $2 == "(>="' | grep -q . ||
    fail "$lib ($owner) is not a versioned dependency: $depends"
done
for dep in $(echo "$depends" | sed 's/ ([^)]*)//g; s/,/ /g'); do
  [ -n "${wanted[$dep]:-}" ] || fail "$dep is a dependency but the binary loads none of its libraries"
done
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  # apt can resolve every dependency from this machine's sources (a simulation).
  apt-get install -s "$(realpath "$deb")" >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log" >&2
    fail "apt-get cannot install the package"
  }
fi

# The unpacked binary makes sheets, and refuses to overwrite them.
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=96x64:rate=10 \
  -frames:v 20 -c:v ffv1 "$work/movie.mkv"
run() { LC_ALL=C.UTF-8 "$bin" "$@" >"$work/out" 2>&1; }
run -c=2 -r=2 "$work/movie.mkv" || fail "vgrid from the package failed: $(cat "$work/out")"
[ "$(head -c 2 "$work/movie.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] || fail "no JPEG written"
before=$(stat -c '%s %Y' "$work/movie.jpg")
run -c=2 -r=2 "$work/movie.mkv" || fail "a second run did not end with 0"
[ "$(stat -c '%s %Y' "$work/movie.jpg")" = "$before" ] || fail "the sheet was rewritten"
run -f:image/avif "$work/movie.mkv" "$work/movie.avif" || fail "no AVIF: $(cat "$work/out")"
[ "$(head -c 12 "$work/movie.avif" | tail -c 8)" = ftypavif ] || fail "not an AVIF file"
rc=0
run -x=1 "$work/movie.mkv" || rc=$?
[ "$rc" -eq 2 ] || fail "a bad option ended with $rc, not 2"
echo "package check: $deb is sound ($(du -k "$deb" | cut -f1) KiB; depends on $(echo "$depends" | tr ',' '\n' | wc -l) packages)"
