#include "stats_report.h"

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace vivanto {

namespace {

constexpr std::array<const char*, 2> kAxisNames{"red-green", "blue-yellow"};

double percent(uint64_t part, uint64_t whole)
{
    return whole == 0 ? 0.0 : 100.0 * double(part) / double(whole);
}

std::string largestText(const GamutAxisStats& axis)
{
    if (!axis.largestUnderShare)
        return "no value keeps them under 0.1 % (of 0, the chosen one, 600 and -100)";
    std::string text = "under 0.1 % up to " + std::to_string(*axis.largestUnderShare);
    if (*axis.largestUnderShare == kHighestSlider)
        text += " (the top of the range)";
    return text;
}

nlohmann::json largestJson(const GamutAxisStats& axis)
{
    return axis.largestUnderShare ? nlohmann::json(*axis.largestUnderShare) : nlohmann::json();
}

} // namespace

std::string statsText(const StatsReport& report)
{
    const GamutStats& g = report.gamutStats;
    std::string text;
    char line[640];
    std::snprintf(line, sizeof line,
                  "%s: out of the output's gamut (its profile at %d bits, --gamut %s): %llu of "
                  "%llu pixels before, %llu after (%.3f %%)%s\n",
                  report.name.c_str(), report.outputBits, nameOf(report.gamut),
                  static_cast<unsigned long long>(g.outOfGamutBefore),
                  static_cast<unsigned long long>(g.pixels),
                  static_cast<unsigned long long>(report.outOfGamutAfter),
                  percent(report.outOfGamutAfter, g.pixels),
                  report.clipping.enabled ? "" : " (switch off)");
    text += line;
    for (std::size_t axis = 0; axis < 2; ++axis) {
        const GamutAxisStats& a = g.axes[axis];
        std::snprintf(line, sizeof line, "%s: %-11s %s=%d alone: %llu out of gamut (%.3f %%); %s\n",
                      report.name.c_str(), kAxisNames[axis], a.key.c_str(), a.chosen,
                      static_cast<unsigned long long>(a.outOfGamut),
                      percent(a.outOfGamut, g.pixels), largestText(a).c_str());
        text += line;
    }
    std::snprintf(line, sizeof line,
                  "%s: working encoding: %llu pixels clipped on the way in (|a*| or |b*| above "
                  "128)\n",
                  report.name.c_str(), static_cast<unsigned long long>(g.clippedOnTheWayIn));
    text += line;
    return text + describe(report.clipping, report.name);
}

std::string statsJson(const StatsReport& report)
{
    const GamutStats& g = report.gamutStats;
    nlohmann::json axes = nlohmann::json::array();
    for (std::size_t axis = 0; axis < 2; ++axis) {
        const GamutAxisStats& a = g.axes[axis];
        const AxisStats& c = report.clipping.axes[axis];
        axes.push_back({{"key", a.key},
                        {"value", a.chosen},
                        {"outOfGamutPixels", a.outOfGamut},
                        {"largestUnder0.1Percent", largestJson(a)},
                        {"workingClippedSamples", c.clipped},
                        {"workingAlreadyAtEdge", c.alreadyAtEdge},
                        {"workingLargestClean", c.largestClean}});
    }
    nlohmann::json object{{"file", report.file},
                          {"pixels", g.pixels},
                          {"outputBits", report.outputBits},
                          {"gamut", nameOf(report.gamut)},
                          {"enabled", report.clipping.enabled},
                          {"outOfGamutBefore", g.outOfGamutBefore},
                          {"outOfGamutPixels", report.outOfGamutAfter},
                          {"clippedOnTheWayIn", g.clippedOnTheWayIn},
                          {"axes", axes}};
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace vivanto
