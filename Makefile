# make demo      set up and run the example pipeline
# make test      set up and run the test suite, then run it again under the sanitizers
# make test-fast the test suite without the sanitizer pass (kernel tests run twice:
#                also on the portable kernels, as KOLVANE_SIMD=generic selects)
# make test-asan the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# make bench     run the benchmarks
PY := .venv/bin/python
# Tests of the kernels that have an AVX2 form next to their portable one.
KERNEL_TESTS := tests/test_fir_resampler.py tests/test_fft.py tests/test_psd.py \
	tests/test_acc_trace.py tests/test_synth.py
ASAN_PY := .venv-asan/bin/python

.PHONY: setup demo test test-fast test-asan bench
setup:
	scripts/setup.sh .venv

demo: setup
	$(PY) examples/pipeline.py

test: test-fast test-asan

test-fast: setup
	$(PY) -m pytest -q tests
	KOLVANE_SIMD=generic $(PY) -m pytest -q $(KERNEL_TESTS)

test-asan:
	scripts/setup.sh .venv-asan address,undefined
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	KOLVANE_UNDER_SANITIZER=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

# Peers timed by the benchmarks that the tests never need.
BENCH_DEBS := libliquid-dev

bench: setup
	@missing=$$(for d in $(BENCH_DEBS); do dpkg-query -W -f='$${Status}' $$d 2>/dev/null | grep -q '^install ok installed$$' || echo $$d; done); \
	if [ -n "$$missing" ]; then \
		sudo=""; [ "$$(id -u)" -eq 0 ] || sudo=sudo; \
		$$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $$missing >/dev/null; \
	fi
	for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done
