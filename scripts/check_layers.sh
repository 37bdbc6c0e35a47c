#!/usr/bin/env bash
# Fails when an #include crosses the layers. Includes resolve from the source
# root ("platform/inet.h"), so the compiler lets any folder include any other;
# this check is what keeps the folder tree honest. docs/architecture.md draws
# the same table.
#
#   scripts/check_layers.sh [SOURCE_ROOT]     (default: this checkout)
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Each row: a folder, then what it may include besides its own headers: whole
# folders, or single headers where only one of a folder's headers is meant.
# Rows run from the top layer down; nothing points upwards or sideways.
allowed='
app       ui platform
ui        download search text platform
download  text platform
search    text platform
text      platform/error.h
platform
'
# These drive, serve or measure the layers, so they may include any of them.
unchecked='tests tools bench'

sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h'
    else
        find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||'
    fi
}

# Only includes whose first component is a folder of this tree are ours;
# <QtCore/QString> and "form1.moc" are not.
folders=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.*' -printf '%f ')

mapfile -t files < <(sources | sort)
[ "${#files[@]}" -gt 0 ] || { echo "check_layers: no sources under $root" >&2; exit 1; }

grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+/' "${files[@]}" |
awk -v allowed="$allowed" -v unchecked="$unchecked" -v folders="$folders" '
BEGIN {
    rows = split(allowed, line, "\n")
    for (i = 1; i <= rows; i++) {
        n = split(line[i], word, " ")
        if (n == 0) continue
        hasRow[word[1]] = 1
        may[word[1]] = " "
        for (j = 2; j <= n; j++) may[word[1]] = may[word[1]] word[j] " "
    }
    n = split(unchecked, word, " ")
    for (i = 1; i <= n; i++) skip[word[i]] = 1
    n = split(folders, word, " ")
    for (i = 1; i <= n; i++) ours[word[i]] = 1
}
{
    first = index($0, ":"); rest = substr($0, first + 1)
    file = substr($0, 1, first - 1); lineNo = substr(rest, 1, index(rest, ":") - 1)
    match(rest, /["<][^">]+[">]/)
    header = substr(rest, RSTART + 1, RLENGTH - 2)
    from = substr(file, 1, index(file, "/") - 1)
    to = substr(header, 1, index(header, "/") - 1)
    if (from == "" || skip[from] || !ours[to] || to == from) next
    checked++
    if (!hasRow[from]) {
        printf "%s:%s: includes \"%s\", but folder %s/ has no row in the layer table\n", file, lineNo, header, from
        broken++
    } else if (index(may[from], " " to " ") == 0 && index(may[from], " " header " ") == 0) {
        list = may[from] == " " ? "nothing of ours" : substr(may[from], 2, length(may[from]) - 2)
        printf "%s:%s: includes \"%s\": %s -> %s is not an allowed edge (%s/ may include: %s)\n", \
               file, lineNo, header, from, to, from, list
        broken++
    }
}
END {
    printf "layers: %d includes across folders, %d breaking the table\n", checked, broken
    exit broken > 0
}'
