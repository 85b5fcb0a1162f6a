/*
 * Vivanto: a colour booster stage for the host editor's 16-bit pipeline.
 *
 * It scales the two colour-opponent channels (red-green, blue-yellow) of the
 * host's working image about neutral and never touches lightness, so colours
 * get stronger or weaker with no change of exposure or contrast.
 *
 * This file is the whole plug-in, read top to bottom in the order the host
 * lives it: keys and option set, the stage's arithmetic, the stage, the
 * settings hooks, registration, and the three exported entry points last.
 *
 * Plain C-style C++: no classes, exceptions, allocation, threads or library
 * calls, and no header beyond those a freestanding compiler provides, so that
 * one source builds for every target the plug-in ships on. The library keeps
 * no mutable state; everything lives in one hook call.
 */
#include <stddef.h>
#include <stdint.h>

#include "bibble_host.h"

/*
 * Build switch: how the stage's arithmetic is evaluated.
 *   0 (default, the Windows build): every intermediate is formed exactly and
 *     rounded once to single precision; rounding is half up.
 *   1 (the Mac OS X build): plain single precision, each product and sum
 *     rounded to single as it is formed.
 * The two differ by exactly one on about 0.17 % of (slider, sample) pairs.
 */
#ifndef HUEFLARE_PLAIN_SINGLE
#define HUEFLARE_PLAIN_SINGLE 0
#endif

/* Excess precision (x87 arithmetic) would round twice and break both rules;
 * 32-bit x86 builds must evaluate floats in SSE registers. */
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "float arithmetic must not use excess precision: build with -msse2 -mfpmath=sse"
#endif

/* Keeps the compiler from fusing a separate multiply and add into one rounding
 * (GCC ignores this and is given -ffp-contract=off by the build instead). */
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

#if defined(_WIN32)
#define HUEFLARE_EXPORT extern "C" __declspec(dllexport)
#else
#define HUEFLARE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

/* ------------------------------------------------------------------------ */
/* Keys and option set                                                      */
/* ------------------------------------------------------------------------ */

/* The host stores the three settings under these keys; stored edits and
 * presets depend on them, so they never change. */
static const char HUEFLARE_ENABLED[] = "vivanto_enabled";
static const char HUEFLARE_RG[] = "vivanto_rg";
static const char HUEFLARE_BY[] = "vivanto_by";
static const char HUEFLARE_GROUP[] = "vivanto_plugin";
static const char HUEFLARE_ABOUT[] = "vivanto_about";
/* The name by which the host identifies this plug-in's stage in an edit. */
static const char HUEFLARE_PLUGIN[] = "HueflarePlugin_pop";

static const char LABEL_ENABLED[] = "Enable vivanto plugin";
static const char LABEL_RG[] = "Pop the reds and greens";
static const char LABEL_BY[] = "Pop the blues and yellows.";

/* Defaults at definition, and the values assumed when an option is missing. */
enum { DEFAULT_ENABLED = 0, DEFAULT_RG = 15, DEFAULT_BY = 35 };

enum { INTERFACE_VERSION = 5, FORMAT_LAB16 = 3, PROCESS_FIRST = 9, PROCESS_SECOND = 4 };

/* ------------------------------------------------------------------------ */
/* The stage's arithmetic                                                   */
/* ------------------------------------------------------------------------ */

enum { SLIDER_MIN = -100, SLIDER_MAX = 600, SAMPLE_MAX = 65535 };
/* Neutral chroma sits at 32767, not 32768: the host's encoding. */
static const float NEUTRAL = 32767.0f;

/* Slider value to scale factor: (v + 100) / 100 rounded to the nearest single.
 * A float division of the exact integer v + 100 by 100 rounds exactly so. */
static float factorFromValue(int32_t value)
{
    if (value < SLIDER_MIN)
        value = SLIDER_MIN;
    if (value > SLIDER_MAX)
        value = SLIDER_MAX;
    return (float)(value + 100) / 100.0f;
}

#if !HUEFLARE_PLAIN_SINGLE

/* 32767 - 32767 * s. The double product and difference are exact (at most
 * 46 significant bits for any factor), so the value is rounded once. */
static float offsetFromFactor(float factor)
{
    return (float)((double)NEUTRAL - (double)NEUTRAL * (double)factor);
}

/* w <= 0 gives 0, w >= 65535 gives 65535, anything else the integer part of
 * w + 0.5, added exactly in double (round half up). */
static uint16_t toSample(float w)
{
    if (w <= 0.0f)
        return 0;
    if (w >= (float)SAMPLE_MAX)
        return SAMPLE_MAX;
    /* Round half up on purpose, and no library call; w is positive here. */
    return (uint16_t)(int32_t)((double)w + 0.5); /* NOLINT(bugprone-incorrect-roundings) */
}

/* x * s + o: the double product has at most 40 significant bits and the sum
 * at most 46, so both are exact and the float conversion is the one rounding. */
static uint16_t scaleSample(uint16_t x, float factor, float offset)
{
    return toSample((float)((double)x * (double)factor + (double)offset));
}

#else /* HUEFLARE_PLAIN_SINGLE */

static float offsetFromFactor(float factor)
{
    float product = factor * -NEUTRAL;
    return product + NEUTRAL;
}

static uint16_t toSample(float w)
{
    if (w <= 0.0f)
        return 0;
    if (w >= (float)SAMPLE_MAX)
        return SAMPLE_MAX;
    float rounded = w + 0.5f;
    return (uint16_t)(int32_t)rounded;
}

static uint16_t scaleSample(uint16_t x, float factor, float offset)
{
    float product = (float)x * factor;
    float w = product + offset;
    return toSample(w);
}

#endif /* HUEFLARE_PLAIN_SINGLE */

/* Factors and offsets of one call, worked out once before the first row. */
typedef struct ChromaScale {
    float factorRg, offsetRg;
    float factorBy, offsetBy;
} ChromaScale;

/* The scalar loop: the definition of what every faster variant must match
 * bit for bit, and the loop for any layout those do not cover. Both samples
 * of a pixel are read before either is written, since a host may give a
 * channel step of 0; channel 0 is never touched. */
static void scaleRowScalar(uint16_t* pixel, int64_t count, ptrdiff_t channelStep,
                           ptrdiff_t pixelStep, const ChromaScale* scale)
{
    for (int64_t i = 0; i < count; ++i, pixel += pixelStep) {
        uint16_t rg = pixel[channelStep];
        uint16_t by = pixel[2 * channelStep];
        pixel[channelStep] = scaleSample(rg, scale->factorRg, scale->offsetRg);
        pixel[2 * channelStep] = scaleSample(by, scale->factorBy, scale->offsetBy);
    }
}

/* ------------------------------------------------------------------------ */
/* The stage                                                                */
/* ------------------------------------------------------------------------ */

/* The switch, read inside the settings lock; a missing option counts as off. */
static int readBoolOption(BibblePluginData* data, PipeData* pipe, const char* key)
{
    data->lockSettings(pipe->settings, 0);
    OptionHandle option = data->findOption(pipe->settings, key);
    int value = option != NULL && data->boolValue(option) != 0;
    data->unlockSettings(pipe->settings, 0);
    return value;
}

/* Both sliders in one lock bracket; a missing slider counts as its default.
 * The factors are worked out after the lock is given back. */
static void readFactors(BibblePluginData* data, PipeData* pipe, ChromaScale* scale)
{
    data->lockSettings(pipe->settings, 0);
    OptionHandle option = data->findOption(pipe->settings, HUEFLARE_RG);
    int32_t rg = option != NULL ? data->intValue(option) : DEFAULT_RG;
    option = data->findOption(pipe->settings, HUEFLARE_BY);
    int32_t by = option != NULL ? data->intValue(option) : DEFAULT_BY;
    data->unlockSettings(pipe->settings, 0);

    scale->factorRg = factorFromValue(rg);
    scale->factorBy = factorFromValue(by);
    scale->offsetRg = offsetFromFactor(scale->factorRg);
    scale->offsetBy = offsetFromFactor(scale->factorBy);
}

/* The host may set the cancel flag, or even swap the pointer, from another
 * thread while we run, so both are read afresh (atomically, with no ordering
 * needed) before every row; only the value 1 means stop. */
static int isCancelled(PipeData* pipe)
{
    HostBool* flag = __atomic_load_n(&pipe->cancelFlag, __ATOMIC_RELAXED);
    return flag != NULL && __atomic_load_n(flag, __ATOMIC_RELAXED) == 1;
}

static int HOST_CALL hueflareProcess(BibblePluginData* data, PipeData* pipe)
{
    if (!readBoolOption(data, pipe, HUEFLARE_ENABLED))
        return 0;

    ImageHandle image = pipe->image;
    if (image == NULL || data->imageKind(image) != FORMAT_LAB16)
        return -1;

    int32_t width = data->imageWidth(image);
    int32_t height = data->imageHeight(image);
    int32_t channelStep = data->imageChannelStep(image);
    int32_t pixelStep = data->imagePixelStep(image);
    int32_t border = data->imageBorder(image);

    ChromaScale scale;
    readFactors(data, pipe, &scale);

    /* Formed in 64 bits: the host's ints must not overflow on the way. */
    int64_t pixelsPerRow = (int64_t)width + 2 * (int64_t)border;
    ptrdiff_t borderSamples = (ptrdiff_t)((int64_t)border * pixelStep);

    for (int32_t row = 0; row < height; ++row) {
        if (isCancelled(pipe))
            return 0;
        uint16_t* first = data->imageRow(image, row);
        if (pixelsPerRow > 0)
            scaleRowScalar(first - borderSamples, pixelsPerRow, channelStep, pixelStep, &scale);
    }
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Settings hooks                                                           */
/* ------------------------------------------------------------------------ */

/* The host asks before an edit goes ahead; an edit record without an owner or
 * without a change set is refused. */
static int HOST_CALL settingsAboutToChange(BibblePluginData* data, OptionData* od)
{
    (void)data;
    if (od->changeSet == NULL)
        return -1;
    if (od->owner == NULL)
        return -1;
    return 0;
}

/* Whether the edit belongs to this plug-in's stage. Both host strings are
 * released whatever the outcome. */
static int isOwnChange(BibblePluginData* data, OptionData* od)
{
    StringHandle ownName = data->newString();
    StringHandle ownerName = data->newString();
    data->setString(ownName, HUEFLARE_PLUGIN);
    data->ownerName(od->owner, ownerName);
    int own = data->compareStrings(ownerName, ownName) == 0;
    data->freeString(ownName);
    data->freeString(ownerName);
    return own;
}

/* Sets the switch and makes it part of the edit, so the host records it as
 * changed together with the slider that caused it. */
static void switchOn(BibblePluginData* data, OptionData* od)
{
    OptionHandle option = data->findOption(od->settings, HUEFLARE_ENABLED);
    if (option == NULL)
        return;
    data->setBoolValue(option, 1);
    data->changeSetAdd(od->changeSet, option);
}

/* Moving either slider while the switch is off turns the switch on within the
 * same edit. No settings lock here: the host calls this inside its edit. */
static int HOST_CALL settingsDoDependancies(BibblePluginData* data, OptionData* od)
{
    if (od->owner == NULL)
        return -1;
    if (!isOwnChange(data, od))
        return 0;
    /* The host only sends change-set-less edits that settingsAboutToChange
     * refused; should one reach us anyway, there is nothing to add the switch
     * to, so end quietly rather than hand the host a null change set. */
    if (od->changeSet == NULL)
        return 0;
    /* The user set the switch in this very edit: leave it as they set it. */
    if (data->changeSetHas(od->changeSet, HUEFLARE_ENABLED))
        return 0;
    OptionHandle option = data->findOption(od->settings, HUEFLARE_ENABLED);
    if (option == NULL || data->boolValue(option) != 0)
        return 0;
    if (!data->changeSetHas(od->changeSet, HUEFLARE_BY)
        && !data->changeSetHas(od->changeSet, HUEFLARE_RG))
        return 0;
    switchOn(data, od);
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Registration and the About box                                           */
/* ------------------------------------------------------------------------ */

/* Nothing to prepare: the host keeps every value. */
static int HOST_CALL initializeOptions(BibblePluginData* data, OptionData* od)
{
    (void)data;
    (void)od;
    return 0;
}

static const char ABOUT_TITLE[] = "About Vivanto Plugin";
static const char ABOUT_BODY[] =
    "<center><h2>About Vivanto</h2></center>"
    "<p><center>Version: 0.9</center></p>"
    "<p>Vivanto is a plugin that allows for easy color adjustment without changing the "
    "exposure and contrast of the image. </p>"
    ""
    "<p><i>I always appreciate comments on improvents or see examples of what you do with "
    "Vivanto. Donations are also welcomed. This might tempt me to add more features, or even "
    "create new plugins.</i></p>";

static int HOST_CALL handleAbout(BibblePluginData* data, OptionData* od)
{
    (void)od;
    data->showAboutBox(ABOUT_TITLE, ABOUT_BODY);
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Exported entry points                                                    */
/* ------------------------------------------------------------------------ */

HUEFLARE_EXPORT int HOST_CALL getVersion(void)
{
    return INTERFACE_VERSION;
}

/* Defines the three options and hands the host the five hooks. Nothing is
 * kept and nothing guards against a second call: the host decides. */
HUEFLARE_EXPORT int HOST_CALL RegisterPlugin(BibblePluginData* data)
{
    data->clearedWord = 0;
    data->interfaceVersion = INTERFACE_VERSION;

    data->defineBoolOption(data->optionsHandle, HUEFLARE_ENABLED, HUEFLARE_GROUP, LABEL_ENABLED,
                           DEFAULT_ENABLED, 0);
    data->defineIntOption(data->optionsHandle, HUEFLARE_RG, HUEFLARE_GROUP, LABEL_RG, DEFAULT_RG, 0);
    data->defineIntOption(data->optionsHandle, HUEFLARE_BY, HUEFLARE_GROUP, LABEL_BY, DEFAULT_BY, 0);

    data->setInitializeOptionsHook(data->pluginHandle, initializeOptions);
    data->addSettingsHook(data->pluginHandle, settingsAboutToChange);
    data->addAboutHandler(data->pluginHandle, handleAbout, HUEFLARE_ABOUT);
    data->addSettingsHook(data->pluginHandle, settingsDoDependancies);
    data->addProcess(data->pluginHandle, hueflareProcess, PROCESS_FIRST, PROCESS_SECOND);
    return 0;
}

/* The plug-in owns nothing, so there is nothing to release. */
HUEFLARE_EXPORT int HOST_CALL unRegisterPlugin(void)
{
    return 0;
}
