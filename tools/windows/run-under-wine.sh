#!/bin/sh
# Runs a Windows program under Wine for CTest and test discovery, and says how it ended when it
# failed. Wine's own messages are turned off (WINEDEBUG=-all), so a program that dies before it
# prints anything would otherwise leave no trace in the test log.
"$@"
status=$?
[ "$status" -eq 0 ] || echo "(the program under Wine ended with exit status $status: $*)" >&2
exit "$status"
