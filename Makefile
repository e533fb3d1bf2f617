# make demo      set up and run the example pipeline
# make test      set up and run the test suite, then again under ASan+UBSan, the
#                threaded tests under TSan, and each fuzz harness for a few seconds
# make test-fast the test suite without the sanitizer pass (kernel tests run twice:
#                also on the portable kernels, as KOLVANE_SIMD=generic selects)
# make test-asan the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# make test-tsan the threaded tests under ThreadSanitizer (.venv-tsan)
# make fuzz      build the libFuzzer harnesses of fuzz/ and run each for a few
#                seconds (FUZZ_SECONDS, default 7) under ASan+UBSan
# make fuzz-long the same for FUZZ_LONG_SECONDS each (default 600)
# make bench     run the benchmarks and write their summary table into README.md
PY := .venv/bin/python
# Tests of the kernels that have an AVX2 form next to their portable one.
KERNEL_TESTS := tests/test_fir_resampler.py tests/test_fft.py tests/test_psd.py \
	tests/test_acc_trace.py tests/test_synth.py tests/test_nco.py tests/test_ddc.py \
	tests/test_viterbi.py
ASAN_PY := .venv-asan/bin/python
# Tests whose threads run our code at the same time: lock-free calls against
# destroy, reset and setters, the telemetry ring's producer and consumer, the
# capture writer thread, follow mode, the stream receive loop and the client
# library's threads.
TSAN_TESTS := tests/test_thread_hammer.py tests/test_threads.py tests/test_telemetry_ring.py \
	tests/test_telemetry_capture.py tests/test_follow.py tests/test_interrupt_wait.py tests/test_clock.py \
	tests/test_stream_transport.py tests/test_stream_faults.py tests/test_iqsink.py
TSAN_PY := .venv-tsan/bin/python

FUZZ_SECONDS ?= 7
FUZZ_LONG_SECONDS ?= 600

.PHONY: setup demo test test-fast test-asan test-tsan fuzz fuzz-long bench
setup:
	scripts/setup.sh .venv

demo: setup
	$(PY) examples/pipeline.py

test: test-fast test-asan test-tsan fuzz

test-fast: setup
	$(PY) -m pytest -q tests
	KOLVANE_SIMD=generic $(PY) -m pytest -q $(KERNEL_TESTS)

test-asan:
	scripts/setup.sh .venv-asan address,undefined
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	KOLVANE_UNDER_SANITIZER=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

test-tsan:
	scripts/setup.sh .venv-tsan thread
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" \
	KOLVANE_UNDER_SANITIZER=1 $(TSAN_PY) -m pytest -q -p no:cacheprovider $(TSAN_TESTS)

fuzz: setup
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-long: setup
	nice scripts/fuzz.sh $(FUZZ_LONG_SECONDS)

bench: setup
	scripts/bench-deps.sh
	$(PY) -m pip install -q reedsolo
	$(PY) benchmarks/table.py
