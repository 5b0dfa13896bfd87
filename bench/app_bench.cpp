// Cost of one refresh tick of the tray application against the emulator (two fans,
// readings steady): SMC reads, row updates, title, temperature line, login mark, boost.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>

#include "AppDelegate.h"
#include "Emulator.h"
#include "TempRecord.h"

class AppDelegateBench {
  public:
    static void refresh(AppDelegate& app) { app.refresh(); }
};

namespace {

// Argument 0: the fans as widget rows; 1: as submenus, the menu closed; 2: open.
void BM_RefreshTick(benchmark::State& state) {
    QTemporaryDir dir;
    AppDelegate::Seams seams;
    seams.showStatusItem = false;
    seams.fanSubmenus = state.range(0) > 0;
    seams.controller = noRecord();  // never the machine's own record
    seams.launchDaemonPlistPath = dir.filePath("none.plist").toStdString();
    AppDelegate app(seams);
    app.applicationDidFinishLaunching();
    app.refreshTimer->stop();  // only the benchmark's ticks run
    for (const auto& fan : app.fanMenus)
        fan->setShown(state.range(0) == 2);
    for (auto _ : state)
        AppDelegateBench::refresh(app);
}
BENCHMARK(BM_RefreshTick)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    benchmark::Initialize(&argc, argv);
    Emulator emu(Emulator::shippedProfile("recent-2fan.prof"));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
