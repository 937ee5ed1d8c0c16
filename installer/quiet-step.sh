#!/bin/sh
# Runs a build step with its output in a log file, shown only when the step fails:
#   quiet-step.sh <log file> <command> [arguments...]
# A Windows program run under Wine may start Wine's background processes, which inherit the
# step's output handles; through a file they cannot keep the build tool waiting on a pipe.
log=$1
shift
"$@" >"$log" 2>&1 </dev/null
rc=$?
if [ "$rc" -ne 0 ]; then
    cat "$log" >&2
    echo "quiet-step: '$*' failed with exit status $rc" >&2
fi
exit $rc
