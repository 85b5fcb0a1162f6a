// The live preview page's server side: the page itself and a small JSON API
// over one photo and the plug-in, reached only through what the plug-in
// registered.
//
//   GET  /                     the page
//   GET  /api/options          the plug-in's options in definition order, and the photo
//   POST /api/edit             {"key": K, "value": N}: one edit through the settings
//                              hooks; answers the options as they are afterwards
//   GET  /api/options          (also the starting "gamut" choice, in "photo")
//   GET  /api/preview          the preview through the stage; ?marks=1 marks
//                              pixels out of 8-bit sRGB's gamut; the stage's time
//                              and those pixels' number in the X-Stage-Milliseconds
//                              and X-Clipped-Pixels (also X-Out-Of-Gamut-Pixels) headers
//   GET  /api/preview/before   the preview without the stage
//        both take ?size=N (the longest side, from 16 to the largest offered;
//        absent: --preview-size) and ?format=png (the default) or rgba (the
//        bytes a canvas takes, 4 per pixel); X-Frame-Width and X-Frame-Height
//        give the size, Server-Timing the steps
//   GET  /api/loupe            ?x=&y=&size=: a crop of size x size photo pixels
//                              (16..512) around column x, row y, at full size
//                              through the stage (?before=1: without), the
//                              same pixels as the full-size download there;
//                              ?format= as above; X-Loupe-Left, X-Loupe-Top
//                              say where the crop lies
//   GET  /api/full             the full-size photo through the stage, as a download
//        preview, loupe and full take ?gamut=clip|compress (absent: the
//        starting choice, vivanto serve --gamut): how results outside the
//        output's gamut come back
//   GET  /api/scope            ?size=N&gamut=: the vectorscope of that preview as PNG,
//                              before the stage | after it, as the latest preview
//                              of that size and gamut came back (rendered now when
//                              there is none)
//   GET  /api/about            {"title": T, "html": H} from the plug-in's About action
//
// Errors answer {"error": "..."} with a 4xx status for the caller's mistakes
// and 5xx for ours.
#pragma once

#include "bibble_host.h"
#include "gamut_boundary.h"
#include "preview.h"
#include "stage_host.h"

#include <atomic>
#include <httplib.h>
#include <mutex>

namespace vivanto {

enum class FrameFormat { Png, Rgba };

class PreviewService {
public:
    // JPEG downloads are written at `quality`; `gamut` is the page's starting choice.
    PreviewService(StageHost& stage, const LivePhoto& photo, int quality,
                   GamutMode gamut = GamutMode::Clip);

    // Routes, limits, error pages and socket options on `server`; binds nothing.
    void install(httplib::Server& server);

    // Stops a render in progress at its next row; renders started afterwards
    // are refused. For a server that is about to stop. Safe from any thread.
    void cancelRenders();

private:
    void options(httplib::Response& response);
    void edit(const httplib::Request& request, httplib::Response& response);
    void preview(const httplib::Request& request, httplib::Response& response);
    void before(const httplib::Request& request, httplib::Response& response);
    void loupe(const httplib::Request& request, httplib::Response& response);
    void full(const httplib::Request& request, httplib::Response& response);
    void scope(const httplib::Request& request, httplib::Response& response);
    GamutMode gamutParameter(const httplib::Request& request) const;
    const GamutBoundary& srgbBoundary();
    void about(httplib::Response& response);

    StageHost& stage_;
    const LivePhoto& photo_;
    int quality_;
    GamutMode startingGamut_;
    std::once_flag boundaryMade_;
    std::unique_ptr<GamutBoundary> boundary_; // of 8-bit sRGB, what the page shows
    // The stand-in host keeps settings and hook calls in plain memory, and an
    // edit must not change the settings half way through a render: one request
    // at a time touches the plug-in. Renders hold it only for each stage
    // call, under the settings they started with (see LivePhoto).
    std::mutex pluginMutex_;
    // Handed to the stage, which reads it atomically while the watcher thread
    // may set it.
    alignas(std::atomic_ref<HostBool>::required_alignment) HostBool cancel_ = 0;
};

// Binds `server` to 127.0.0.1:`port` (0: any free port) and returns the port.
// Throws std::runtime_error saying why not, e.g. when the port is taken.
int bindLoopback(httplib::Server& server, int port);

} // namespace vivanto
