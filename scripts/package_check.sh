#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian source package in debian/ and checks it as a user would receive it:
# - dpkg-buildpackage builds the source and the binary package from a copy of the tree in a
#   temporary folder (it writes its results beside the tree it builds);
# - lintian --pedantic finds no error and no warning in either;
# - the binary is hardened (fortified, full RELRO, bind-now, PIE) and stripped, and so are its
#   modules (each image library's encoder, and the filter graph with libavfilter, in the
#   private folder /usr/lib/<multiarch>/vgrid); the package holds exactly its files, and
#   depends on the package of every library the binary or a module loads;
# - apt-get installs it; vgrid from it writes every format, loading the encoders' modules and
#   the filter graph's (for an interlaced movie) from its own folder, and vgrid-library makes
#   sheets of a movie made here;
#   apt-get purge removes it and leaves none of its files.
# With BUILD_DIR (scripts/test.sh passes its own), the package that cpack makes from that
# build must hold the same files. Everything the check makes is removed at its end.
#
#   scripts/package_check.sh [BUILD_DIR]
#
# It installs and purges the package with apt-get, as root or through sudo; it refuses to run
# where a vgrid package is installed already.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
started=$(date +%s)
fail() {
  echo "package check: $*" >&2
  exit 1
}
for tool in dpkg-buildpackage dpkg-parsechangelog dh lintian apt-get dpkg-deb readelf objdump \
  ffmpeg parallel git; do
  command -v "$tool" >/dev/null || fail "$tool is missing (VGRID_TEST_DEPS=1 scripts/deps.sh installs it)"
done
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
installed() { dpkg-query -W -f='${Status}' vgrid 2>/dev/null | grep -q ' installed$'; }
installed && fail "a vgrid package is installed on this machine; the check installs and purges its own (sudo apt-get purge vgrid first)"

# One version, one maintainer and one copyright file: the project's version, the Maintainer of
# debian/control and doc/copyright, which the changelog and debian/copyright repeat.
version=$(dpkg-parsechangelog -S Version)
project_version=$(sed -n 's/^project(vgrid VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$version" = "$project_version" ] ||
  fail "debian/changelog is at $version, CMakeLists.txt at $project_version"
cmp -s doc/copyright debian/copyright || fail "debian/copyright and doc/copyright differ"
maintainer=$(sed -n 's/^Maintainer: *//p' debian/control)
[ "$(dpkg-parsechangelog -S Maintainer)" = "$maintainer" ] ||
  fail "debian/changelog is signed by '$(dpkg-parsechangelog -S Maintainer)', not the Maintainer '$maintainer'"

work=$(mktemp -d)
cleanup() {
  if installed; then "${sudo[@]}" apt-get purge -y -qq vgrid >/dev/null 2>&1 || true; fi
  rm -rf "$work"
  if [ -n "$build" ]; then rm -rf "$build"/vgrid_*.deb "$build/_CPack_Packages" "$build/cpack.log"; fi
}
trap cleanup EXIT
chmod 755 "$work"  # apt reads the package as its own user

# The tree as git knows it (tracked files, and new ones not ignored), without build folders.
src=$work/vgrid-$version
mkdir "$src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$src"
(cd "$src" && dpkg-buildpackage -us -uc -j"$(nproc)" >"$work/build.log" 2>&1) || {
  tail -n 40 "$work/build.log" >&2
  fail "dpkg-buildpackage failed (the last lines of its log above)"
}
built=$(date +%s)
changes=$work/vgrid_${version}_amd64.changes
deb=$work/vgrid_${version}_amd64.deb
for made in "$changes" "$deb" "$work/vgrid_$version.dsc"; do
  [ -f "$made" ] || fail "dpkg-buildpackage made no $made"
done

# lintian: every error and warning fails; the rest is shown. (debian/source/lintian-overrides
# sets aside a false finding, and says why.)
lintian --pedantic --fail-on error,warning "$changes" >"$work/lintian.log" 2>&1 || {
  cat "$work/lintian.log" >&2
  fail "lintian found errors or warnings (above)"
}
sed 's/^/lintian: /' "$work/lintian.log"

# The files: exactly these, owned by root, with Debian's modes.
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | sort -k3 >"$work/contents"
sort -k3 >"$work/expected" <<'EOF'
drwxr-xr-x root/root ./
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/vgrid
-rwxr-xr-x root/root ./usr/bin/vgrid-library
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/x86_64-linux-gnu/
drwxr-xr-x root/root ./usr/lib/x86_64-linux-gnu/vgrid/
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_avif.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_gif.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_jpeg.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_jxl.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_png.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_tiff.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/encoder_webp.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/filter_graph.so
-rw-r--r-- root/root ./usr/lib/x86_64-linux-gnu/vgrid/text_draw.so
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vgrid/
-rw-r--r-- root/root ./usr/share/doc/vgrid/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/vgrid/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/vgrid-library.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vgrid.1.gz
EOF
diff -u "$work/expected" "$work/contents" >&2 || fail "unexpected package contents (above)"
# No maintainer scripts or configuration files: removing the package leaves nothing.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "control md5sums " ] || fail "the control archive holds: $control"

# The binary and its modules: hardened by dpkg-buildflags and stripped by debhelper.
root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin/vgrid
modules=("$root"/usr/lib/x86_64-linux-gnu/vgrid/*.so)
# grep reads the whole listing (no -q): with pipefail, a grep that stopped at the first match
# could end the tool writing the listing with SIGPIPE, and the check with it.
readelf -h "$bin" | grep 'Type: *DYN' >/dev/null || fail "the binary is not position-independent"
objdump -T "$bin" | grep '__[a-z_]*_chk' >/dev/null || fail "the binary calls no fortified function"
for elf in "$bin" "${modules[@]}"; do
  readelf -lW "$elf" | grep GNU_RELRO >/dev/null || fail "$(basename "$elf") has no RELRO segment"
  readelf -dW "$elf" | grep -E 'BIND_NOW|FLAGS_1.* NOW' >/dev/null ||
    fail "$(basename "$elf") is not linked with -z now"
  objdump -h "$elf" | grep -Eq '\.(debug_info|symtab)' && fail "$(basename "$elf") is not stripped"
done
for page in vgrid vgrid-library; do
  zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH [A-Z-]* 1 .*\"vgrid $version\"" ||
    fail "the manual page of $page does not carry version $version"
done

# Dependencies: the package of every library the binary or a module asks for is a versioned
# dependency, and nothing else is (they come from dpkg-shlibdeps, not from a list kept by hand).
check_depends() {
  local package=$1 depends owner lib dep
  shift
  depends=$(dpkg-deb -f "$package" Depends)
  declare -A wanted=()
  for lib in $(objdump -p "$@" | awk '$1 == "NEEDED" {print $2}' | sort -u); do
    owner=$(dpkg -S "*/x86_64-linux-gnu/$lib" 2>/dev/null | grep -v -- "-dev:" | head -1 | cut -d: -f1)
    [ -n "$owner" ] || fail "no installed package holds $lib"
    wanted[$owner]=1
    echo "$depends" | tr ',' '\n' | awk -v p="$owner" '$1 == p && $2 == "(>="' | grep -q . ||
      fail "$lib ($owner) is not a versioned dependency of $(basename "$package"): $depends"
  done
  for dep in $(echo "$depends" | sed 's/ ([^)]*)//g; s/,/ /g'); do
    [ -n "${wanted[$dep]:-}" ] || fail "$dep is a dependency of $(basename "$package") but the binary loads none of its libraries"
  done
}
check_depends "$deb" "$bin" "${modules[@]}"
# Each module brings its own library: the encoders' image libraries and libavfilter are no
# dependency of the binary itself.
for lib in libavfilter libjpeg libpng libtiff libwebp libgif libimagequant libavif libjxl; do
  objdump -p "$bin" | awk '$1 == "NEEDED" {print $2}' | grep -q "^$lib\." &&
    fail "the binary itself loads $lib"
done

# The cpack package of BUILD_DIR holds the same files.
if [ -n "$build" ]; then
  command -v cpack >/dev/null || fail "cpack is missing"
  cmake --build "$build" -j "$(nproc)" --target vgrid manpage >/dev/null
  rm -f "$build"/vgrid_*.deb
  (cd "$build" && cpack -G DEB >cpack.log 2>&1) || {
    cat "$build/cpack.log" >&2
    fail "cpack failed"
  }
  cpack_deb=$build/vgrid_${version}_amd64.deb
  [ -f "$cpack_deb" ] || fail "cpack made no $cpack_deb"
  # (cpack lists no entry for the archive's root folder.)
  dpkg-deb -c "$cpack_deb" | awk '{print $1, $2, $6}' | sort -k3 >"$work/cpack-contents"
  grep -v ' \./$' "$work/contents" | diff -u - "$work/cpack-contents" >&2 ||
    fail "the cpack package holds other files than the source package (above)"
  dpkg-deb -x "$cpack_deb" "$work/cpack-root"
  check_depends "$cpack_deb" "$work/cpack-root/usr/bin/vgrid" \
    "$work/cpack-root"/usr/lib/x86_64-linux-gnu/vgrid/*.so
fi

# Installed with apt-get: both commands work from the PATH on a movie made here.
"${sudo[@]}" apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log" >&2
  fail "apt-get cannot install the package"
}
installed || fail "apt-get install left vgrid not installed"
dpkg -L vgrid | grep -v '^/\.$' | sort >"$work/installed-files"
lib=$work/library
mkdir -p "$lib/new *releases"
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=96x64:rate=10 \
  -frames:v 20 -c:v ffv1 "$lib/movie.mkv"
cp "$lib/movie.mkv" "$lib/new *releases/a*b.mkv"
# Only what the package installed is on the PATH; parallel keeps its settings in HOME.
run() { env -i PATH=/usr/bin:/bin HOME="$work" LC_ALL=C.UTF-8 "$@" >"$work/out" 2>&1; }
run vgrid -c=2 -r=2 "$lib/movie.mkv" "$work/sheet.jpg" || fail "vgrid failed: $(cat "$work/out")"
[ "$(head -c 2 "$work/sheet.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] || fail "vgrid wrote no JPEG"
before=$(stat -c '%s %Y' "$work/sheet.jpg")
run vgrid -c=2 -r=2 "$lib/movie.mkv" "$work/sheet.jpg" || fail "a second run did not end with 0"
[ "$(stat -c '%s %Y' "$work/sheet.jpg")" = "$before" ] || fail "the sheet was rewritten"
rc=0
run vgrid -x=1 "$lib/movie.mkv" || rc=$?
[ "$rc" -eq 2 ] || fail "a bad option ended with $rc, not 2"
# Every format, each through its module from the installed folder; the first 12 bytes of each
# file (in hexadecimal) say its format.
for format in 'bmp:424d*' 'gif:474946*' 'tiff:49492a00*' 'png:89504e47*' \
  'webp:52494646????????57454250' 'avif:????????6674797061766966' 'jxl:ff0a*'; do
  name=${format%%:*} magic=${format#*:}
  run env LD_DEBUG=files LD_DEBUG_OUTPUT="$work/loader-$name" \
    vgrid -c=2 -r=1 "-f:image/$name" "$lib/movie.mkv" "$work/sheet.$name" ||
    fail "no $name: $(cat "$work/out")"
  # shellcheck disable=SC2053 # the pattern is meant to match
  [[ $(head -c 12 "$work/sheet.$name" | od -An -tx1 | tr -d ' \n') == $magic ]] ||
    fail "vgrid wrote no $name"
  if [ "$name" != bmp ]; then
    grep -q "file=/usr/lib/x86_64-linux-gnu/vgrid/encoder_$name.so" "$work/loader-$name".* ||
      fail "vgrid did not load its $name encoder from /usr/lib/x86_64-linux-gnu/vgrid"
  fi
done
# An interlaced movie is deinterlaced through the filter graph's module, and only such a
# movie loads it.
grep -q filter_graph.so "$work"/loader-* && fail "a progressive movie loaded the filter graph"
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=96x64:rate=25 \
  -frames:v 10 -c:v mpeg2video -flags +ildct+ilme -top 1 "$lib/interlaced.mpg"
run env LD_DEBUG=files LD_DEBUG_OUTPUT="$work/loader-interlaced" \
  vgrid -c=2 -r=1 "$lib/interlaced.mpg" "$work/interlaced.jpg" ||
  fail "vgrid failed on an interlaced movie: $(cat "$work/out")"
grep -q "file=/usr/lib/x86_64-linux-gnu/vgrid/filter_graph.so" "$work"/loader-interlaced.* ||
  fail "vgrid did not load the filter graph from /usr/lib/x86_64-linux-gnu/vgrid"
rm "$lib/interlaced.mpg"
run vgrid-library "$lib" -c=2 -r=1 -f:p || fail "vgrid-library failed: $(cat "$work/out")"
for sheet in "$lib/movie.mkv.png" "$lib/new *releases/a*b.mkv.png"; do
  [ "$(head -c 4 "$sheet" | tail -c 3)" = PNG ] || fail "vgrid-library wrote no $sheet"
done

# Purged: nothing of it is left but the folders other packages share.
"${sudo[@]}" apt-get purge -y -qq vgrid >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log" >&2
  fail "apt-get cannot purge the package"
}
installed && fail "vgrid is still installed after the purge"
dpkg-query -W vgrid >/dev/null 2>&1 && fail "dpkg still knows vgrid after the purge"
while IFS= read -r path; do
  [ -e "$path" ] || continue
  [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
  fail "$path is left after the purge"
done <"$work/installed-files"

echo "package check: vgrid $version is sound ($(du -k "$deb" | cut -f1) KiB; depends on" \
  "$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | wc -l) packages; built in $((built - started)) s," \
  "checked in $(($(date +%s) - built)) s)"
