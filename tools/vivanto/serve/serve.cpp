#include "serve.h"

#include "guarded_server.h"
#include "photo.h"
#include "preview.h"
#include "serve_api.h"
#include "stage_host.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <httplib.h>
#include <thread>

namespace vivanto {

namespace {

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

int renderThreads()
{
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace

int runServe(const Request& request, const std::string& pluginPath)
{
    // Blocked before any thread exists, so that every thread inherits the mask
    // and the signals wait for the watcher below: stopping the server is not
    // something a signal handler may do. A shell starts background commands
    // with SIGINT ignored, and an ignored signal is dropped even when blocked,
    // so the default is put back first: this server is meant to stop on it.
    sigset_t signals = stopSignals();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    startImageLibrary("vivanto");
    StageHost stage(pluginPath);
    for (const SettingEdit& edit : request.edits)
        stage.edit(edit.key, edit.value);
    LivePhoto photo = request.inputs.empty()
        ? LivePhoto::example(request.previewSide, renderThreads())
        : LivePhoto::fromFile(request.inputs.front(), request.previewSide, renderThreads());

    GuardedServer server;
    PreviewService service(stage, photo, request.quality, request.gamut);
    service.install(server);
    int port = bindLoopback(server, request.port);
    std::printf("vivanto serve: %s (%d x %d) on http://127.0.0.1:%d/ (Ctrl-C stops)\n",
                photo.name().c_str(), photo.width(), photo.height(), port);
    std::fflush(stdout);

    std::atomic<bool> listenReturned{false};
    std::atomic<bool> signalled{false};
    std::thread watcher([&] {
        // Waits in short turns, so that it also ends when the server stops on
        // its own, with no signal of ours to wake it.
        const timespec turn{0, 100'000'000};
        while (sigtimedwait(&signals, nullptr, &turn) < 0)
            if (listenReturned)
                return;
        signalled = true;
        service.cancelRenders();
        // stop() does nothing before the server runs, so a very early Ctrl-C waits for it.
        while (!server.is_running() && !listenReturned)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        server.stop();
    });
    bool listened = server.listen_after_bind();
    listenReturned = true;
    watcher.join();
    if (!listened && !signalled) {
        std::fprintf(stderr, "vivanto serve: the server stopped on an error\n");
        return 1;
    }
    std::printf("vivanto serve: stopped\n");
    return 0;
}

} // namespace vivanto
