# Sourced by the run scripts: makes sure the build tools are on the machine,
# installing Debian's packages when they are missing and we may.
quarn_need() { # quarn_need <check command> <debian package>...
    local check=$1; shift
    if ! eval "$check" >/dev/null 2>&1; then
        if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
            echo "installing $*" >&2
            if [ -z "${QUARN_APT_UPDATED:-}" ]; then
                apt-get update -qq >&2 || true
                QUARN_APT_UPDATED=1
            fi
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >&2
        else
            echo "missing: $* (install it, then run again)" >&2
            return 1
        fi
    fi
}

# What building and running the server needs.
quarn_server_deps() {
    quarn_need "command -v cmake" cmake &&
    quarn_need "command -v ninja" ninja-build &&
    quarn_need "command -v g++" g++
}

# What the tests and benchmarks need besides.  The forwarding tests start
# rsyslogd on a configuration of their own; installing the package on a
# systemd host also enables it as the machine's syslog daemon, which is why
# only the test scripts ask for it.
quarn_test_deps() {
    quarn_server_deps &&
    quarn_need "command -v pkg-config" pkg-config &&
    quarn_need "command -v unshare" util-linux &&
    quarn_need "test -e /usr/include/gtest/gtest.h" libgtest-dev libgmock-dev &&
    quarn_need "test -e /usr/include/benchmark/benchmark.h" libbenchmark-dev &&
    quarn_need "command -v man" man-db && # the manual page's check
    quarn_need "test -x /usr/sbin/rsyslogd" rsyslog && # the collector of the forwarding tests
    quarn_need "command -v logger" bsdutils &&        # senders of the system log socket tests
    quarn_need "command -v python3" python3
}
