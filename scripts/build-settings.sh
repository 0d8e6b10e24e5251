# Sourced by the scripts that build (from the repository's folder): what
# their builds share.

# Every build goes through ccache: a second run recompiles only what changed,
# in this clone or in another one (paths are hashed relative to the clone).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
ccache=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

# build/, the normal build, shared by the demo and the test command so that
# neither rebuilds what the other built: optimised as released, without debug
# information (a fifth of the compile time; a failure to look into is rebuilt
# with -g by hand), configured with its tests.
configure_normal_build() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DVELDAR2_GUI=ON -DVELDAR2_TESTS=ON "$ccache" >/dev/null
}
