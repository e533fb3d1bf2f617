# make demo      set up and run the example pipeline
# make test      set up and run the test suite, then run it again under the sanitizers
# make test-fast the test suite without the sanitizer pass (kernel tests run twice:
#                also on the portable kernels, as KOLVANE_SIMD=generic selects)
# make test-asan the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# make fuzz      build the libFuzzer harnesses of fuzz/ and run each for a few
#                seconds (FUZZ_SECONDS, default 8) under ASan+UBSan
# make fuzz-long the same for FUZZ_LONG_SECONDS each (default 600)
# make bench     run the benchmarks
PY := .venv/bin/python
# Tests of the kernels that have an AVX2 form next to their portable one.
KERNEL_TESTS := tests/test_fir_resampler.py tests/test_fft.py tests/test_psd.py \
	tests/test_acc_trace.py tests/test_synth.py tests/test_nco.py tests/test_ddc.py
ASAN_PY := .venv-asan/bin/python

FUZZ_SECONDS ?= 8
FUZZ_LONG_SECONDS ?= 600

.PHONY: setup demo test test-fast test-asan fuzz fuzz-long bench
setup:
	scripts/setup.sh .venv

demo: setup
	$(PY) examples/pipeline.py

test: test-fast test-asan fuzz

test-fast: setup
	$(PY) -m pytest -q tests
	KOLVANE_SIMD=generic $(PY) -m pytest -q $(KERNEL_TESTS)

test-asan:
	scripts/setup.sh .venv-asan address,undefined
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	KOLVANE_UNDER_SANITIZER=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

fuzz: setup
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-long: setup
	nice scripts/fuzz.sh $(FUZZ_LONG_SECONDS)

bench: setup
	scripts/bench-deps.sh
	for b in benchmarks/bench_*.py; do $(PY) $$b || exit 1; done
