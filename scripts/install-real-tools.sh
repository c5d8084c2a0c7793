#!/usr/bin/env bash
# Installs the real programs Quotadial talks to (the Codex CLI, Claude Code) and the
# reference counters (ccusage, @ccusage/codex) from npm into a cache folder outside
# the repository, for the tests labelled "real". A failure is not fatal: the tests
# that need a missing program skip and say so.
#   bash scripts/install-real-tools.sh
# The folder is $QUOTADIAL_REAL_TOOLS, else ${XDG_CACHE_HOME:-$HOME/.cache}/quotadial/npm;
# the programs land in its node_modules/.bin and their versions in versions.txt.
# The versions are pinned to those that made tests/fixtures/real/ (QUOTADIAL_REAL_TOOLS_LATEST=1
# takes the newest instead). ccusage stays at 20.0.24: the registry has no Linux native
# package for 20.0.26, without which its command refuses to run.
set -uo pipefail

PREFIX="${QUOTADIAL_REAL_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/quotadial/npm}"
PACKAGES=(@openai/codex@0.171.0 @anthropic-ai/claude-code@2.1.197 ccusage@20.0.24 @ccusage/codex@18.0.11)
declare -A COMMAND=([@openai/codex]=codex [@anthropic-ai/claude-code]=claude [ccusage]=ccusage [@ccusage/codex]=ccusage-codex)

mkdir -p "$PREFIX"
if ! command -v npm >/dev/null 2>&1 || ! command -v node >/dev/null 2>&1; then
  echo "install-real-tools: node or npm is missing; the real-program tests will skip" >&2
  exit 0
fi

: > "$PREFIX/versions.txt"
for package in "${PACKAGES[@]}"; do
  name="${package%@*}"
  [ "${QUOTADIAL_REAL_TOOLS_LATEST:-0}" = 1 ] && package="$name@latest"
  # Each package on its own, so one that cannot be installed does not take the others along.
  if ! timeout 600 npm install --prefix "$PREFIX" --no-audit --no-fund --loglevel=error "$package" >&2; then
    echo "install-real-tools: could not install $package; the tests that need it will skip" >&2
    continue
  fi
  # A program that cannot even print its version (too old a node, a missing native
  # part) is taken out again, so its tests skip rather than fail.
  bin="$PREFIX/node_modules/.bin/${COMMAND[$name]}"
  if ! timeout 60 "$bin" --version </dev/null >/dev/null 2>&1; then
    echo "install-real-tools: $package does not run here ($(node --version) ); its tests will skip" >&2
    npm uninstall --prefix "$PREFIX" --loglevel=error "$name" >&2 || rm -f "$bin"
    continue
  fi
  version=$(node -p "require('$PREFIX/node_modules/$name/package.json').version" 2>/dev/null)
  echo "$name $version" >> "$PREFIX/versions.txt"
done
echo "install-real-tools: in $PREFIX/node_modules/.bin:" >&2
cat "$PREFIX/versions.txt" >&2
