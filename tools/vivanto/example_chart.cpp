// Writes the built-in example chart (see reference_chart.h) as a 16-bit PNG.
//
//     example_chart OUTPUT.png
#include "reference_chart.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: example_chart OUTPUT.png\n");
        return 2;
    }
    try {
        if (VIPS_INIT(argv[0]) != 0)
            throw std::runtime_error("cannot start libvips");
        vivanto::referenceChart().pngsave(argv[1]);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "example_chart: %s\n", error.what());
        return 1;
    }
}
