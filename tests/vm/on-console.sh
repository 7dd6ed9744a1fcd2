#!/bin/sh
# on-console NAME=VALUE... PROGRAM: runs PROGRAM on the first virtual console,
# which the caller made this session's controlling terminal (setsid -c), as
# a user's login shell would: in the foreground, standard input and output
# the console.  Notes the program's process id, its exit status and the
# console's mode before and after, for the host to read, then shows a prompt
# where the shell's would go.
rm -f /tmp/pid /tmp/rc /tmp/stty.before /tmp/stty.after
stty -g >/tmp/stty.before
sh -c 'echo $$ >/tmp/pid; exec env "$@"' sh "$@" 2>/tmp/stderr
echo $? >/tmp/rc.new
stty -g >/tmp/stty.after
mv /tmp/rc.new /tmp/rc
printf '$ '
