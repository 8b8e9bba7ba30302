# The plain build's configuration (build/plain), shared by scripts/test.sh and scripts/demo.sh so
# that either reuses what the other built there. Release, so that an optimiser's warnings cannot
# creep in, with the benchmarks; compiled in batches (TELVO_UNITY) and linked with lld.
plain_build_args=(-DCMAKE_BUILD_TYPE=Release -DTELVO_BUILD_BENCH=ON -DTELVO_WERROR=ON
  -DTELVO_UNITY=ON -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
