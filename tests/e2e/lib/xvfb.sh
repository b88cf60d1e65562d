# Sourced by the whole-program tests that need an X display.
#
# run_in_xvfb SECONDS WxHxD SCRIPT ARGS...
#   Runs SCRIPT again, once, inside a private Xvfb (xvfb-run -a picks a free
#   display number) and ends with its exit code, killing it after SECONDS;
#   without xvfb-run it says SKIP and ends with 0.  Inside that server it sets
#   the sanitizers' suppression files and returns, so a script calls it near
#   its top.
#
# The server runs with -noreset.  By default Xvfb resets whenever its last
# client goes, and refuses the clients that connect while it resets: a script
# that starts the program several times in a row, with xdotool between the
# starts, then finds "no display" now and then on a loaded machine.
run_in_xvfb() {
  if [ "${XVFB_INNER:-}" != 1 ]; then
    if ! command -v xvfb-run >/dev/null; then
      echo "SKIP: xvfb-run is not installed"
      exit 0
    fi
    local seconds=$1 screen=$2
    shift 2
    XVFB_INNER=1 exec timeout "$seconds" xvfb-run -a -s "-screen 0 $screen -noreset" bash "$@"
  fi
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  export TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$here/sanitizer.supp"
  export LSAN_OPTIONS="${LSAN_OPTIONS:-} suppressions=$here/lsan.supp"
}

# The tests that press keys and find windows fail without xdotool.
need_xdotool() {
  if ! command -v xdotool >/dev/null; then
    echo "FAIL: xdotool is not installed (scripts/setup.sh installs it)"
    exit 1
  fi
}
