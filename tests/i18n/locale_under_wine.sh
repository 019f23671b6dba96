#!/usr/bin/env bash
# Starts the Windows test program under Wine once per locale and checks the
# name GetUserDefaultLocaleName gives and the language chosen from it.
#
#   locale_under_wine.sh <wine runner> <tests_i18n.exe> <work folder>
#
# Wine 8 takes the user's locale from the POSIX locale it starts in (and
# writes it into the prefix's registry, so a value put there by hand does not
# last). The POSIX locales are compiled here with localedef into the work
# folder and found through LOCPATH, so the machine's own locales stay as they
# are.
set -euo pipefail
runner=$1
program=$2
work=$3
locales="$work/locales"
mkdir -p "$locales"

# POSIX locale       name Windows reports   language
cases=(
  "pt_BR.UTF-8       pt-BR                  pt"
  "es_MX.UTF-8       es-MX                  es"
  "de_DE.UTF-8       de-DE                  de"
  "zh_CN.UTF-8       zh-CN                  zh"
  "en_US.UTF-8       en-US                  en"
  "sr_RS.UTF-8@latin sr-Latn-RS             en"
)

failed=0
for row in "${cases[@]}"; do
  read -r posix name language <<<"$row"
  if [ ! -d "$locales/$posix" ]; then
    base=${posix%%.*}
    modifier=""
    case "$posix" in *@*) modifier="@${posix#*@}" ;; esac
    localedef -i "$base$modifier" -f UTF-8 "$locales/$posix" >/dev/null 2>&1 || true
    [ -d "$locales/$posix" ] || { echo "cannot compile the locale $posix"; failed=1; continue; }
  fi
  if env -u LANGUAGE -u LC_MESSAGES LOCPATH="$locales" LC_ALL="$posix" LANG="$posix" \
       VELLICOR_EXPECT_LOCALE="$name" VELLICOR_EXPECT_LANGUAGE="$language" \
       "$runner" "$program" --gtest_filter='SystemLocale.*' --gtest_brief=1 >"$work/last.log" 2>&1; then
    if grep -q "SKIPPED" "$work/last.log"; then
      echo "FAIL $posix: the check was skipped"
      failed=1
    else
      echo "ok   $posix -> $name -> $language"
    fi
  else
    echo "FAIL $posix (expected $name -> $language):"
    cat "$work/last.log"
    failed=1
  fi
done
exit $failed
