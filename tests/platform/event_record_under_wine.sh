#!/usr/bin/env bash
# Checks the event record that an S3 error answer writes, as Wine reports it
# on its debug channels (Wine's event log keeps nothing to read back).
#
# Usage: event_record_under_wine.sh COMMAND...
#   COMMAND runs the Windows test program under Wine (for example
#   "wine64 keltos3_tests.exe", with WINEPREFIX and the test servers set up);
#   the gtest filter is appended here.
#
# Passes when Win32EventLogTest passes and Wine saw at least one record of
# type error (1), category 0, identifier 0xC0020001, no user SID, exactly one
# insertion string and no raw data, whose string is the S3 error code.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT

WINEDEBUG=-all,fixme+advapi,err+eventlog \
  "$@" --gtest_filter='Win32EventLogTest.*' >"$out" 2>&1
status=$?
if [ $status -ne 0 ] || ! grep -q '^\[  PASSED  \] 1 test' "$out"; then
  cat "$out"
  echo "event_record_under_wine.sh: the test program failed ($status)" >&2
  exit 1
fi

record='fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x0001,0x0000,0xc0020001,0+,0x0001,0x00000000,[0-9A-Fa-f]+,0+\)'
text='err:eventlog:ReportEventW L"NoSuchBucket"$'
if ! grep -Eq "$record" "$out" || ! grep -Eq "$text" "$out"; then
  cat "$out"
  echo "event_record_under_wine.sh: no event record (error, category 0," \
       "0xC0020001, one string \"NoSuchBucket\") was reported" >&2
  exit 1
fi
# Every record must be of that form: a stray record would mean a report of
# some other kind.
if grep -E 'fixme:advapi:ReportEventW' "$out" | grep -Evq "$record"; then
  grep -E 'fixme:advapi:ReportEventW' "$out"
  echo "event_record_under_wine.sh: a record with other fields was reported" >&2
  exit 1
fi
echo "event_record_under_wine.sh: event records as expected"
