// velmox-bench-micro (Google Benchmark): the gateway's own work around the
// exchange, in one process, for profiling between full runs.
//   BM_BuildRequest  capture of a GET request from the environment, the
//                    command factory and the serialised command
//   BM_PipeCall      one exchange as Dispatch makes it, with views kept or
//                    attached afresh; runs only when
//                    VELMOX_BENCH_BASE names the base name of a running
//                    echo task (velmox-bench-pipe-echo)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "pipe_limits.h"
#include "cgi.h"
#include "cmd.h"
#include "pipe_client.h"
#include "os.h"
#include "sstream.h"

namespace {

void SetGetRequest() {
    setenv("GATEWAY_INTERFACE", "CGI/1.1", 1);
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("PATH_INFO", "/Search/Local/mail", 1);
    setenv("QUERY_STRING", "1f", 1);
    setenv("SCRIPT_NAME", "/velmox.cgi", 1);
    setenv("REMOTE_ADDR", "127.0.0.1", 1);
    setenv("HTTP_USER_AGENT", "velmox-bench-micro", 1);
    unsetenv("CONTENT_LENGTH");
}

void BM_BuildRequest(benchmark::State& state) {
    SetGetRequest();
    for (auto _ : state) {
        CGI cgi;
        cgi.InitFromEnv();
        Cmd* cmd = Cmd::CreateCmd(cgi);
        SimpleStream request(kPipeBlockSize);
        request << uint32_t(cmd->m_cmdID);
        cmd->Write(request);
        benchmark::DoNotOptimize(request.Length());
        delete cmd;
    }
}
BENCHMARK(BM_BuildRequest);

void BM_PipeCall(benchmark::State& state) {
    const char* base = std::getenv("VELMOX_BENCH_BASE");
    if (!base) {
        state.SkipWithError("VELMOX_BENCH_BASE is not set");
        return;
    }
    bool persistent = state.range(2) != 0;
    std::vector<unsigned char> request = bench::MakeRequest(uint32_t(state.range(0)), uint32_t(state.range(1)));
    std::vector<unsigned char> answer(kPipeBlockSize);
    PipeClient client(base);
    for (auto _ : state) {
        unsigned long got = 0;
        bool ok;
        if (persistent) {
            ok = client.Call(request.data(), request.size(), answer.data(), answer.size(), &got);
        } else {
            SimplePipe pipe;
            ok = pipe.Call(base, request.data(), request.size(), answer.data(), answer.size(), &got);
        }
        if (!ok) {
            state.SkipWithError("the exchange failed");
            return;
        }
    }
}
// Arguments: request bytes, answer bytes, whether one client makes every
// call (1) or each call has a fresh pipe (0).
BENCHMARK(BM_PipeCall)->Args({1024, 4096, 1})->Args({102400, 1024, 1})->Args({1024, 4096, 0})->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
