#!/usr/bin/env bash
# The manual pages and the bash completions say what the programs do: every
# option a program's --help names (with each command's --help for tools with
# commands) is in its manual page and offered by its completion, and every
# option the page names is one --help names.  Every program has a page, and
# each page opens with man -l without a warning.  Usage: docs_match_help.sh BUILD_DIR
set -u
build=$(cd "${1:?build directory}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# Options of PROGRAM named in a text: --long and -x tokens standing alone
# (not inside a word such as "full-screen"; not a word cut by an accented
# letter as "--opción" is), and not right after "yurn " in another program's
# text, where they are the show's ("yurn --show DIR/show.toml").  -h is
# --help's other name, left out everywhere.  options_in PROGRAM <TEXT
options_in() {
  PROGRAM=$1 perl -CSD -ne 'while (/(?<![\w-])(--[a-z][a-z0-9-]*|-[A-Za-z])(?![\w-])/g) {
      my $option = $1;
      next if $ENV{PROGRAM} ne "yurn" && substr($_, 0, $-[1]) =~ /(?<![\w-])yurn $/;
      print "$option\n" }' |
    grep -vx -- -h | sort -u
}
# A roff page as plain text: comments dropped, \- and font changes undone.
page_text() { grep -v '^\.\\"' "$1" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'; }

programs=(yurn)
for dir in "$source"/tools/*/; do
  name=$(basename "$dir")
  [ "$name" = common ] || programs+=("$name")
done

for program in "${programs[@]}"; do
  [ -x "$build/$program" ] || { fail "$program is not built in $build"; continue; }
  page=$(ls "$source"/man/"$program".[16] 2>/dev/null | head -n 1)
  [ -n "$page" ] || { fail "$program has no manual page in man/"; continue; }

  # The page's commands (".SS name" under COMMANDS) each answer --help.
  commands=$(page_text "$page" | awk '/^\.SH/ {in_commands = ($2 == "COMMANDS")} in_commands && /^\.SS/ {print $2}')
  "$build/$program" --help >"$work/help" 2>&1 || fail "$program --help failed"
  for command in $commands; do
    grep -qw -- "$command" "$work/help" || fail "$program: the page's command $command is not in --help"
    "$build/$program" "$command" --help >>"$work/help" 2>&1 || fail "$program $command --help failed"
  done
  options_in "$program" <"$work/help" >"$work/from-help"
  page_text "$page" | options_in "$program" >"$work/from-page"
  missing=$(comm -23 "$work/from-help" "$work/from-page" | tr '\n' ' ')
  extra=$(comm -13 "$work/from-help" "$work/from-page" | tr '\n' ' ')
  [ -z "$missing" ] || fail "$program: options in --help but not in $(basename "$page"): $missing"
  [ -z "$extra" ] || fail "$program: options in $(basename "$page") but not in --help: $extra"
  [ -s "$work/from-help" ] || fail "$program: no option found in --help"

  # The completion offers every option: after the command, when there are commands.
  completion=$source/dist/completions/$program
  if [ ! -f "$completion" ]; then
    fail "$program has no bash completion in dist/completions/"
  else
    offered=$(bash -c '
      source "$1"; program=$2; shift 2
      function=$(complete -p "$program" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
      offer() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); "$function"; printf "%s\n" "${COMPREPLY[@]}"; }
      offer "$program" -
      for command in "$@"; do offer "$program" "$command" -; done
      offer "$program" --' _ "$completion" "$program" $commands | sort -u)
    missing=$(comm -23 "$work/from-help" <(printf '%s\n' "$offered" | grep -- '^-' | sort -u) | tr '\n' ' ')
    [ -z "$missing" ] || fail "$program: options in --help that the completion does not offer: $missing"
    for command in $commands; do
      printf '%s\n' "$offered" | grep -qx -- "$command" ||
        bash -c 'source "$1"; f=$(complete -p "$2" | sed -n "s/.*-F \([^ ]*\) .*/\1/p"); COMP_WORDS=("$2" ""); COMP_CWORD=1; "$f"; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$program" |
        grep -qx -- "$command" || fail "$program: the completion does not offer the command $command"
    done
  fi

  # The page as installed (version and folders filled in) opens cleanly.
  built=$(ls "$build"/man/"$program".[16] 2>/dev/null | head -n 1)
  if [ -z "$built" ]; then
    fail "$program: no configured page in $build/man"
  else
    grep -q '@[A-Z_]*@' "$built" && fail "$built keeps a placeholder"
    MANWIDTH=80 man --warnings -l "$built" >"$work/shown" 2>"$work/warnings" || fail "man -l $built failed"
    [ -s "$work/warnings" ] && { fail "man -l $built warns:"; cat "$work/warnings"; }
    grep -q "^NAME" "$work/shown" && grep -q "$program" "$work/shown" || fail "man -l $built shows no NAME section"
  fi
done

[ "$status" -eq 0 ] && echo "ok: manual pages and completions of ${programs[*]} match their --help"
exit "$status"
