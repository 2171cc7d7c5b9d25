// FillGrid and the whole hand-over of a new call list (deep copy + FillGrid)
// for lists of 20, 200 and 1000 calls and of the 20,000 an answer may bring
// at most, on the offscreen platform.
//
//   build/bin/bench-ui [--benchmark_filter=...]

#include "CorvaneMainForm.h"
#include "QtMainThread.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

corvane::TCorvaneMainForm* g_form = nullptr;

// A record list as the recorder sends it, with names from several scripts.
std::string MakeList(int count) {
    std::string list = "[";
    for (int i = 0; i < count; ++i) {
        if (i)
            list += ",";
        const std::string n = std::to_string(i);
        list += "{id:\"" + n + "\",remoteid:\"r" + n +
                "\",startdate:" + std::to_string(1700000000 + i) + ",local:\"2" + n +
                "\",remote:\"+49301234" + n + "\",lname:\"Jürgen Groß " + n +
                "\",rname:\"Łukasz Żółw " + n + "\",connected:\"3" + n +
                "\",cname:\"Иван Петров\",direction:" + std::to_string(i % 3) + "}";
    }
    return list + "]";
}

void BM_FillGrid(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    g_form->Client()->UpdateCalls(MakeList(count), "1700001000");
    if (static_cast<int>(g_form->Calls().size()) != count)
        state.SkipWithError("the call list was not applied");
    for (auto _ : state)
        g_form->FillGrid();
    state.counters["calls"] = count;
}
BENCHMARK(BM_FillGrid)->Arg(20)->Arg(200)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

// What each new list costs the GUI thread: copy under the list lock and FillGrid.
void BM_NewList(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const std::string list = MakeList(count);
    for (auto _ : state)
        g_form->Client()->UpdateCalls(list, "1700001000");
    state.counters["calls"] = count;
}
BENCHMARK(BM_NewList)->Arg(20)->Arg(200)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

void BM_DurationTick(benchmark::State& state) {
    g_form->Client()->UpdateCalls(MakeList(static_cast<int>(state.range(0))), "1700001000");
    for (auto _ : state)
        g_form->DurationTimerTimer();
}
BENCHMARK(BM_DurationTick)->Arg(200)->Arg(20000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A throw-away data folder: no settings, so the engine does not start.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    benchmark::Initialize(&argc, argv);
    QApplication app(argc, argv);
    corvane::InstallQtMainThread();
    {
        corvane::TCorvaneMainForm form({});
        g_form = &form;
        benchmark::RunSpecifiedBenchmarks();
        g_form = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
