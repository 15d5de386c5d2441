#!/usr/bin/env bash
# Takes the README's pictures anew: the window after three loads of the demo
# page, Details after 3 and 150 loads, the Options dialog, and Trends from a
# prepared history database, on Qt's offscreen platform, into docs/. Build first
# (scripts/test.sh or cmake --build --preset default).
set -euo pipefail
cd "$(dirname "$0")/.."
TL_SCREENSHOTS="$PWD/docs" QT_QPA_PLATFORM=offscreen \
  build/default/app/tl_app_tests --gtest_filter='WindowHelpTest.GrabsTheWindowDetailsAndOptions:WindowTrendsTest.TrendsOfTheCurrentUrlFromAPreparedDatabase'
ls -l docs/*.png
