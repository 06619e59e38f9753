# Sourced by the bench scripts: callgrind_count PROGRAM ARGS... prints the
# instructions callgrind counts for one run; the caller's $W holds the shim.
# libhwy (pulled in by libjxl) reads the time stamp counter with RDTSCP in
# its start-up code, which valgrind 3.19 cannot decode on CPUs without that
# flag: it dies with SIGILL before main. A stand-in for that one function,
# preloaded, lets it run; the timer serves only libjxl's own profiling.
callgrind_shim() {
  [ -n "${CALLGRIND_SHIM:-}" ] && return
  CALLGRIND_SHIM=${W:?}/hwytimer.so
  printf '%s\n' '#include <stdint.h>' \
    'uint64_t _ZN3hwy8platform15TimerResolutionEv(void) { return 1; }' |
    cc -shared -fPIC -O2 -x c -o "$CALLGRIND_SHIM" -
}
callgrind_count() {
  callgrind_shim
  LD_PRELOAD=$CALLGRIND_SHIM valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}
