#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it: exactly the expected
# files under /usr, the runtime dependencies declared, the changelog's newest
# entry for the package's version, a valid desktop entry, and no error from
# lintian (its warnings are printed). Fails (exit 1) on any problem.
#
#   scripts/package.sh [build-dir]     (default build-package; PLIMO_JOBS: build jobs)
#
# The package is left in the build directory; its path is printed last.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-package}
[[ $build = /* ]] || build="$root/$build"

expected_files=(
  ./usr/bin/plimomp3
  ./usr/share/applications/plimomp3.desktop
  ./usr/share/icons/hicolor/32x32/apps/plimomp3.png
  ./usr/share/plimomp3/index.html
  ./usr/share/man/man1/plimomp3.1.gz
  ./usr/share/doc/plimomp3/copyright
  ./usr/share/doc/plimomp3/changelog.gz
)
expected_depends=(libqt6widgets6 libcurl4 fonts-nanum)

problems=0
problem() { printf 'package: %s\n' "$*" >&2; problems=$((problems + 1)); }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPLIMO_TOOLS=OFF -DPLIMO_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "${PLIMO_JOBS:-$(nproc)}"
rm -f "$build"/plimomp3_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/plimomp3_*.deb)
[ -f "${debs[0]}" ] || { problem "cpack made no .deb in $build"; exit 1; }
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$contents" | sort)
for f in "${expected_files[@]}"; do
  grep -qxF -- "$f" <<<"$files" || problem "missing from the package: $f"
done
while read -r f; do
  [ -z "$f" ] && continue
  printf '%s\n' "${expected_files[@]}" | grep -qxF -- "$f" || problem "not expected in the package: $f"
done <<<"$files"
grep -q '^-rwxr-xr-x .* \./usr/bin/plimomp3$' <<<"$contents" || problem "/usr/bin/plimomp3 is not executable"

version=$(dpkg-deb -f "$deb" Version)
changelog_version=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
  problem "packaging/changelog's newest entry is $changelog_version, the package is $version"

depends=$(dpkg-deb -f "$deb" Depends)
for d in "${expected_depends[@]}"; do
  grep -qE "(^|, )$d( |,|$)" <<<"$depends" || problem "Depends lacks $d: $depends"
done

# The files themselves: an executable, a valid desktop entry, a 32x32 image.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
file -b "$unpacked/usr/bin/plimomp3" | grep -q '^ELF .* executable' ||
  file -b "$unpacked/usr/bin/plimomp3" | grep -q '^ELF .* pie executable' ||
  problem "/usr/bin/plimomp3 is not an ELF executable"
desktop="$unpacked/usr/share/applications/plimomp3.desktop"
for key in 'Type=Application' 'Exec=plimomp3' 'Icon=plimomp3' 'Name=PlimoMP3' \
  "X-PlimoMP3-Version=$version"; do
  grep -qxF -- "$key" "$desktop" 2>/dev/null || problem "the desktop entry lacks $key"
done
desktop-file-validate "$desktop" || problem "desktop-file-validate rejects the desktop entry"
grep -qF "PlimoMP3 $version" "$unpacked/usr/share/plimomp3/index.html" ||
  problem "the home page does not name version $version"
zcat "$unpacked/usr/share/man/man1/plimomp3.1.gz" | grep -q '^\.TH PLIMOMP3 1' ||
  problem "the manual page is not a section 1 page"
file -b "$unpacked/usr/share/icons/hicolor/32x32/apps/plimomp3.png" | grep -q 'PNG image data, 32 x 32' ||
  problem "the icon is not a 32 x 32 PNG"

# Errors fail the package; warnings are shown, each with lintian's
# explanation, so that someone decides whether it stays.
lintian_out=$(lintian --info --tag-display-limit 0 "$deb" 2>&1) || true
errors=$(grep -c '^E: ' <<<"$lintian_out" || true)
[ "$errors" -eq 0 ] || problem "lintian reports $errors error(s)"

printf '%s\n' "$contents"
printf 'Package: %s %s (%s)\nDepends: %s\n' "$(dpkg-deb -f "$deb" Package)" \
  "$version" "$(dpkg-deb -f "$deb" Architecture)" "$depends"
printf 'lintian:\n%s\n' "${lintian_out:-(nothing to report)}"
[ "$problems" -eq 0 ] || { printf 'package: %d problem(s)\n' "$problems" >&2; exit 1; }
printf '%s\n' "$deb"
