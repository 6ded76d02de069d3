#!/usr/bin/env bash
# Every option, environment variable and flag name that a program's usage text
# lists appears in its manual page (docs/man), and every page is clean roff.
# Usage: man-pages.sh BIN_DIR SOURCE_DIR
set -uo pipefail
bin=$1 man=$2/docs/man
failed=0

# The usage text of a program, however it prints it (stdout or stderr).
usage_of() {
  case "$1" in
    morvalen) "$bin/morvalen" -h ;;
    dtcd) "$bin/dtcd" --no-such-option 2>&1 ;;
    dtcctl|morvalenctl) "$bin/$1" --help ;;
    dtc-pg-enlist) "$bin/dtc-pg-enlist" 2>&1 ;;
  esac
}

for page in morvalen.8 dtcd.8 dtcctl.8 morvalenctl.1 dtc-pg-enlist.1; do
  program=${page%.*}
  if [ ! -x "$bin/$program" ]; then
    echo "$program: not built, its page is checked against nothing"
    continue
  fi
  usage=$(usage_of "$program")
  if [ -z "$usage" ]; then
    echo "$program: printed no usage text"; failed=1; continue
  fi
  # The page's text with roff's escapes undone: \- is a hyphen, \fB... are fonts.
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\&//g' "$man/$page")
  # Options (-x, --long-name), environment variables (NAME_WITH_UNDERSCORE)
  # and XA flag names (TM...).
  tokens=$(grep -oE '(^|[][ \t|(,])-{1,2}[A-Za-z?][A-Za-z-]*|[A-Z][A-Z0-9]*_[A-Z0-9_]+|\bTM[A-Z]+\b' <<<"$usage" |
           sed -E 's/^[][ \t|(,]//' | sort -u)
  for token in $tokens; do
    if ! grep -qF -- "$token" <<<"$text"; then
      echo "$page: lacks $token, which '$program' lists in its usage text"
      failed=1
    fi
  done
  # groff's own complaints (unknown macros, bad escapes).
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$man/$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page: groff: $warnings"; failed=1
  fi
done
[ $failed -eq 0 ] && echo "every listed option is in its page"
exit $failed
