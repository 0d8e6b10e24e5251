# Sourced by the scripts that build (from the repository's folder): what
# their builds share.

# Every build goes through ccache: a second run recompiles only what changed,
# in this clone or in another one (paths are hashed relative to the clone).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
ccache=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache

# Optimised as Debian builds (-O2), without debug information: the Debian
# package is built so, and so is the build the tests run, so that they test
# the code it ships and lintian's verdict on one holds for the other.
released=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG")

# build/, the normal build, shared by the demo and the test command so that
# neither rebuilds what the other built: optimised as released (no debug
# information is also a fifth of the compile time; a failure to look into is
# rebuilt with -g by hand), configured with its tests; a warning stops it.
configure_normal_build() {
  cmake -S . -B build "${released[@]}" -DVELDAR2_GUI=ON -DVELDAR2_TESTS=ON -DVELDAR2_WERROR=ON "$ccache" >/dev/null
}
