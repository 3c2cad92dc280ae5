# Sourced by the bench runners (from the repository's top): installs missing
# packages and builds twinfold (Release) in build/, its output in a log.

# install_missing PACKAGE...: installs the packages named, if any.
install_missing() {
    (($#)) || return 0
    echo "bench: installing $*" >&2
    apt-get install -y "$@" >&2 || { apt-get update >&2 && apt-get install -y "$@" >&2; }
}

# Incremental: cheap when the build is current.
build_release() {
    mkdir -p build
    if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2; } \
            >build/bench-build.log 2>&1; then
        tail -30 build/bench-build.log >&2
        echo "bench: building twinfold failed (build/bench-build.log)" >&2
        exit 1
    fi
}
