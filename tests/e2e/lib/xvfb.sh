# Sourced by the whole-program tests that need an X display.
#
# run_in_xvfb SECONDS WxHxD SCRIPT ARGS...
#   Runs SCRIPT again, once, inside a private Xvfb (xvfb-run -a picks a free
#   display number) and ends with its exit code, killing it after SECONDS.
#   Inside that server it returns at once, so a script calls it near its top.
#
# The server runs with -noreset.  By default Xvfb resets whenever its last
# client goes, and refuses the clients that connect while it resets: a script
# that starts the program several times in a row, with xdotool between the
# starts, then finds "no display" now and then on a loaded machine.
run_in_xvfb() {
  [ "${XVFB_INNER:-}" = 1 ] && return 0
  local seconds=$1 screen=$2
  shift 2
  XVFB_INNER=1 exec timeout "$seconds" xvfb-run -a -s "-screen 0 $screen -noreset" bash "$@"
}
