#!/usr/bin/env bash
# Checks what Brivane installs.
#   install_test.sh install BUILD WORK   cmake --install BUILD into the DESTDIR
#                                        WORK/root (prefix /usr) and check the tree
#   install_test.sh package BUILD WORK   make the Debian package of BUILD with
#                                        CPack in WORK, check its fields and
#                                        owners, unpack it and check the tree,
#                                        and run lintian on it (errors fail)
# The package check is skipped (status 77) without dpkg-deb, dpkg-shlibdeps
# or lintian.
set -uo pipefail
mode=$1 build=$2 work=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A PNG's width and height from its header.
png_size() {
  python3 -c 'import struct, sys; d = open(sys.argv[1], "rb").read(24); \
print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8] == b"\x89PNG\r\n\x1a\n" else "not a PNG")' "$1"
}

# check_tree ROOT MANPAGE: the files of an installed tree under ROOT/usr.
check_tree() {
  local usr=$1/usr man=$2
  local files=(
    bin/brivane
    share/applications/brivane.desktop
    share/icons/hicolor/scalable/apps/brivane.svg
    share/icons/hicolor/48x48/apps/brivane.png
    share/icons/hicolor/128x128/apps/brivane.png
    "share/man/man1/$man"
    share/xscreensaver/config/brivane.xml
    share/brivane/brivane-idle.desktop
  )
  local f
  for f in "${files[@]}"; do [[ -f "$usr/$f" ]] || fail "missing $f"; done
  [[ -x "$usr/bin/brivane" ]] || fail "bin/brivane is not executable"
  for size in 48 128; do
    f=$usr/share/icons/hicolor/${size}x${size}/apps/brivane.png
    [[ -f "$f" && $(png_size "$f") == "${size}x${size}" ]] || fail "$f is not ${size}x${size}"
  done
  local version
  version=$("$usr/bin/brivane" --version 2>&1) || fail "brivane --version failed: $version"
  [[ "$version" =~ ^Brivane\ [0-9]+\.[0-9]+ ]] || fail "brivane --version printed: $version"
  echo "installed binary: $version"
  if command -v desktop-file-validate >/dev/null; then
    for f in share/applications/brivane.desktop share/brivane/brivane-idle.desktop; do
      local out
      out=$(desktop-file-validate "$usr/$f" 2>&1) || fail "desktop-file-validate $f"
      [[ -z "$out" ]] || fail "desktop-file-validate $f: $out"
    done
  else
    echo "desktop-file-validate not installed: entries not validated"
  fi
  grep -qx 'Exec=brivane /c' "$usr/share/applications/brivane.desktop" || fail "the menu entry does not run brivane /c"
  grep -qx 'Exec=brivane --idle' "$usr/share/brivane/brivane-idle.desktop" || fail "the template does not run brivane --idle"
  # The manual page describes every option --help lists (as the tag of a
  # paragraph, the line after .TP), and renders without a warning (-ww: all
  # of groff's warnings).
  local page=$usr/share/man/man1/$man warnings option tags
  tags=$(zcat -f "$page" | awk 'previous == ".TP" { print } { previous = $0 }')
  for option in $("$usr/bin/brivane" --help | grep -oE '^  --[a-z-]+'); do
    grep -qF -- "${option//-/\\-}" <<<"$tags" || fail "the manual page does not describe $option"
  done
  if [[ -f "$page" ]] && command -v groff >/dev/null; then
    warnings=$(zcat -f "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
    [[ -z "$warnings" ]] || fail "groff warns on the manual page: $warnings"
    if command -v mandoc >/dev/null; then
      warnings=$(zcat -f "$page" | mandoc -Tlint 2>&1)
      [[ -z "$warnings" ]] || fail "mandoc -Tlint: $warnings"
    fi
  fi
}

rm -rf "$work" && mkdir -p "$work" || exit 1
case $mode in
  install)
    DESTDIR=$work/root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
      { cat "$work/install.log"; exit 1; }
    check_tree "$work/root" brivane.1
    ;;
  package)
    for tool in dpkg-deb dpkg-shlibdeps lintian; do
      command -v $tool >/dev/null || { echo "$tool not installed: package not checked"; exit 77; }
    done
    cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
    debs=("$work"/*.deb)
    deb=${debs[0]}
    [[ -f "$deb" ]] || { echo "FAIL: CPack made no .deb" >&2; exit 1; }
    echo "package: $deb"
    field() { dpkg-deb -f "$deb" "$1"; }
    [[ $(field Package) == brivane && $(field Section) == mail && $(field Priority) == optional ]] ||
      fail "package name, section or priority"
    [[ $(field Depends) == *libc6* && $(field Depends) == *libqt6* ]] || fail "Depends: $(field Depends)"
    [[ $(field Recommends) == ca-certificates ]] || fail "Recommends: $(field Recommends)"
    [[ $(field Suggests) == *xscreensaver-data* && $(field Suggests) == *xss-lock* ]] || fail "Suggests: $(field Suggests)"
    # Every entry owned by root, files 0644 and the program and folders 0755.
    bad=$(dpkg-deb -c "$deb" | awk '$2 != "root/root" ||
      ($1 !~ /^d/ && $1 != "-rw-r--r--" && $NF != "./usr/bin/brivane") ||
      ($1 ~ /^d/ && $1 != "drwxr-xr-x") || ($NF == "./usr/bin/brivane" && $1 != "-rwxr-xr-x")')
    [[ -z "$bad" ]] || fail "owners or modes: $bad"
    dpkg-deb -x "$deb" "$work/unpacked" || exit 1
    check_tree "$work/unpacked" brivane.1.gz
    for f in copyright changelog.gz; do
      [[ -f "$work/unpacked/usr/share/doc/brivane/$f" ]] || fail "missing share/doc/brivane/$f"
    done
    readelf -S "$work/unpacked/usr/bin/brivane" | grep -q '\.symtab' && fail "the program is not stripped"
    # lintian refuses to run as root without this; errors fail, warnings are listed.
    lintian --allow-root --tag-display-limit 0 --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
      fail "lintian reports errors"
    cat "$work/lintian.log"
    ;;
  *) echo "usage: $0 install|package BUILD WORK" >&2; exit 2 ;;
esac
((failures == 0)) || exit 1
echo "ok"
