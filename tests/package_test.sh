#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package as packaging/build-deb.sh does (the program only, hardened,
# reproducible) and checks what a user and a Debian maintainer would get from it: the
# files, the control fields, a valid menu entry and metadata, the manual page, the
# hardening, the same bytes from a second packaging, lintian's verdict (when lintian is
# installed), and a program that starts.
#
# usage: package_test.sh <build dir> <project version> [cpack command]
# The build dir is not used: the package is built afresh in a private folder.
# Exits 77 (skipped) when dpkg-deb is not available.
set -uo pipefail

build=${1:?build dir}
version=${2:?project version}
cpack=${3:-cpack}

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb not found"
    exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- build -----------------------------------------------------------------
# In a private folder, so parallel runs and the build tree do not see each other's files.
here=$(cd "$(dirname "$0")" && pwd)
# Time stamps from the last commit, for both packagings below.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
if ! "$here/../packaging/build-deb.sh" "$tmp/build" >"$tmp/build.log" 2>&1; then
    tail -n 30 "$tmp/build.log"
    echo "FAIL: packaging/build-deb.sh did not build the package"
    exit 1
fi
arch=$(dpkg --print-architecture)
deb="$tmp/build/lanchat_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
    ls -l "$tmp/build"
    echo "FAIL: expected $(basename "$deb")"
    exit 1
fi
ok "built $(basename "$deb")"
if (cd "$tmp/build" && "$cpack" -G DEB -B "$tmp/again" >/dev/null 2>&1) \
    && cmp -s "$deb" "$tmp/again/$(basename "$deb")"; then
    ok "packaged twice, the same bytes ($(sha256sum "$deb" | cut -c1-16)…)"
else
    fail "a second packaging gives other bytes"
fi

# --- contents --------------------------------------------------------------
dpkg-deb -c "$deb" >"$tmp/contents"
has_file() { # path, mode prefix
    grep -Eq "^$2[^ ]* +root/root +[0-9]+ .* \./$1\$" "$tmp/contents"
}
has_file usr/bin/lanchat '-rwxr-xr-x' && ok "binary" || fail "usr/bin/lanchat missing or not executable"
app=localhost.lanchat.lanchat
for f in usr/share/applications/$app.desktop usr/share/metainfo/$app.metainfo.xml \
         usr/share/icons/hicolor/32x32/apps/lanchat.png \
         usr/share/icons/hicolor/scalable/apps/lanchat.svg \
         usr/share/man/man1/lanchat.1.gz usr/share/doc/lanchat/copyright usr/share/doc/lanchat/changelog.gz; do
    has_file "$f" '-rw-r--r--' && ok "$f" || fail "$f missing or wrong mode"
done
# Nothing outside /usr, and nothing from the build tree.
if grep -Ev ' \./$| \./usr/' "$tmp/contents"; then fail "files outside /usr"; fi

# --- control fields --------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = lanchat ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long text"
depends=$(field Depends)
# Each library the binary links against must come from shlibdeps.
depnames=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libc6 libstdc++6; do
    echo "$depnames" | grep -Fxq "$p" || fail "Depends lacks $p: $depends"
done
# A Japanese font, the smaller ones allowed.
echo "$depends" | grep -q 'fonts-noto-cjk | fonts-japanese-gothic' || fail "Depends lacks the font alternatives: $depends"
field Recommends | grep -q qt6-translations-l10n || fail "Recommends lacks qt6-translations-l10n"
ok "control fields"

# --- the extracted files ---------------------------------------------------
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
desktop="$root/usr/share/applications/$app.desktop"

if command -v desktop-file-validate >/dev/null; then
    if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then
        ok "desktop-file-validate"
    else
        fail "desktop-file-validate: $out"
    fi
else
    fail "desktop-file-validate not found (desktop-file-utils)"
fi

# The menu entry has to find the program and the icon it names.
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ -x "$root/usr/bin/$(entry Exec | cut -d' ' -f1)" ] || fail "Exec=$(entry Exec) is not the installed binary"
icon=$(entry Icon)
[ -f "$root/usr/share/icons/hicolor/32x32/apps/$icon.png" ] || fail "Icon=$icon has no 32x32 PNG"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon has no scalable SVG"
[ "$(entry Name)" = "LAN Chat" ] || fail "Name=$(entry Name)"
[ -n "$(entry 'Name\[ja\]')" ] || fail "no Name[ja]"
[ -n "$(entry 'Comment\[ja\]')" ] || fail "no Comment[ja]"
entry Categories | grep -q 'Network;Chat;' || fail "Categories=$(entry Categories)"

if command -v file >/dev/null; then
    file "$root/usr/share/icons/hicolor/32x32/apps/lanchat.png" | grep -q 'PNG image data, 32 x 32' \
        || fail "32x32 icon: $(file -b "$root/usr/share/icons/hicolor/32x32/apps/lanchat.png")"
    file "$root/usr/share/icons/hicolor/scalable/apps/lanchat.svg" | grep -q 'SVG' \
        || fail "scalable icon: $(file -b "$root/usr/share/icons/hicolor/scalable/apps/lanchat.svg")"
fi

# A build-tree RPATH would make the package use the build's libraries.
if command -v readelf >/dev/null && readelf -d "$root/usr/bin/lanchat" | grep -Eq 'R(UN)?PATH'; then
    fail "binary carries an RPATH: $(readelf -d "$root/usr/bin/lanchat" | grep -E 'R(UN)?PATH')"
fi

# Debian's hardening: a position-independent binary with full RELRO, bound at load
# time, and the stack protector.
bin="$root/usr/bin/lanchat"
if command -v readelf >/dev/null; then
    elf=$(readelf -W -h -l -d --dyn-syms "$bin")
    missing=""
    grep -q 'Type: *DYN' <<<"$elf" || missing+=" PIE"
    grep -q GNU_RELRO <<<"$elf" || missing+=" RELRO"
    grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$elf" || missing+=" BIND_NOW"
    grep -q __stack_chk_fail <<<"$elf" || missing+=" stack-protector"
    [ -z "$missing" ] && ok "hardened (PIE, full RELRO, BIND_NOW, stack protector)" || fail "not hardened:$missing"
fi

gzip -t "$root/usr/share/man/man1/lanchat.1.gz" "$root/usr/share/doc/lanchat/changelog.gz" || fail "not gzip"
if command -v man >/dev/null; then
    if out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/lanchat.1.gz" 2>&1 >/dev/null) && [ -z "$out" ]; then
        ok "man -l lanchat.1.gz"
    else
        fail "man page: $out"
    fi
fi
if command -v appstreamcli >/dev/null; then
    out=$(appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" 2>&1) \
        && ok "appstreamcli validate" || fail "appstreamcli validate: $out"
fi

# Without a graphical session the program says so in one line, with status 1.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" --version 2>&1)
status=$?
[ $status -eq 1 ] && [ "$(echo "$out" | wc -l)" -eq 1 ] && echo "$out" | grep -q 'graphical session' \
    && ok "no display: one line, status 1" || fail "no display: status $status: $out"
# So too when the display names a server that cannot be reached, which Qt finds only as it
# starts (nothing listens on 127.0.0.1:6099).
out=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=127.0.0.1:99 "$bin" --version 2>&1)
status=$?
[ $status -eq 1 ] && [ "$(echo "$out" | wc -l)" -eq 1 ] && echo "$out" | grep -q 'graphical session' \
    && ok "unreachable display: one line, status 1" || fail "unreachable display: status $status: $out"

# lintian as a Debian maintainer runs it: no error and no warning. The placeholder
# maintainer address is allowed only when no maintainer was given.
if command -v lintian >/dev/null; then
    lintian --info --display-info --pedantic "$deb" >"$tmp/lintian.log" 2>&1
    allowed='^$'
    if [ -z "${LANCHAT_MAINTAINER:-}" ]; then
        allowed='bogus-mail-host'
        grep -q bogus-mail-host "$tmp/lintian.log" && echo "note: LANCHAT_MAINTAINER not set, the placeholder maintainer is allowed"
    fi
    if grep -E '^[EW]: ' "$tmp/lintian.log" | grep -Ev "$allowed" >"$tmp/lintian.bad"; then
        fail "lintian: $(cat "$tmp/lintian.bad")"
    else
        ok "lintian: no error or warning ($(grep -c '^[IP]: ' "$tmp/lintian.log") info and pedantic tags)"
    fi
else
    echo "note: lintian not installed, the package was not checked with it"
fi

# --- the extracted program starts ------------------------------------------
# It opens the connection dialog and waits for the user; still running after
# two seconds means it got that far without failing.
QT_QPA_PLATFORM=offscreen "$root/usr/bin/lanchat" >"$tmp/run.log" 2>&1 &
pid=$!
pids+=("$pid")
sleep 2
if kill -0 "$pid" 2>/dev/null; then
    ok "extracted binary is up offscreen"
else
    wait "$pid"
    fail "extracted binary ended with status $?: $(cat "$tmp/run.log")"
fi
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

# On an X server the dialog can be seen: a mapped top-level window of class
# "lanchat" that carries the 32x32 icon.
if command -v Xvfb >/dev/null && command -v xwininfo >/dev/null && command -v xprop >/dev/null; then
    exec 3>"$tmp/display"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
    pids+=("$!")
    exec 3>&-
    for _ in $(seq 50); do [ -s "$tmp/display" ] && break; sleep 0.1; done
    display=":$(head -n1 "$tmp/display")"
    if [ "$display" = ":" ]; then
        fail "Xvfb did not start: $(cat "$tmp/xvfb.log")"
    else
        DISPLAY=$display QT_QPA_PLATFORM=xcb "$root/usr/bin/lanchat" >"$tmp/runx.log" 2>&1 &
        pid=$!
        pids+=("$pid")
        win=""
        for _ in $(seq 50); do
            win=$(DISPLAY=$display xwininfo -root -children 2>/dev/null |
                  awk '/\("lanchat" "lanchat"\)/ {print $1; exit}')
            [ -n "$win" ] && DISPLAY=$display xwininfo -id "$win" | grep -q 'IsViewable' && break
            win=""
            sleep 0.1
        done
        if [ -z "$win" ]; then
            fail "no lanchat window on $display: $(cat "$tmp/runx.log")"
        elif DISPLAY=$display xprop -id "$win" _NET_WM_ICON | grep -q 'Icon (32 x 32)'; then
            ok "dialog shown on X with its 32x32 icon"
        else
            fail "lanchat window has no 32x32 icon"
        fi
    fi
else
    echo "note: Xvfb or x11-utils not installed, dialog not checked on X"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all package checks passed"
