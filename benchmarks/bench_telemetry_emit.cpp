// Hot-path timings of the telemetry ring and capture, built only by
// bench_telemetry.py (g++ -O3 against the core sources). Each figure is the best
// of several runs and is printed as "key value" lines for the script to parse.
//
//   emit_ns        one sx_tlm_emit in a tight loop (ring drained every 8192)
//   emit_peer_ns   the same record stores into a plain array (no ring logic)
//   emit_decim_ns  one event of a probe decimated by 16
//   emit_drop_ns   one emit into a full ring (counted as dropped)
//   drain_ns       one sx_tlm_read of a full 16384-record ring
//   drain_peer_ns  one memcpy of the same 256 KiB
//   file_rps       records/s through a file capture at a steady emit rate
//   file_dropped   records the capture lost (must be 0)
//   fwrite_rps     records/s of plain fwrite of the same bytes (peer)
//   paced_rps      records/s of a file capture paced by a sample clock to 10 M
//                  records/s for 2 s; paced_dropped must be 0 and paced_late
//                  counts blocks that were already late when paced
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/sx_tlm_capture_core.h"
#include "core/sx_tlm_core.h"

namespace {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class F> double best_of(int reps, F &&f) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const double t0 = now_s();
        f();
        best = std::min(best, now_s() - t0);
    }
    return best;
}

// Keeps a value observable so the compiler cannot drop the work.
volatile uint64_t g_sink;

// The timed loops live in their own functions, as they would in a DSP block
// (GCC optimises main() as code that runs once).
[[gnu::noinline]] void emit_run(sx_tlm *ctx, int id, size_t n) {
    for (size_t i = 0; i < n; ++i) sx_tlm_emit(ctx, id, static_cast<double>(i));
}

[[gnu::noinline]] void store_run(sx_tlm_record *p, uint64_t stamp, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = sx_tlm_record{stamp, static_cast<float>(i), 0, 0};
}

}  // namespace

int main(int argc, char **argv) {
    const char *dir = argc > 1 ? argv[1] : "/tmp";
    const uint64_t file_records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50'000'000ull;
    constexpr size_t kRing = 16384;
    constexpr size_t kChunk = 8192;
    constexpr int kRounds = 2000;  // emits per run: kRounds * kChunk
    sx_tlm *ctx = sx_tlm_create(kRing);
    const int id = sx_tlm_probe(ctx, "bench", 1);
    const int dec = sx_tlm_probe(ctx, "bench.decim", 16);
    std::vector<sx_tlm_record> buf(kRing);

    // Emit with a drain every kChunk records: the emit loop is what is timed
    // (the drain is timed separately and subtracted via its own figure).
    double emit_total = 0;
    {
        double best = 1e300;
        for (int rep = 0; rep < 5; ++rep) {
            double t = 0;
            for (int r = 0; r < kRounds; ++r) {
                sx_tlm_set_now(ctx, static_cast<uint64_t>(r) * kChunk);
                const double t0 = now_s();
                emit_run(ctx, id, kChunk);
                t += now_s() - t0;
                sx_tlm_read(ctx, 0, buf.data(), buf.size());
            }
            best = std::min(best, t);
        }
        emit_total = best;
    }
    std::printf("emit_ns %.3f\n", emit_total / (double(kRounds) * kChunk) * 1e9);

    {
        std::vector<sx_tlm_record> plain(kChunk);
        const double t = best_of(5, [&] {
            for (int r = 0; r < kRounds; ++r) {
                store_run(plain.data(), static_cast<uint64_t>(r), kChunk);
                g_sink = plain[r % kChunk].n;
                asm volatile("" ::: "memory");
            }
        });
        std::printf("emit_peer_ns %.3f\n", t / (double(kRounds) * kChunk) * 1e9);
    }

    {
        const double t = best_of(5, [&] {
            for (int r = 0; r < kRounds; ++r) {
                emit_run(ctx, dec, kChunk);
                sx_tlm_read(ctx, 0, buf.data(), buf.size());
            }
        });
        std::printf("emit_decim_ns %.3f\n", t / (double(kRounds) * kChunk) * 1e9);
    }

    {
        for (size_t i = 0; i < kRing; ++i) sx_tlm_emit(ctx, id, 1.0);  // full
        const double t = best_of(5, [&] {
            for (int r = 0; r < kRounds; ++r) emit_run(ctx, id, kChunk);
        });
        std::printf("emit_drop_ns %.3f\n", t / (double(kRounds) * kChunk) * 1e9);
        sx_tlm_read(ctx, 0, buf.data(), buf.size());
    }

    {
        double best = 1e300;
        for (int rep = 0; rep < 200; ++rep) {
            for (size_t i = 0; i < kRing; ++i) sx_tlm_emit(ctx, id, 2.0);
            const double t0 = now_s();
            const size_t got = sx_tlm_read(ctx, 0, buf.data(), buf.size());
            best = std::min(best, now_s() - t0);
            g_sink = got;
        }
        std::printf("drain_ns %.1f\n", best * 1e9);
        std::vector<sx_tlm_record> src(kRing);
        best = 1e300;
        for (int rep = 0; rep < 200; ++rep) {
            std::memset(src.data(), rep, kRing * sizeof(sx_tlm_record));
            const double t0 = now_s();
            std::memcpy(buf.data(), src.data(), kRing * sizeof(sx_tlm_record));
            asm volatile("" ::: "memory");
            best = std::min(best, now_s() - t0);
        }
        std::printf("drain_peer_ns %.1f\n", best * 1e9);
    }
    sx_tlm_destroy(ctx);

    // File capture at full speed: blocks of 4096 samples, one record per
    // sample, a boundary before each block as a DSP loop would do. Runs
    // alternate with the plain fwrite peer (best of three each) so page-cache
    // writeback hits both alike.
    {
        const std::string path = std::string(dir) + "/bench_tlm_capture.bin";
        constexpr uint64_t kBlock = 4096;
        const uint64_t blocks = file_records / kBlock;
        double best_cap = 0, best_fw = 0;
        uint64_t dropped = 0;
        int verdict = 0;
        std::vector<sx_tlm_record> chunk(kBlock * 8);
        for (int rep = 0; rep < 3; ++rep) {
            sx_tlm *c2 = sx_tlm_create(kRing);
            const int p = sx_tlm_probe(c2, "rate", 1);
            sx_tlm_capture *cap = sx_tlm_capture_open(c2, kBlock, path.c_str(), nullptr);
            if (cap == nullptr) {
                std::fprintf(stderr, "capture open failed\n");
                return 1;
            }
            const double t0 = now_s();
            for (uint64_t b = 0; b < blocks; ++b) {
                sx_tlm_set_now(c2, b * kBlock);
                emit_run(c2, p, kBlock);
            }
            const int v = sx_tlm_capture_close(cap);
            best_cap = std::max(best_cap, double(sx_tlm_capture_count(cap)) / (now_s() - t0));
            dropped += sx_tlm_capture_dropped(cap);
            if (v != 0) verdict = v;
            sx_tlm_capture_destroy(cap);
            sx_tlm_destroy(c2);
            std::remove(path.c_str());
            std::remove((path + "-meta").c_str());

            FILE *f = std::fopen(path.c_str(), "wb");
            const uint64_t writes = file_records / chunk.size();
            const double w0 = now_s();
            for (uint64_t w = 0; w < writes; ++w) std::fwrite(chunk.data(), sizeof(sx_tlm_record), chunk.size(), f);
            std::fclose(f);
            best_fw = std::max(best_fw, double(writes * chunk.size()) / (now_s() - w0));
            std::remove(path.c_str());
        }
        std::printf("file_rps %.0f\n", best_cap);
        std::printf("file_dropped %llu\n", static_cast<unsigned long long>(dropped));
        std::printf("file_verdict %d\n", verdict);
        std::printf("fwrite_rps %.0f\n", best_fw);

        // The same at a steady 10 M records/s, one record per sample.
        {
            sx_tlm *c3 = sx_tlm_create(kRing);
            const int q = sx_tlm_probe(c3, "steady", 1);
            sx_tlm_capture *pc = sx_tlm_capture_open(c3, kBlock, path.c_str(), nullptr);
            sx_sample_clock *clk = sx_sample_clock_create(10e6, 0);
            const uint64_t pblocks = static_cast<uint64_t>(2 * 10e6) / kBlock;
            const double p0 = now_s();
            for (uint64_t b = 0; b < pblocks; ++b) {
                sx_tlm_set_now(c3, b * kBlock);
                emit_run(c3, q, kBlock);
                sx_sample_clock_pace(clk, kBlock);
            }
            const int pv = sx_tlm_capture_close(pc);
            std::printf("paced_rps %.0f\n", double(sx_tlm_capture_count(pc)) / (now_s() - p0));
            std::printf("paced_dropped %llu\n", static_cast<unsigned long long>(sx_tlm_capture_dropped(pc)));
            std::printf("paced_verdict %d\n", pv);
            std::printf("paced_late %llu\n", static_cast<unsigned long long>(clk->late_count));
            sx_sample_clock_destroy(clk);
            sx_tlm_capture_destroy(pc);
            sx_tlm_destroy(c3);
            std::remove(path.c_str());
            std::remove((path + "-meta").c_str());
        }
    }
    return 0;
}
