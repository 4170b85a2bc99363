#!/usr/bin/env bash
# Builds the Debian package from a finished build folder into a temporary folder and checks it:
# the files an installation needs, the version against the changelog, the dependencies found by
# dpkg-shlibdeps, the maintainer scripts, the man page, the systemd unit (systemd-analyze
# verify) and the whole package (lintian), the last two only where those tools are installed.
#
# Usage: packaging/check-package.sh BUILD_DIR [CPACK]
# Exit 0: all good; 1: a check failed; 77: a tool needed to build the package is missing.
set -euo pipefail

build=$(cd "${1:?usage: check-package.sh BUILD_DIR [CPACK]}" && pwd)
cpack=${2:-cpack}

skip() {
    echo "SKIP: $*"
    exit 77
}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

command -v "$cpack" >/dev/null || skip "$cpack not found"
command -v dpkg-deb >/dev/null || skip "dpkg-deb not found: not a Debian system"
# CPack needs both for its dependency list (CPACK_DEBIAN_PACKAGE_SHLIBDEPS).
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps not found (package dpkg-dev)"
command -v file >/dev/null || skip "file not found (package file)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kormlink-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

if ! "$cpack" -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
debs=("$tmp"/out/*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || { echo "FAIL: cpack made no single .deb"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$tmp/control"
field() { dpkg-deb -f "$deb" "$1"; }

# What an installation needs, where the unit, the postinst and the man page expect it.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/files"
for f in /usr/bin/kormlink /usr/bin/rptsim /usr/bin/monsim /usr/lib/kormlink/klbench \
    /usr/lib/kormlink/klsoak /usr/lib/kormlink/klabuse \
    /usr/share/kormlink/Kormlink.ini /usr/share/kormlink/repeater-config.hex \
    /lib/systemd/system/kormlink.service /usr/share/man/man8/kormlink.8.gz \
    /usr/share/man/man1/rptsim.1.gz /usr/share/man/man1/monsim.1.gz \
    /usr/share/doc/kormlink/copyright /usr/share/doc/kormlink/changelog.Debian.gz \
    /usr/share/lintian/overrides/kormlink; do
    grep -qxF "$f" "$tmp/files" || fail "$f is not in the package"
done
# The tools that load or attack a server stay off a production machine's command path.
for f in klbench klsoak klabuse; do
    [[ ! -e $root/usr/bin/$f ]] || fail "/usr/bin/$f: the load tools belong in /usr/lib/kormlink"
done
for f in "$root"/usr/bin/* "$root"/usr/lib/kormlink/*; do
    [[ -x $f ]] || fail "${f#"$root"} is not executable"
    file -b "$f" | grep -q ', stripped' || fail "${f#"$root"} is not stripped"
done

# One version everywhere: the program's, the package's and the changelog's latest entry.
program_version=$("$root/usr/bin/kormlink" --version) || fail "the packaged kormlink does not run"
version=$(field Version)
changelog_version=$(gzip -dc "$root/usr/share/doc/kormlink/changelog.Debian.gz" |
    sed -n '1s/^kormlink (\([^)]*\)).*/\1/p')
[[ $version == "$program_version"-* ]] ||
    fail "package version $version is not the program's $program_version with a revision"
[[ $changelog_version == "$version" ]] ||
    fail "packaging/changelog starts with $changelog_version, the package is $version: add an entry"
arch=$(field Architecture)
[[ $arch == "$(dpkg --print-architecture)" ]] || fail "Architecture $arch is not dpkg's"

depends=$(field Depends)
echo "Depends: $depends"
for d in adduser libqt6 libstdc++6 libc6; do
    [[ $depends == *"$d"* ]] || fail "Depends names no $d"
done

for s in postinst prerm postrm; do
    [[ -x $tmp/control/$s ]] || { fail "no executable $s"; continue; }
    sh -n "$tmp/control/$s" || fail "$s: shell syntax error"
done

# The postinst as root against a data folder whose owner has planted links: nothing outside the
# folder may change. It runs into a root of its own (DPKG_ROOT) with the user commands stubbed:
# the service account is played by nobody.
if [[ $(id -u) == 0 ]] && command -v runuser >/dev/null && id nobody >/dev/null 2>&1; then
    chmod 0755 "$tmp"
    fake=$tmp/fakeroot stubs=$tmp/stubs
    mkdir -p "$fake/var/lib/kormlink" "$fake/usr/share/kormlink" "$fake/outside" "$stubs"
    cp "$root/usr/share/kormlink/Kormlink.ini" "$fake/usr/share/kormlink/"
    echo keep >"$fake/outside/victim"
    chmod 0755 "$fake/outside" && chmod 0644 "$fake/outside/victim"
    ln -s "$fake/outside" "$fake/var/lib/kormlink/Kormlink"
    ln -s "$fake/outside/victim" "$fake/var/lib/kormlink/Kormlink.ini.dpkg-new"
    for cmd in adduser systemctl deb-systemd-helper deb-systemd-invoke; do
        printf '#!/bin/sh\nexit 0\n' >"$stubs/$cmd"
    done
    printf '#!/bin/sh\necho "$2:x:1:1::/:/bin/sh"\n' >"$stubs/getent"
    # postinst's only chown is "chown kormlink:kormlink FOLDER".
    printf '#!/bin/sh\nexec /bin/chown nobody:nogroup "$2"\n' >"$stubs/chown"
    printf '#!/bin/sh\nshift 2\nexec %s -u nobody "$@"\n' "$(command -v runuser)" >"$stubs/runuser"
    chmod +x "$stubs"/*
    if ! PATH=$stubs:$PATH DPKG_ROOT=$fake sh "$tmp/control/postinst" configure >"$tmp/postinst.log" 2>&1; then
        fail "postinst configure failed: $(cat "$tmp/postinst.log")"
    fi
    [[ $(cat "$fake/outside/victim") == keep && $(stat -c '%U %a' "$fake/outside") == "root 755" &&
        $(stat -c '%U %a' "$fake/outside/victim") == "root 644" ]] ||
        fail "postinst changed something outside the data folder through a planted link"
    rm "$fake/var/lib/kormlink/Kormlink" "$fake/var/lib/kormlink/Kormlink.ini.dpkg-new"
    PATH=$stubs:$PATH DPKG_ROOT=$fake sh "$tmp/control/postinst" configure >"$tmp/postinst.log" 2>&1 ||
        fail "postinst configure failed: $(cat "$tmp/postinst.log")"
    [[ -d $fake/var/lib/kormlink/Kormlink_c && $(stat -c %U "$fake/var/lib/kormlink/Kormlink.ini") == nobody ]] ||
        fail "postinst made no log folders or Kormlink.ini of the service account"
    echo "postinst: follows no link in the data folder"
else
    echo "not root: the postinst is not tried against planted links"
fi

if command -v groff >/dev/null; then
    for page in "$root"/usr/share/man/man*/*.gz; do
        warnings=$(gzip -dc "$page" | groff -man -Tutf8 -ww -z 2>&1)
        [[ -z $warnings ]] || fail "man page $(basename "$page"): $warnings"
    done
fi

# systemd-analyze verify checks that ExecStart names an executable and that the man page in
# Documentation= exists: it checks a copy of the unit whose ExecStart points into the unpacked
# package, with MANPATH on the package's man pages. It reports bad keys and values as warnings
# with exit code 0, so any output fails.
if command -v systemd-analyze >/dev/null; then
    mkdir "$tmp/unit"
    unit=$tmp/unit/kormlink.service
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
        "$root/lib/systemd/system/kormlink.service" >"$unit"
    if verify=$(MANPATH=$root/usr/share/man systemd-analyze verify "$unit" 2>&1) &&
        [[ -z $verify ]]; then
        echo "systemd-analyze verify: no complaints"
    else
        fail "systemd-analyze verify: $verify"
    fi
    # The sandbox of the unit: an exposure of at most 2.0 on systemd's scale.
    exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [[ -n $exposure ]] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
        echo "systemd-analyze security: exposure $exposure"
    else
        fail "systemd-analyze security: exposure ${exposure:-unknown}, more than 2.0"
    fi
else
    echo "systemd-analyze not installed: the unit is not verified"
fi

if command -v lintian >/dev/null; then
    # Errors and warnings fail; what the package accepts is in packaging/lintian-overrides, each
    # with its reason.
    if lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1; then
        echo "lintian: no errors or warnings"
    else
        fail "lintian found errors or warnings"
    fi
    grep -v 'running with root privileges' "$tmp/lintian.log" || true
else
    echo "lintian not installed: the package is not linted"
fi

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package checks passed"
