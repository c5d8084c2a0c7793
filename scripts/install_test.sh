#!/usr/bin/env bash
# Checks the installation from an existing build directory (default build/default):
# `cmake --install` into a staging folder, the installed binary, desktop file,
# man page, unit and completions; then the Debian package: built and listed,
# and when run as root installed with dpkg, run, and removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

DESTDIR="$stage/root" cmake --install "$build" --prefix /usr/local >/dev/null
prefix="$stage/root/usr/local"
for f in bin/quotadial share/quotadial/quotadial-claude-statusline-bridge.py share/applications/quotadial.desktop \
         share/icons/hicolor/scalable/apps/quotadial.svg lib/systemd/user/quotadial.service share/man/man1/quotadial.1 \
         share/bash-completion/completions/quotadial share/zsh/site-functions/_quotadial \
         share/fish/vendor_completions.d/quotadial.fish; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -x "$prefix/share/quotadial/quotadial-claude-statusline-bridge.py" ] || fail "the bridge is not executable"

# The installed binary, with its own data folder and no display.
run() { env -u DISPLAY -u WAYLAND_DISPLAY HOME="$stage/home" XDG_DATA_HOME="$stage/data" "$@"; }
run "$prefix/bin/quotadial" --version
run "$prefix/bin/quotadial" --status --demo >/dev/null
bundle="$(run "$prefix/bin/quotadial" --bundletest)"
echo "$bundle"
case "$bundle" in *"$prefix/share/quotadial/"*) ;; *) fail "--bundletest did not find the installed bridge" ;; esac

desktop-file-validate "$prefix/share/applications/quotadial.desktop"
warnings="$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/quotadial.1" 2>&1 >/dev/null)"
[ -z "$warnings" ] || fail "man page: $warnings"
rendered="$(MANWIDTH=80 man -l "$prefix/share/man/man1/quotadial.1")"
grep -q "EXIT STATUS" <<<"$rendered" || fail "man page does not render"
grep -qx "ExecStart=/usr/local/bin/quotadial --headless" "$prefix/lib/systemd/user/quotadial.service" \
  || fail "the unit does not start the installed binary"
bash -n "$prefix/share/bash-completion/completions/quotadial"
if command -v zsh >/dev/null; then zsh -n "$prefix/share/zsh/site-functions/_quotadial"; fi
if command -v fish >/dev/null; then fish -n "$prefix/share/fish/vendor_completions.d/quotadial.fish"; fi

# The Debian package, its dependencies taken from the linked libraries.
(cd "$build" && cpack -G DEB -B "$stage/deb" >/dev/null)
deb="$(ls "$stage"/deb/quotadial_*.deb)"
dpkg-deb --info "$deb"
contents="$(dpkg-deb --contents "$deb")"
echo "$contents"
grep -q "libc6" <<<"$(dpkg-deb --field "$deb" Depends)" || fail "the package declares no library dependencies"
grep -q "\./usr/lib/systemd/user/quotadial.service$" <<<"$contents" || fail "the package has no unit"
unit="$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/user/quotadial.service)"
grep -qx "ExecStart=/usr/bin/quotadial --headless" <<<"$unit" || fail "the packaged unit does not start /usr/bin/quotadial"

if [ "$(id -u)" -eq 0 ]; then
  if dpkg-query -W -f='${Status}' quotadial 2>/dev/null | grep -q "install ok installed"; then
    fail "a quotadial package is installed already; not touching it"
  fi
  dpkg -i "$deb"
  /usr/bin/quotadial --version
  dpkg -r quotadial
  [ ! -e /usr/bin/quotadial ] || fail "dpkg -r left /usr/bin/quotadial behind"
else
  echo "install test: not root, so the package was not installed with dpkg"
fi
echo "install test: passed"
